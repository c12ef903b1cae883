#pragma once
// The outcome of one speed-test run: what each phase measured, the
// configuration the run used and what the server reported about itself,
// and its JSON form (the text handed to the result callback). Member order
// is the JSON key order; absent members leave no key unless noted.

#include "ClientConfig.h"
#include "Duration.h"
#include "VelaExpected.h"
#include "ResultStatistics.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vela_client {

// Time frame of one phase: start relative to the run's start, and length.
struct PhaseTiming {
    std::optional<Duration> relative_start;
    std::optional<Duration> duration;

    bool operator==(const PhaseTiming&) const = default;
};

// Endpoints of one connection; absent values are written null.
struct ConnectionStreamInfoParameter {
    std::optional<std::string> local_ip;
    std::optional<std::uint16_t> local_port;
    std::optional<std::string> remote_ip;
    std::optional<std::uint16_t> remote_port;

    bool operator==(const ConnectionStreamInfoParameter&) const = default;
};

// A connection as the client sees it and as the server reports it; an
// absent side is written null.
struct ConnectionStreamInfo {
    std::optional<ConnectionStreamInfoParameter> client;
    std::optional<ConnectionStreamInfoParameter> server;

    bool operator==(const ConnectionStreamInfo&) const = default;
};

struct RttSample {
    Duration time;  // when the ping was sent, from the phase's start
    Duration rtt;

    bool operator==(const RttSample&) const = default;
};

struct UdpRttSample {
    std::optional<RttSample> sample;  // absent for a packet without an answer
    bool lost = false;
    bool out_of_order = false;
    std::optional<std::uint32_t> number;

    bool operator==(const UdpRttSample&) const = default;
};

// The common part of both round-trip-time results.
struct RttSummary {
    PhaseTiming timing;
    std::optional<std::uint32_t> num_requested;
    std::optional<std::uint32_t> num_sent;
    DurationStats rtt;
    DurationStats jitter;
    std::optional<std::vector<ConnectionStreamInfo>> connection_stream_info;
};

struct RttTcpResult : RttSummary {
    std::optional<std::vector<RttSample>> rtts;
};

struct RttUdpResult : RttSummary {
    std::optional<float> packet_loss;  // fraction 0..1 of lost packets
    std::optional<std::uint32_t> num_lost;
    std::optional<std::uint32_t> num_out_of_order;
    std::optional<std::vector<UdpRttSample>> rtts;
};

struct ThroughputResult {
    PhaseTiming timing;  // duration = the counted window
    std::optional<Duration> pretest_duration;
    std::optional<std::uint64_t> bytes;
    std::optional<std::uint64_t> bps;
    std::optional<RawData> raw_data;
    std::optional<std::vector<ConnectionStreamInfo>> connection_stream_info;
};

struct ServerInfo {
    std::optional<std::string> vmstat;
    std::optional<std::string> free;
    std::optional<std::string> reverse_traceroute;
};

struct ClientResult {
    std::optional<RttTcpResult> rtt_tcp;
    std::optional<RttUdpResult> rtt_udp;
    std::optional<ThroughputResult> dl;
    std::optional<ThroughputResult> ul;
    std::optional<ClientConfig> client_config;
    std::optional<ServerInfo> server_info;

    // One compact JSON object, or "Failed to serialize value as the value
    // cannot be represented." when a duration does not fit its key's unit.
    OrError<std::string> write_json() const;
};

// Diagnostic forms for log lines.
std::string to_string(const ConnectionStreamInfoParameter& p);
std::string to_string(const ConnectionStreamInfo& info);

}  // namespace vela_client
