#pragma once
// The native speed test's task result: the figures of one run, most of them
// as decimal texts, filled by the native speed-test task from the parsed
// client result and by the system-information collector (traffic).

#include "model/result/SprintMeasurementResult.h"
#include "model/result/TaskResult.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace trevask::measurement_library {

struct VelaConnectionInfo {
    std::string address;    // the configured server host
    std::string encrypted;  // "1" with TLS, else "0"
    std::string port;       // the configured server port, decimal
};

// One round-trip sample. The TCP statistics use time and rtt only.
struct VelaRttSample {
    std::uint64_t time_ns = 0;
    std::uint64_t rtt_ns = 0;
    std::optional<bool> lost;
    std::optional<bool> out_of_order;
    std::optional<std::uint32_t> number;
};

struct VelaRttStatistics {
    // Decimal texts, empty when not known.
    std::string duration;  // ns
    std::string rtt_avg;
    std::string rtt_max;
    std::string rtt_med;
    std::string rtt_min;
    std::string rtt_std_dev;
    std::string out_of_order_count;
    std::string lost_count;
    std::string received_count;
    std::string num_sent;
    std::string packet_size;

    std::optional<std::uint32_t> num_requested;
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
    std::vector<VelaRttSample> samples;

    // UDP statistics only; 0 when the client gave none.
    float packet_loss = 0.0f;
    std::uint32_t num_lost = 0;
    std::uint32_t num_out_of_order = 0;
};

// One phase summary; decimal texts.
struct VelaThroughputSummary {
    std::string bytes;
    std::string bytes_including_slow_start;
    std::string duration;                    // ns
    std::string duration_including_pretest;  // ns
    std::string requested_streams;
    std::string actual_streams;
    std::string relative_start_time;         // ns
    std::string bps;
};

// One raw throughput sample of one connection.
struct ThroughputStreamInfo {
    std::string bytes;                       // cumulative, decimal
    std::string bytes_including_slow_start;  // not filled by the native task
    std::string relative_time;               // ns, decimal
    std::string duration;                    // not filled by the native task
    std::string bps;                         // not filled by the native task
    std::int32_t stream_id = 0;              // the connection number
};

struct InterfaceTraffic {
    std::optional<std::uint64_t> bytes_tx;  // sent
    std::optional<std::uint64_t> bytes_rx;  // received
};

struct VelaTaskResult : TaskResult {
    std::string result_type = "speed_result";
    VelaConnectionInfo connection;
    std::optional<VelaRttStatistics> udp_statistics;  // RTT_UDP phase
    std::optional<VelaRttStatistics> tcp_statistics;  // RTT_TCP phase
    std::vector<VelaThroughputSummary> download_summaries;
    std::vector<ThroughputStreamInfo> download_raw_data;
    std::vector<VelaThroughputSummary> upload_summaries;
    std::vector<ThroughputStreamInfo> upload_raw_data;
    std::vector<SprintConnectionStreamInfo> rtt_stream_info;  // RTT_TCP phase only
    std::vector<SprintConnectionStreamInfo> download_stream_info;
    std::vector<SprintConnectionStreamInfo> upload_stream_info;
    std::optional<InterfaceTraffic> download_measurement_traffic;
    std::optional<InterfaceTraffic> total_traffic;
    std::optional<InterfaceTraffic> upload_measurement_traffic;
};

}  // namespace trevask::measurement_library
