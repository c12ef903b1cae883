#pragma once
// The measurement library's mirror of the speed-test client's result JSON.
// Every member is optional: the reader is lenient and leaves a member empty
// when its value is missing, null or of the wrong kind.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace trevask::measurement_library {

struct SprintEndpoint {
    std::optional<std::string> local_ip;
    std::optional<std::uint16_t> local_port;
    std::optional<std::string> remote_ip;
    std::optional<std::uint16_t> remote_port;
};

// One connection as the client and as the server saw it.
struct SprintConnectionStreamInfo {
    std::optional<SprintEndpoint> client;
    std::optional<SprintEndpoint> server;
};

struct SprintRttSample {
    std::optional<std::uint64_t> time_ns;
    std::optional<std::uint64_t> rtt_ns;
};

struct SprintUdpRttSample {
    std::optional<std::uint64_t> time_ns;
    std::optional<std::uint64_t> rtt_ns;
    std::optional<bool> l;  // lost
    std::optional<bool> o;  // out of order
    std::optional<std::uint32_t> i;  // packet number
};

// The members both round-trip phases share; `Sample` is the kind of "rtts".
template <typename Sample>
struct SprintRttResultBase {
    std::optional<std::uint64_t> relative_start_time_ns;
    std::optional<std::uint64_t> duration_ns;
    std::optional<std::uint64_t> rtt_min_ns;
    std::optional<std::uint64_t> rtt_max_ns;
    std::optional<std::uint64_t> rtt_avg_ns;
    std::optional<std::uint64_t> rtt_med_ns;
    std::optional<std::uint64_t> rtt_std_dev_ns;
    std::optional<std::uint64_t> rtt_var_ns;
    std::optional<std::uint64_t> jitter_min_ns;
    std::optional<std::uint64_t> jitter_max_ns;
    std::optional<std::uint64_t> jitter_avg_ns;
    std::optional<std::uint64_t> jitter_med_ns;
    std::optional<std::uint64_t> jitter_std_dev_ns;
    std::optional<std::uint64_t> jitter_var_ns;
    std::optional<std::uint32_t> num_sent;
    std::optional<std::uint32_t> num_requested;
    std::optional<std::vector<SprintConnectionStreamInfo>> connection_stream_info;
    std::optional<std::vector<Sample>> rtts;
};

struct SprintRttResult : SprintRttResultBase<SprintRttSample> {};

struct SprintRttUdpResult : SprintRttResultBase<SprintUdpRttSample> {
    std::optional<float> packet_loss;  // fraction 0..1
    std::optional<std::uint32_t> num_lost;
    std::optional<std::uint32_t> num_out_of_order;
};

struct SprintRawSample {
    std::optional<std::uint64_t> time_ns;
    std::optional<std::uint64_t> b;  // cumulative bytes of the connection
};

struct SprintThroughputResult {
    std::optional<std::uint64_t> relative_start_time_ns;
    std::optional<std::uint64_t> duration_ns;
    std::optional<std::uint64_t> pretest_duration_ns;
    std::optional<std::uint64_t> bytes;
    std::optional<std::uint64_t> bps;
    // Connection number as text -> samples; ordered byte-wise, so "10" < "2".
    std::optional<std::map<std::string, std::vector<SprintRawSample>>> raw_data;
    std::optional<std::vector<SprintConnectionStreamInfo>> connection_stream_info;
};

struct SprintMeasurementResult {
    std::optional<SprintRttResult> rtt_tcp;
    std::optional<SprintRttUdpResult> rtt_udp;
    std::optional<SprintThroughputResult> dl;
    std::optional<SprintThroughputResult> ul;
};

// Reads the client's result text. Throws boost::system::system_error when the
// text is not JSON and std::invalid_argument("not an object") when its root
// is not an object; every other defect only leaves members empty.
SprintMeasurementResult SprintMeasurementResultReader(std::string_view text);

}  // namespace trevask::measurement_library
