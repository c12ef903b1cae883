#pragma once
// Task configurations of the QoS tests. Members are named after their JSON
// keys; texts hold what the document gives, unconverted.

#include "model/TaskConfiguration.h"

#include <boost/json/fwd.hpp>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace trevask::measurement_library {

struct TcpTaskConfiguration : TaskConfiguration {
    std::string in_port;   // decimal port; kept, not used by the TCP test
    std::string out_port;  // decimal port the server opens for the test
};

struct UdpTaskConfiguration : TaskConfiguration {
    std::string delay;            // decimal ns between datagrams; empty: the task's default
    std::string out_num_packets;  // decimal count
    std::string out_port;         // decimal port
};

struct NonTransparentProxyTaskConfiguration : TaskConfiguration {
    std::string request;  // the request line sent and expected back
    std::string port;     // decimal port
};

struct SipTaskConfiguration : TaskConfiguration {
    std::string port;                         // decimal port
    std::string count;                        // decimal count
    std::string from;                         // SIP address
    std::string to;                           // SIP address
    std::string call_duration = "3000000000";  // decimal ns
    std::string via;                          // SIP address
};

struct VoipTaskConfiguration : TaskConfiguration {
    std::uint64_t call_duration_ns = 1000000000;  // 1 s
    std::string call_duration;                    // decimal ns; when set it replaces call_duration_ns
    std::string out_port;                         // decimal port
    std::uint32_t sample_rate = 8000;
    std::uint32_t bps = 8;                        // bits per sample
    std::string delay = "20000000.000000";        // decimal ns between RTP packets ("%f" of 20 ms)
    std::uint32_t payload = 8;                    // RTP payload type
    std::uint64_t buffer = 100000000;             // ns
};

// The base host stays empty: the name to resolve is kept in `queryHost`.
struct DnsTaskConfiguration : TaskConfiguration {
    std::string queryHost;                // "host"
    std::optional<std::string> record;    // record type name, e.g. "AAAA"
    std::optional<std::string> resolver;  // copied into the result
};

// The base host stays empty: the destination is kept in `targetHost`.
struct TracerouteTaskConfiguration : TaskConfiguration {
    std::string targetHost;  // "host"
    std::string max_hops;    // decimal count
};

// Every member optional; wrong kinds are absorbed, never raised.
struct HttpProxyTaskConfiguration : TaskConfiguration {
    std::optional<std::string> download_timeout;
    std::optional<std::string> url;
    std::optional<std::string> conn_timeout;
    std::optional<std::string> range;  // HTTP byte range
};

// Each reader requires an object ("not an object"), starts from the defaults,
// reads the common members and then the kind's own in their fixed order.
std::unique_ptr<TcpTaskConfiguration> readTcpTaskConfiguration(const boost::json::value& value);
std::unique_ptr<UdpTaskConfiguration> readUdpTaskConfiguration(const boost::json::value& value);
std::unique_ptr<NonTransparentProxyTaskConfiguration> readNonTransparentProxyTaskConfiguration(
    const boost::json::value& value);
std::unique_ptr<SipTaskConfiguration> readSipTaskConfiguration(const boost::json::value& value);
std::unique_ptr<VoipTaskConfiguration> readVoipTaskConfiguration(const boost::json::value& value);
std::unique_ptr<DnsTaskConfiguration> readDnsTaskConfiguration(const boost::json::value& value);
std::unique_ptr<TracerouteTaskConfiguration> readTracerouteTaskConfiguration(const boost::json::value& value);
std::unique_ptr<HttpProxyTaskConfiguration> readHttpProxyTaskConfiguration(const boost::json::value& value);

}  // namespace trevask::measurement_library
