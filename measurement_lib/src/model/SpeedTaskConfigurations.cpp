#include "model/SpeedTaskConfigurations.h"

#include "model/JsonMembers.h"
#include "model/TaskConfigurationReading.h"

namespace json = boost::json;

namespace trevask::measurement_library {

using detail::startTaskConfiguration;

std::unique_ptr<VelaTaskConfiguration> readVelaTaskConfiguration(const json::value& value) {
    const json::object* obj = nullptr;
    auto c = startTaskConfiguration<VelaTaskConfiguration>(value, obj);
    readNumber(*obj, "port", c->port);
    readBool(*obj, "use_tls", c->use_tls);
    readNumber(*obj, "upload_duration_seconds", c->upload_duration_seconds);
    readNumber(*obj, "download_duration_seconds", c->download_duration_seconds);
    readBool(*obj, "skip_certificate_validation", c->skip_certificate_validation);
    return c;
}

std::unique_ptr<SprintCliTaskConfiguration> readSprintCliTaskConfiguration(const json::value& value) {
    const json::object* obj = nullptr;
    auto c = startTaskConfiguration<SprintCliTaskConfiguration>(value, obj);
    const json::object& o = *obj;
    readNumber(o, "port_tcp", c->port_tcp);
    readNumber(o, "port_udp", c->port_udp);
    readBool(o, "tls", c->tls);
    readBool(o, "skip_certificate_validation", c->skip_certificate_validation);
    readBool(o, "run_rtt_tcp_phase", c->run_rtt_tcp_phase);
    readBool(o, "run_rtt_udp_phase", c->run_rtt_udp_phase);
    readBool(o, "run_downlink_phase", c->run_downlink_phase);
    readBool(o, "run_uplink_phase", c->run_uplink_phase);
    readNumber(o, "rtt_tcp_num_packets", c->rtt_tcp_num_packets);
    readNumber(o, "rtt_tcp_delay_ms", c->rtt_tcp_delay_ms);
    readNumber(o, "rtt_udp_num_packets", c->rtt_udp_num_packets);
    readNumber(o, "rtt_udp_delay_ms", c->rtt_udp_delay_ms);
    readNumber(o, "dl_pretest_duration_ms", c->dl_pretest_duration_ms);
    readNumber(o, "dl_duration_ms", c->dl_duration_ms);
    readNumber(o, "dl_num_connections", c->dl_num_connections);
    readNumber(o, "ul_pretest_duration_ms", c->ul_pretest_duration_ms);
    readNumber(o, "ul_duration_ms", c->ul_duration_ms);
    readNumber(o, "ul_num_connections", c->ul_num_connections);
    readBool(o, "ipv4_only", c->ipv4_only);
    readBool(o, "ipv6_only", c->ipv6_only);
    readOptionalString(o, "secret_key", c->secret_key);
    readOptionalString(o, "token", c->token);
    return c;
}

std::unique_ptr<OoklaSpeedtestCliTaskConfiguration> readOoklaSpeedtestCliTaskConfiguration(const json::value& value) {
    const json::object* obj = nullptr;
    auto c = startTaskConfiguration<OoklaSpeedtestCliTaskConfiguration>(value, obj);
    readOptionalString(*obj, "server_id", c->server_id);
    readOptionalString(*obj, "server_host", c->server_host);
    readOptionalString(*obj, "bind_interface", c->bind_interface);
    readOptionalString(*obj, "bind_ip", c->bind_ip);
    return c;
}

}  // namespace trevask::measurement_library
