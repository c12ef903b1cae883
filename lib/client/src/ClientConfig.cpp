#include "ClientConfig.h"

#include "JsonWriter.h"

namespace vela_client {

std::optional<std::string> ClientConfig::validate() const
{
    // Checked in this order; the first failing rule's text is the answer.
    if (!run_rtt_tcp_phase && !run_rtt_udp_phase && !run_downlink_phase && !run_uplink_phase) {
        return "at least one testphase must be enabled";
    }
    if (host.empty()) {
        return "host not set";
    }
    if (token && secret_key) {
        return "token and secrety_key are mutually exclusive";
    }
    if (ipv4_only && ipv6_only) {
        return "options ipv4 and ipv6 are mutually exclusive";
    }
    if (port_tcp == 0) {
        return "TCP port can not be 0";
    }
    if (run_rtt_tcp_phase) {
        if (rtt_tcp_payload_size == 0) {
            return "TCP payload size can not be 0";
        }
        if (rtt_tcp_num_packets == 0) {
            return "number of TCP pings can not be 0";
        }
    }
    if (run_rtt_udp_phase) {
        if (port_udp == 0) {
            return "UDP port can not be 0";
        }
        if (rtt_udp_payload_size == 0) {
            return "UPD payload size can not be 0";
        }
        if (rtt_udp_num_packets == 0) {
            return "number of UDP pings can not be 0";
        }
    }
    // The downlink pretest runs whenever RTT_TCP or DOWNLINK runs.
    if ((run_rtt_tcp_phase || run_downlink_phase) && !skip_dl_pretest && dl_pretest_duration_ms.is_zero()) {
        return "downlink pretest duration can not be 0";
    }
    if (run_downlink_phase) {
        if (dl_duration_ms.is_zero()) {
            return "downlink test duration can not be 0";
        }
        if (dl_num_connections == 0) {
            return "number of downlink connections can not be 0";
        }
    }
    if (run_uplink_phase) {
        if (!skip_ul_pretest && ul_pretest_duration_ms.is_zero()) {
            return "uplink pretest duration can not be 0";
        }
        if (ul_duration_ms.is_zero()) {
            return "uplink test duration can not be 0";
        }
        if (ul_num_connections == 0) {
            return "number of uplink connections can not be 0";
        }
    }
    if (raw_history_sampling_rate_ms.is_zero()) {
        return "raw history sampling rate can not be 0";
    }
    if (request_reverse_traceroute && traceroute_max_duration_s.is_zero()) {
        return "traceroute_max_duration can not be 0 seconds";
    }
    return std::nullopt;
}

std::optional<std::uint64_t> rounded_millis(Duration d)
{
    const std::uint64_t s = d.secs();
    const std::uint32_t ns = d.subsec_nanos();
    if (s > UINT64_MAX / 1000) {
        return std::nullopt;
    }
    const std::uint64_t whole = s * 1000 + ns / 1'000'000;
    // A remainder of half a millisecond or more rounds up.
    const std::uint64_t up = (ns % 1'000'000) >= 500'000 ? 1 : 0;
    if (whole > UINT64_MAX - up) {
        return std::nullopt;
    }
    return whole + up;
}

std::optional<std::uint64_t> rounded_secs(Duration d)
{
    const std::uint64_t up = d.subsec_nanos() >= 500'000'000U ? 1 : 0;
    if (d.secs() > UINT64_MAX - up) {
        return std::nullopt;
    }
    return d.secs() + up;
}

namespace {

void write_millis(JsonWriter& out, const char* key, Duration d)
{
    const auto ms = rounded_millis(d);
    if (!ms) {
        throw JsonSerializeError(kValueNotRepresentable);
    }
    out.key(key);
    out.u64_value(*ms);
}

void write_secs(JsonWriter& out, const char* key, Duration d)
{
    const auto s = rounded_secs(d);
    if (!s) {
        throw JsonSerializeError(kValueNotRepresentable);
    }
    out.key(key);
    out.u64_value(*s);
}

void write_text(JsonWriter& out, const char* key, const std::optional<std::string>& text)
{
    out.key(key);
    if (text) {
        out.string_value(*text);
    } else {
        out.null_value();
    }
}

void write_bool(JsonWriter& out, const char* key, bool v)
{
    out.key(key);
    out.bool_value(v);
}

void write_uint(JsonWriter& out, const char* key, std::uint64_t v)
{
    out.key(key);
    out.u64_value(v);
}

}  // namespace

void ClientConfig::write_json(JsonWriter& out) const
{
    out.begin_object();
    out.key("host");
    out.string_value(host);
    write_uint(out, "port_tcp", port_tcp);
    write_uint(out, "port_udp", port_udp);
    write_uint(out, "port_ws_signaling", port_ws_signaling);
    write_bool(out, "websocket", websocket);
    write_bool(out, "tls", tls);
    write_bool(out, "skip_certificate_validation", skip_certificate_validation);
    write_millis(out, "progress_update_limit_ms", progress_update_limit_ms);
    write_millis(out, "raw_history_sampling_rate_ms", raw_history_sampling_rate_ms);
    write_bool(out, "run_rtt_tcp_phase", run_rtt_tcp_phase);
    write_bool(out, "run_rtt_udp_phase", run_rtt_udp_phase);
    write_bool(out, "run_downlink_phase", run_downlink_phase);
    write_bool(out, "run_uplink_phase", run_uplink_phase);
    write_uint(out, "rtt_tcp_payload_size", rtt_tcp_payload_size);
    write_uint(out, "rtt_tcp_num_packets", rtt_tcp_num_packets);
    write_millis(out, "rtt_tcp_delay_ms", rtt_tcp_delay_ms);
    write_millis(out, "rtt_tcp_timeout_ms", rtt_tcp_timeout_ms);
    write_uint(out, "rtt_udp_payload_size", rtt_udp_payload_size);
    write_uint(out, "rtt_udp_num_packets", rtt_udp_num_packets);
    write_millis(out, "rtt_udp_delay_ms", rtt_udp_delay_ms);
    write_millis(out, "rtt_udp_timeout_ms", rtt_udp_timeout_ms);
    write_millis(out, "rtt_udp_receive_timeout_ms", rtt_udp_receive_timeout_ms);
    write_bool(out, "skip_dl_pretest", skip_dl_pretest);
    write_millis(out, "dl_pretest_duration_ms", dl_pretest_duration_ms);
    write_millis(out, "dl_duration_ms", dl_duration_ms);
    write_millis(out, "dl_slow_start_duration_ms", dl_slow_start_duration_ms);
    write_uint(out, "dl_num_connections", dl_num_connections);
    write_bool(out, "skip_ul_pretest", skip_ul_pretest);
    write_millis(out, "ul_pretest_duration_ms", ul_pretest_duration_ms);
    write_millis(out, "ul_duration_ms", ul_duration_ms);
    write_millis(out, "ul_slow_start_duration_ms", ul_slow_start_duration_ms);
    write_uint(out, "ul_num_connections", ul_num_connections);
    if (total_timeout_s) {
        write_secs(out, "total_timeout_s", *total_timeout_s);
    } else {
        out.key("total_timeout_s");
        out.null_value();
    }
    write_bool(out, "request_server_load", request_server_load);
    write_bool(out, "request_reverse_traceroute", request_reverse_traceroute);
    write_secs(out, "traceroute_max_duration_s", traceroute_max_duration_s);
    write_text(out, "token", token);
    write_text(out, "secret_key", secret_key);
    write_bool(out, "ipv4_only", ipv4_only);
    write_bool(out, "ipv6_only", ipv6_only);
    write_text(out, "wasm_runner_link", wasm_runner_link);
    write_text(out, "web_transport_cert_digest", web_transport_cert_digest);
    out.end_object();
}

}  // namespace vela_client
