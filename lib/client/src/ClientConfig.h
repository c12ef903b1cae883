#pragma once
// Everything one speed test needs to know: the server, the phases to run,
// how each phase is dimensioned, security and addressing options and the
// authentication material. Defaults are given where the fields are declared;
// the declaration order is also the order of the JSON echo.

#include "Duration.h"

#include <cstdint>
#include <optional>
#include <string>

namespace vela_client {

class JsonWriter;

struct ClientConfig {
    std::string host = "localhost";              // server of all connections
    std::uint16_t port_tcp = 6142;               // runner connections
    std::uint16_t port_udp = 6142;               // RTT UDP ping
    std::uint16_t port_ws_signaling = 3536;      // carried and echoed only
    bool websocket = false;                      // websocket framing instead of the raw stream
    bool tls = false;                            // TLS on the runner connections
    bool skip_certificate_validation = false;    // accept any server certificate
    Duration progress_update_limit_ms = Duration::from_secs(1);         // progress interval
    Duration raw_history_sampling_rate_ms = Duration::from_millis(250);  // raw throughput history
    bool run_rtt_tcp_phase = true;
    bool run_rtt_udp_phase = true;
    bool run_downlink_phase = true;
    bool run_uplink_phase = true;                // UPLINK_PRETEST and UPLINK
    std::uint32_t rtt_tcp_payload_size = 5;      // bytes per TCP ping
    std::uint32_t rtt_tcp_num_packets = 20;
    Duration rtt_tcp_delay_ms = Duration::from_millis(10);   // pause between TCP pings
    Duration rtt_tcp_timeout_ms = Duration::from_secs(10);   // time box of RTT_TCP
    std::uint32_t rtt_udp_payload_size = 32;     // validated and echoed; datagrams do not depend on it
    std::uint32_t rtt_udp_num_packets = 500;
    Duration rtt_udp_delay_ms = Duration::from_millis(10);   // pause between UDP pings
    Duration rtt_udp_timeout_ms = Duration::from_secs(10);   // time box of RTT_UDP
    Duration rtt_udp_receive_timeout_ms = Duration::from_secs(2);  // UDP receiver's wait without data
    bool skip_dl_pretest = false;                // relaxes the downlink pretest duration check only
    Duration dl_pretest_duration_ms = Duration::from_secs(2);
    Duration dl_duration_ms = Duration::from_secs(10);
    Duration dl_slow_start_duration_ms = Duration::from_secs(3);
    std::uint8_t dl_num_connections = 4;
    bool skip_ul_pretest = false;                // relaxes the uplink pretest duration check only
    Duration ul_pretest_duration_ms = Duration::from_secs(2);
    Duration ul_duration_ms = Duration::from_secs(10);
    Duration ul_slow_start_duration_ms = Duration::from_secs(1);   // 1 s, unlike the downlink's 3 s
    std::uint8_t ul_num_connections = 4;
    std::optional<Duration> total_timeout_s;     // deadline of the whole run; absent = none
    bool request_server_load = false;
    bool request_reverse_traceroute = false;
    Duration traceroute_max_duration_s = Duration::from_secs(15);
    std::optional<std::string> token;            // ready-made measurement token
    std::optional<std::string> secret_key;       // key the client builds its token from
    bool ipv4_only = false;
    bool ipv6_only = false;
    std::optional<std::string> wasm_runner_link;           // carried and echoed only
    std::optional<std::string> web_transport_cert_digest;  // carried and echoed only

    // Nothing on success, else the text of the first rule that fails.
    std::optional<std::string> validate() const;

    // The configuration echo: every field under its own name, in declaration
    // order. Throws JsonSerializeError when a duration cannot be expressed.
    void write_json(JsonWriter& out) const;

    bool operator==(const ClientConfig&) const = default;
};

// Whole milliseconds / seconds of a duration, halves rounded up; no value
// when the result does not fit 64 bits.
std::optional<std::uint64_t> rounded_millis(Duration d);
std::optional<std::uint64_t> rounded_secs(Duration d);

}  // namespace vela_client
