#pragma once
// The control document of a full measurement against the loopback peers:
// the speed test against a measurement server (speed_server) and one
// objective of every QoS test kind against a QoS server (qos_server), the
// DNS objectives against whatever resolver the agent's system uses, the
// HTTP objective against a URL the back end serves itself, and the report
// sent to the back end's collector. `backend` serves it when told where its
// peers listen; tests build the same document.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace lumivex::test {

struct BatterySpeedServer {
    std::string host = "127.0.0.1";
    std::uint16_t tcpPort = 0;
    std::uint16_t udpPort = 0;
    // A well-formed token (UUID, seconds, base64url of the hex MAC; here 32
    // zero bytes): speed_server checks only its form unless it was started
    // with a secret.
    std::string token =
        "00000000-0000-4000-8000-000000000000_1700000000_"
        "MDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMDAwMA==";
};

struct BatteryQosServer {
    std::string host = "127.0.0.1";
    std::uint16_t controlPort = 0;
    bool tls = false;
    std::vector<std::uint16_t> tcpPorts;  // at least 3: TCP, proxy and SIP tests
    std::vector<std::uint16_t> udpPorts;  // at least 2: UDP and VoIP tests
};

struct BatteryDnsQuery {
    std::string host;
    std::string record;  // "A" or "AAAA"
};

struct BatteryOptions {
    std::string collectorUrl;                 // where the agent sends its report
    std::optional<BatterySpeedServer> speed;  // no value: no speed test
    std::optional<BatteryQosServer> qos;      // no value: no QoS tests
    std::vector<BatteryDnsQuery> dns;         // empty: no DNS objectives
    std::string dnsResolver = "127.0.0.1";    // reported with the DNS objectives
    std::string httpObjectUrl;                // empty: no HTTP objective
    std::string tracerouteHost = "127.0.0.1";
};

// The document in its wire form (LMAP key names). Throws
// std::invalid_argument when the QoS server has too few test ports.
std::string batteryControlDocument(const BatteryOptions& battery);

// Reads the port line a peer prints at start: speed_server's
// {"tcp_port":N,"udp_port":M} and qos_server's {"control_port":N,"tls":B,
// "tcp_ports":[...],"udp_ports":[...]}. Throws std::invalid_argument with
// the reason when the text is not such a line.
BatterySpeedServer speedServerFromPortLine(const std::string& line);
BatteryQosServer qosServerFromPortLine(const std::string& line);

// The path below the back end's base URL that serves the HTTP objective,
// and the body it serves.
inline constexpr const char* kHttpObjectPath = "/measurement-object";
std::string httpObjectBody();

}  // namespace lumivex::test
