#pragma once
// Task configurations of the speed tests: the built-in speed-test client
// (VELA), the same client as a command-line tool (SPRINT) and the Ookla
// command-line client. Members read from JSON are named after their keys;
// members that only the executor sets are in camel case.

#include "model/TaskConfiguration.h"

#include <boost/json/fwd.hpp>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace trevask::measurement_library {

struct SpeedMeasurementTypeParameters;

struct VelaTaskConfiguration : TaskConfiguration {
    VelaTaskConfiguration() : TaskConfiguration("VELA") {}

    std::int32_t port = 443;                      // "port": TCP port of the measurement server
    std::int32_t udpPort = 6142;                  // option "server_port_udp"
    bool use_tls = true;                          // "use_tls"
    bool rttPhase = true;
    bool downloadPhase = true;
    bool uploadPhase = true;
    std::int32_t download_duration_seconds = 10;  // "download_duration_seconds"
    std::int32_t upload_duration_seconds = 10;    // "upload_duration_seconds"
    // The speed measurement's parameters; owned by the control document.
    SpeedMeasurementTypeParameters* speedParameters = nullptr;
    bool skip_certificate_validation = false;     // "skip_certificate_validation"
    std::string authToken;                        // option "auth_token"
};

struct SprintCliTaskConfiguration : TaskConfiguration {
    SprintCliTaskConfiguration() : TaskConfiguration("SPRINT") {}

    std::int32_t port_tcp = 80;
    std::int32_t port_udp = 80;
    bool tls = false;
    bool skip_certificate_validation = false;
    bool run_rtt_tcp_phase = true;
    bool run_rtt_udp_phase = true;
    bool run_downlink_phase = true;
    bool run_uplink_phase = true;
    std::uint32_t rtt_tcp_num_packets = 20;
    std::uint32_t rtt_tcp_delay_ms = 10;
    std::uint32_t rtt_udp_num_packets = 500;
    std::uint32_t rtt_udp_delay_ms = 10;
    std::uint32_t dl_pretest_duration_ms = 2000;
    std::uint32_t dl_duration_ms = 10000;
    std::uint32_t dl_num_connections = 4;
    std::uint32_t ul_pretest_duration_ms = 2000;
    std::uint32_t ul_duration_ms = 10000;
    std::uint32_t ul_num_connections = 4;
    bool ipv4_only = false;
    bool ipv6_only = false;
    std::optional<std::string> secret_key;
    std::optional<std::string> token;
};

// Selected by "OOKLA_SPEEDTEST_CLI" and "OOKLA_SPEEDTEST_EMBEDDED"; every
// member optional, wrong kinds absorbed.
struct OoklaSpeedtestCliTaskConfiguration : TaskConfiguration {
    std::optional<std::string> server_id;
    std::optional<std::string> server_host;
    std::optional<std::string> bind_interface;
    std::optional<std::string> bind_ip;
};

std::unique_ptr<VelaTaskConfiguration> readVelaTaskConfiguration(const boost::json::value& value);
std::unique_ptr<SprintCliTaskConfiguration> readSprintCliTaskConfiguration(const boost::json::value& value);
std::unique_ptr<OoklaSpeedtestCliTaskConfiguration> readOoklaSpeedtestCliTaskConfiguration(
    const boost::json::value& value);

}  // namespace trevask::measurement_library
