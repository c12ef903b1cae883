#pragma once
// The speed sub-result of the LMAP report, built from the native speed
// test's VelaTaskResult. It copies what it needs and keeps no reference.

#include "model/SubMeasurementResult.h"
#include "model/result/SprintMeasurementResult.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace trevask::measurement_library {

struct VelaTaskResult;

struct RttSampleDto {
    std::uint64_t rtt_ns = 0;
    std::uint64_t relative_time_ns = 0;
};

struct UdpRttSampleDto {
    std::uint64_t rtt_ns = 0;
    std::uint64_t relative_time_ns = 0;
    std::optional<bool> l;           // lost
    std::optional<bool> o;           // out of order
    std::optional<std::uint32_t> i;  // packet number
};

// The fields both round-trip statistics forms share; `Sample` is the kind of
// the sample list.
template <typename Sample>
struct RttStatisticsFields {
    std::int32_t num_sent = 0;
    std::int32_t num_received = 0;
    std::int32_t num_error = 0;
    std::int32_t num_missing = 0;
    std::int32_t packet_size = 0;
    std::uint64_t average_ns = 0;
    std::uint64_t median_ns = 0;
    std::uint64_t min_ns = 0;
    std::uint64_t max_ns = 0;
    std::uint64_t standard_deviation_ns = 0;
    std::optional<std::uint32_t> requested_num_packets;
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
    std::vector<Sample> rtts;
};

// TCP round-trip statistics.
struct RttStatisticsDto : RttStatisticsFields<RttSampleDto> {};

// UDP round-trip statistics.
struct UdpRttStatisticsDto : RttStatisticsFields<UdpRttSampleDto> {
    float packet_loss = 0.0f;
    std::uint32_t num_lost = 0;
    std::uint32_t num_out_of_order = 0;
};

struct SpeedMeasurementRawDataItemDto {
    std::int32_t stream_id = 0;
    std::uint64_t relative_time_ns = 0;
    std::uint64_t bytes = 0;
    std::uint64_t bytes_including_slow_start = 0;
};

struct InterfaceTrafficDto {
    std::optional<std::uint64_t> bytes_rx;
    std::optional<std::uint64_t> bytes_tx;
};

struct SpeedConnectionInfoDto {
    std::optional<std::string> address;     // the measurement server's host
    std::optional<std::int32_t> port;       // the measurement server's port
    std::optional<std::string> identifier;  // never filled from a speed test
    std::optional<bool> encrypted;          // TLS used
    std::optional<std::int32_t> requested_num_streams_download;
    std::optional<std::int32_t> requested_num_streams_upload;
    std::optional<std::int32_t> actual_num_streams_download;
    std::optional<std::int32_t> actual_num_streams_upload;
    std::optional<InterfaceTrafficDto> agent_interface_total_traffic;
    std::optional<InterfaceTrafficDto> agent_interface_download_measurement_traffic;
    std::optional<InterfaceTrafficDto> agent_interface_upload_measurement_traffic;
    std::optional<std::vector<SprintConnectionStreamInfo>> rtt_stream_info;
    std::optional<std::vector<SprintConnectionStreamInfo>> download_stream_info;
    std::optional<std::vector<SprintConnectionStreamInfo>> upload_stream_info;
};

struct SpeedMeasurementResult : SubMeasurementResult {
    // Builds the sub-result from a speed-test result; null gives a sub-result
    // holding only its type text "speed_result". Never throws on the
    // result's contents: every decimal text is converted on its own.
    explicit SpeedMeasurementResult(const VelaTaskResult* result);

    std::optional<std::uint64_t> bytes_download;
    std::optional<std::uint64_t> bytes_download_including_slow_start;
    std::optional<std::uint64_t> bytes_upload;
    std::optional<std::uint64_t> bytes_upload_including_slow_start;
    std::optional<std::uint64_t> duration_rtt_ns;
    std::optional<std::uint64_t> duration_rtt_tcp_ns;
    std::optional<std::uint64_t> duration_download_ns;
    std::optional<std::uint64_t> duration_upload_ns;
    std::optional<std::uint64_t> relative_start_time_rtt_ns;  // never filled from a speed test
    std::optional<std::uint64_t> relative_start_time_download_ns;
    std::optional<std::uint64_t> relative_start_time_upload_ns;
    std::optional<UdpRttStatisticsDto> rtt_info;     // RTT_UDP phase
    std::optional<RttStatisticsDto> rtt_tcp_info;    // RTT_TCP phase
    std::vector<SpeedMeasurementRawDataItemDto> download_raw_data;
    std::vector<SpeedMeasurementRawDataItemDto> upload_raw_data;
    std::optional<SpeedConnectionInfoDto> connection_info;
};

}  // namespace trevask::measurement_library
