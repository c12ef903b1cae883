#pragma once
// The speed test described as phase figures, every member optional. Unlike
// every other kind its object carries none of the common task keys.

#include "model/result/TaskResult.h"

#include <boost/json/fwd.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace trevask::measurement_library {

struct NativeVelaRttSample {
    std::optional<std::uint64_t> rtt_ns;
    std::optional<std::uint64_t> relative_time_ns;
};

struct NativeVelaRttInfo {
    std::optional<std::string> address;
    std::optional<std::vector<NativeVelaRttSample>> rtts;
    std::optional<std::uint32_t> request_num_packets;
    std::optional<std::uint32_t> num_sent;
    std::optional<std::uint32_t> num_received;
    std::optional<std::uint32_t> num_error;
    std::optional<std::uint32_t> num_missing;
    std::optional<std::uint32_t> packet_size;
    std::optional<std::uint64_t> average_ns;
    std::optional<std::uint64_t> maximum_ns;
    std::optional<std::uint64_t> median_ns;
    std::optional<std::uint64_t> minimum_ns;
    std::optional<std::uint64_t> standard_deviation_ns;
};

struct NativeVelaRawDataItem {
    std::optional<std::uint32_t> stream_id;
    std::optional<std::uint64_t> relative_time_ns;
    std::optional<std::uint64_t> bytes;
    std::optional<std::uint64_t> bytes_including_slow_start;
};

// Carries no figures; present, it is written as {}.
struct NativeVelaInterfaceTraffic {};

struct NativeVelaConnectionInfo {
    std::optional<NativeVelaInterfaceTraffic> agent_interface_total_traffic;
};

struct NativeVelaTaskResult : TaskResult {
    std::optional<std::uint64_t> relative_start_time_ns;
    std::optional<std::uint64_t> relative_end_time_ns;
    std::optional<std::uint64_t> bytes_download;
    std::optional<std::uint64_t> bytes_download_including_slow_start;
    std::optional<std::uint64_t> bytes_upload;
    std::optional<std::uint64_t> bytes_upload_including_slow_start;
    std::optional<std::uint64_t> duration_rtt_ns;
    std::optional<std::uint64_t> duration_rtt_tcp_ns;
    std::optional<std::uint64_t> duration_download_ns;
    std::optional<std::uint64_t> duration_upload_ns;
    std::optional<std::uint64_t> relative_start_time_rtt_ns;
    std::optional<std::uint64_t> relative_start_time_download_ns;
    std::optional<std::uint64_t> relative_start_time_upload_ns;
    std::optional<NativeVelaRttInfo> rtt_info;
    std::optional<NativeVelaRttInfo> rtt_tcp_info;
    std::optional<NativeVelaRawDataItem> download_raw_data;
    std::optional<NativeVelaRawDataItem> upload_raw_data;
    std::optional<NativeVelaConnectionInfo> connection_info;
};

void NativeVelaTaskResultWriter(boost::json::value& value, const NativeVelaTaskResult& result);
void NativeVelaRttInfoWriter(boost::json::value& value, const NativeVelaRttInfo& info);
void NativeVelaRttSampleWriter(boost::json::value& value, const NativeVelaRttSample& sample);
void NativeVelaRawDataItemWriter(boost::json::value& value, const NativeVelaRawDataItem& item);
void NativeVelaConnectionInfoWriter(boost::json::value& value, const NativeVelaConnectionInfo& info);

}  // namespace trevask::measurement_library
