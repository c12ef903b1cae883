#include "model/result/SpeedMeasurementResult.h"

#include "model/result/DecimalText.h"
#include "model/result/VelaTaskResult.h"

namespace trevask::measurement_library {

namespace {

// Byte counts, durations and times are unsigned: a negative text is treated
// like an unreadable one rather than wrapped to a huge count.
std::optional<std::uint64_t> nonNegative(std::string_view text) {
    const auto v = decimalToInt64(text);
    if (!v || *v < 0) return std::nullopt;
    return static_cast<std::uint64_t>(*v);
}

// Stream counts default to the four connections the native task asks for.
std::int32_t streamCount(std::string_view text) { return decimalToInt32(text).value_or(4); }

template <typename Sample>
void fillStatistics(RttStatisticsFields<Sample>& dto, const VelaRttStatistics& s) {
    dto.num_sent = decimalToInt32(s.num_sent).value_or(0);
    dto.num_received = decimalToInt32(s.received_count).value_or(0);
    dto.num_error = decimalToInt32(s.out_of_order_count).value_or(0);
    dto.num_missing = decimalToInt32(s.lost_count).value_or(0);
    dto.packet_size = decimalToInt32(s.packet_size).value_or(0);
    dto.average_ns = decimalToUInt64(s.rtt_avg).value_or(0);
    dto.median_ns = decimalToUInt64(s.rtt_med).value_or(0);
    dto.min_ns = decimalToUInt64(s.rtt_min).value_or(0);
    dto.max_ns = decimalToUInt64(s.rtt_max).value_or(0);
    dto.standard_deviation_ns = decimalToUInt64(s.rtt_std_dev).value_or(0);
    dto.requested_num_packets = s.num_requested;
    dto.rtt_min_ns = s.rtt_min_ns;
    dto.rtt_max_ns = s.rtt_max_ns;
    dto.rtt_avg_ns = s.rtt_avg_ns;
    dto.rtt_med_ns = s.rtt_med_ns;
    dto.rtt_std_dev_ns = s.rtt_std_dev_ns;
    dto.rtt_var_ns = s.rtt_var_ns;
    dto.jitter_min_ns = s.jitter_min_ns;
    dto.jitter_max_ns = s.jitter_max_ns;
    dto.jitter_avg_ns = s.jitter_avg_ns;
    dto.jitter_med_ns = s.jitter_med_ns;
    dto.jitter_std_dev_ns = s.jitter_std_dev_ns;
    dto.jitter_var_ns = s.jitter_var_ns;
}

std::vector<SpeedMeasurementRawDataItemDto> convertRawData(const std::vector<ThroughputStreamInfo>& items) {
    std::vector<SpeedMeasurementRawDataItemDto> out;
    out.reserve(items.size());
    for (const ThroughputStreamInfo& item : items) {
        SpeedMeasurementRawDataItemDto dto;
        dto.stream_id = item.stream_id;
        dto.relative_time_ns = nonNegative(item.relative_time).value_or(0);
        dto.bytes = nonNegative(item.bytes).value_or(0);
        dto.bytes_including_slow_start = 0;
        out.push_back(dto);
    }
    return out;
}

std::optional<InterfaceTrafficDto> convertTraffic(const std::optional<InterfaceTraffic>& traffic) {
    if (!traffic) return std::nullopt;
    InterfaceTrafficDto dto;
    dto.bytes_rx = traffic->bytes_rx.value_or(0);
    dto.bytes_tx = traffic->bytes_tx.value_or(0);
    return dto;
}

}  // namespace

SpeedMeasurementResult::SpeedMeasurementResult(const VelaTaskResult* r) : SubMeasurementResult("speed_result") {
    if (r == nullptr) return;

    status = "FINISHED";

    SpeedConnectionInfoDto& connection = connection_info.emplace();
    connection.address = r->connection.address;
    connection.port = decimalToInt32(r->connection.port);
    if (const auto tls = decimalToInt32(r->connection.encrypted)) connection.encrypted = (*tls == 1);

    if (!r->download_summaries.empty()) {
        const VelaThroughputSummary& d = r->download_summaries.back();
        bytes_download = nonNegative(d.bytes);
        bytes_download_including_slow_start = nonNegative(d.bytes_including_slow_start);
        relative_start_time_download_ns = nonNegative(d.relative_start_time);
        duration_download_ns = nonNegative(d.duration);
        connection.requested_num_streams_download = streamCount(d.requested_streams);
        connection.actual_num_streams_download = streamCount(d.actual_streams);
        connection.download_stream_info = r->download_stream_info;
    }

    if (!r->upload_summaries.empty()) {
        const VelaThroughputSummary& u = r->upload_summaries.back();
        bytes_upload = nonNegative(u.bytes);
        bytes_upload_including_slow_start = nonNegative(u.bytes_including_slow_start);
        relative_start_time_upload_ns = nonNegative(u.relative_start_time);
        duration_upload_ns = nonNegative(u.duration);
        if (relative_start_time_upload_ns && duration_upload_ns &&
            *duration_upload_ns <= UINT64_MAX - *relative_start_time_upload_ns) {
            relative_end_time_ns = *relative_start_time_upload_ns + *duration_upload_ns;
        }
        connection.requested_num_streams_upload = streamCount(u.requested_streams);
        connection.actual_num_streams_upload = streamCount(u.actual_streams);
        connection.upload_stream_info = r->upload_stream_info;
    }

    relative_start_time_ns = 0;

    download_raw_data = convertRawData(r->download_raw_data);
    upload_raw_data = convertRawData(r->upload_raw_data);

    if (r->tcp_statistics) {
        const VelaRttStatistics& t = *r->tcp_statistics;
        RttStatisticsDto& dto = rtt_tcp_info.emplace();
        fillStatistics(dto, t);
        dto.rtts.reserve(t.samples.size());
        for (const VelaRttSample& s : t.samples) dto.rtts.push_back(RttSampleDto{s.rtt_ns, s.time_ns});
        duration_rtt_tcp_ns = nonNegative(t.duration);
        connection.rtt_stream_info = r->rtt_stream_info;
    }

    if (r->udp_statistics) {
        const VelaRttStatistics& p = *r->udp_statistics;
        UdpRttStatisticsDto& dto = rtt_info.emplace();
        fillStatistics(dto, p);
        dto.packet_loss = p.packet_loss;
        dto.num_lost = p.num_lost;
        dto.num_out_of_order = p.num_out_of_order;
        dto.rtts.reserve(p.samples.size());
        for (const VelaRttSample& s : p.samples) {
            dto.rtts.push_back(UdpRttSampleDto{s.rtt_ns, s.time_ns, s.lost, s.out_of_order, s.number});
        }
        if (const auto duration = decimalToInt64(p.duration)) {
            duration_rtt_ns = *duration < 0 ? 0 : static_cast<std::uint64_t>(*duration);
        }
    }

    connection.agent_interface_total_traffic = convertTraffic(r->total_traffic);
    connection.agent_interface_download_measurement_traffic = convertTraffic(r->download_measurement_traffic);
    connection.agent_interface_upload_measurement_traffic = convertTraffic(r->upload_measurement_traffic);
}

}  // namespace trevask::measurement_library
