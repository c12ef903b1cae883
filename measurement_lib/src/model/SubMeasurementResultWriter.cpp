#include "model/SubMeasurementResultWriter.h"

#include "model/JsonMembers.h"
#include "model/SubMeasurementResultKinds.h"
#include "model/result/SpeedMeasurementResult.h"
#include "model/result/TaskResultWriter.h"

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include <cmath>

namespace json = boost::json;

namespace trevask::measurement_library {

namespace {

void setOptionalUInt16(json::object& obj, std::string_view key, const std::optional<std::uint16_t>& value) {
    if (value) obj[key] = static_cast<std::uint64_t>(*value);
}

void writeCommonHead(json::object& obj, const SubMeasurementResult& result) {
    setString(obj, "deserialize_type", result.deserialize_type);
    setOptionalString(obj, "status", result.status);
    setOptionalUInt64(obj, "relative_start_time_ns", result.relative_start_time_ns);
    setOptionalUInt64(obj, "relative_end_time_ns", result.relative_end_time_ns);
}

// The members both statistics forms share, up to and including "rtts".
template <typename Sample, typename SampleWriter>
json::object statisticsObject(const RttStatisticsFields<Sample>& s, SampleWriter sampleWriter) {
    json::object obj;
    // The counts come in the reverse of their field order.
    obj["packet_size"] = static_cast<std::int64_t>(s.packet_size);
    obj["num_missing"] = static_cast<std::int64_t>(s.num_missing);
    obj["num_error"] = static_cast<std::int64_t>(s.num_error);
    obj["num_received"] = static_cast<std::int64_t>(s.num_received);
    obj["num_sent"] = static_cast<std::int64_t>(s.num_sent);
    setUInt64(obj, "average_ns", s.average_ns);
    setUInt64(obj, "median_ns", s.median_ns);
    setUInt64(obj, "min_ns", s.min_ns);
    setUInt64(obj, "max_ns", s.max_ns);
    setUInt64(obj, "standard_deviation_ns", s.standard_deviation_ns);
    setOptionalUInt32(obj, "requested_num_packets", s.requested_num_packets);
    setOptionalUInt64(obj, "rtt_min_ns", s.rtt_min_ns);
    setOptionalUInt64(obj, "rtt_max_ns", s.rtt_max_ns);
    setOptionalUInt64(obj, "rtt_avg_ns", s.rtt_avg_ns);
    setOptionalUInt64(obj, "rtt_med_ns", s.rtt_med_ns);
    setOptionalUInt64(obj, "rtt_std_dev_ns", s.rtt_std_dev_ns);
    setOptionalUInt64(obj, "rtt_var_ns", s.rtt_var_ns);
    setOptionalUInt64(obj, "jitter_min_ns", s.jitter_min_ns);
    setOptionalUInt64(obj, "jitter_max_ns", s.jitter_max_ns);
    setOptionalUInt64(obj, "jitter_avg_ns", s.jitter_avg_ns);
    setOptionalUInt64(obj, "jitter_med_ns", s.jitter_med_ns);
    setOptionalUInt64(obj, "jitter_std_dev_ns", s.jitter_std_dev_ns);
    setOptionalUInt64(obj, "jitter_var_ns", s.jitter_var_ns);
    obj["rtts"] = arrayOf(s.rtts, sampleWriter);
    return obj;
}

json::object endpointObject(const SprintEndpoint& side) {
    json::object obj;
    setOptionalString(obj, "local_ip", side.local_ip);
    setOptionalUInt16(obj, "local_port", side.local_port);
    setOptionalString(obj, "remote_ip", side.remote_ip);
    setOptionalUInt16(obj, "remote_port", side.remote_port);
    return obj;
}

void setOptionalTraffic(json::object& obj, std::string_view key, const std::optional<InterfaceTrafficDto>& traffic) {
    if (traffic) obj[key] = InterfaceTrafficDtoWriter(*traffic);
}

void setOptionalStreams(json::object& obj, std::string_view key,
                        const std::optional<std::vector<SprintConnectionStreamInfo>>& streams) {
    if (streams) obj[key] = arrayOf(*streams, SprintConnectionStreamInfoWriter);
}

// Writes `result` as kind K when it is one; null otherwise.
template <typename Kind, typename Writer>
json::value writeSubResultAs(const SubMeasurementResult& result, Writer writer) {
    const auto* kind = dynamic_cast<const Kind*>(&result);
    if (kind == nullptr) return nullptr;
    json::value value(json::object_kind);
    writer(value.get_object(), *kind);
    return value;
}

}  // namespace

json::object RttSampleDtoWriter(const RttSampleDto& sample) {
    json::object obj;
    setUInt64(obj, "rtt_ns", sample.rtt_ns);
    setUInt64(obj, "relative_time_ns", sample.relative_time_ns);
    return obj;
}

json::object UdpRttSampleDtoWriter(const UdpRttSampleDto& sample) {
    json::object obj;
    setUInt64(obj, "rtt_ns", sample.rtt_ns);
    setUInt64(obj, "relative_time_ns", sample.relative_time_ns);
    setOptionalBool(obj, "l", sample.l);
    setOptionalBool(obj, "o", sample.o);
    setOptionalUInt32(obj, "i", sample.i);
    return obj;
}

json::object RttStatisticsDtoWriter(const RttStatisticsDto& stats) {
    return statisticsObject(stats, RttSampleDtoWriter);
}

json::object RttStatisticsDtoWriter(const UdpRttStatisticsDto& stats) {
    json::object obj = statisticsObject(stats, UdpRttSampleDtoWriter);
    obj["packet_loss"] = finiteOrNull(stats.packet_loss);
    setUInt32(obj, "num_lost", stats.num_lost);
    setUInt32(obj, "num_out_of_order", stats.num_out_of_order);
    return obj;
}

json::object SpeedMeasurementRawDataItemDtoWriter(const SpeedMeasurementRawDataItemDto& item) {
    json::object obj;
    obj["stream_id"] = static_cast<std::int64_t>(item.stream_id);
    setUInt64(obj, "relative_time_ns", item.relative_time_ns);
    setUInt64(obj, "bytes", item.bytes);
    setUInt64(obj, "bytes_including_slow_start", item.bytes_including_slow_start);
    return obj;
}

json::object InterfaceTrafficDtoWriter(const InterfaceTrafficDto& traffic) {
    json::object obj;
    setOptionalUInt64(obj, "bytes_rx", traffic.bytes_rx);
    setOptionalUInt64(obj, "bytes_tx", traffic.bytes_tx);
    return obj;
}

json::object SprintConnectionStreamInfoWriter(const SprintConnectionStreamInfo& info) {
    json::object obj;
    if (info.client) obj["client"] = endpointObject(*info.client);
    if (info.server) obj["server"] = endpointObject(*info.server);
    return obj;
}

json::object SpeedConnectionInfoDtoWriter(const SpeedConnectionInfoDto& info) {
    json::object obj;
    setOptionalString(obj, "address", info.address);
    setOptionalInt32(obj, "port", info.port);
    setOptionalString(obj, "identifier", info.identifier);
    setOptionalBool(obj, "encrypted", info.encrypted);
    setOptionalInt32(obj, "requested_num_streams_download", info.requested_num_streams_download);
    setOptionalInt32(obj, "requested_num_streams_upload", info.requested_num_streams_upload);
    setOptionalInt32(obj, "actual_num_streams_download", info.actual_num_streams_download);
    setOptionalInt32(obj, "actual_num_streams_upload", info.actual_num_streams_upload);
    setOptionalTraffic(obj, "agent_interface_total_traffic", info.agent_interface_total_traffic);
    // The upload figure goes before the download figure.
    setOptionalTraffic(obj, "agent_interface_upload_measurement_traffic",
                       info.agent_interface_upload_measurement_traffic);
    setOptionalTraffic(obj, "agent_interface_download_measurement_traffic",
                       info.agent_interface_download_measurement_traffic);
    setOptionalStreams(obj, "rtt_stream_info", info.rtt_stream_info);
    setOptionalStreams(obj, "download_stream_info", info.download_stream_info);
    setOptionalStreams(obj, "upload_stream_info", info.upload_stream_info);
    return obj;
}

void SpeedMeasurementResultWriter(json::object& obj, const SpeedMeasurementResult& r) {
    writeCommonHead(obj, r);
    setOptionalUInt64(obj, "bytes_download", r.bytes_download);
    setOptionalUInt64(obj, "bytes_download_including_slow_start", r.bytes_download_including_slow_start);
    setOptionalUInt64(obj, "bytes_upload", r.bytes_upload);
    setOptionalUInt64(obj, "bytes_upload_including_slow_start", r.bytes_upload_including_slow_start);
    setOptionalUInt64(obj, "duration_rtt_ns", r.duration_rtt_ns);
    setOptionalUInt64(obj, "duration_rtt_tcp_ns", r.duration_rtt_tcp_ns);
    setOptionalUInt64(obj, "duration_download_ns", r.duration_download_ns);
    setOptionalUInt64(obj, "duration_upload_ns", r.duration_upload_ns);
    setOptionalUInt64(obj, "relative_start_time_rtt_ns", r.relative_start_time_rtt_ns);
    setOptionalUInt64(obj, "relative_start_time_download_ns", r.relative_start_time_download_ns);
    setOptionalUInt64(obj, "relative_start_time_upload_ns", r.relative_start_time_upload_ns);
    // The raw-data lists are always written, the statistics as null when
    // missing, the connection facts not at all when missing.
    obj["download_raw_data"] = arrayOf(r.download_raw_data, SpeedMeasurementRawDataItemDtoWriter);
    obj["upload_raw_data"] = arrayOf(r.upload_raw_data, SpeedMeasurementRawDataItemDtoWriter);
    if (r.rtt_info) {
        obj["rtt_info"] = RttStatisticsDtoWriter(*r.rtt_info);
    } else {
        obj["rtt_info"] = nullptr;
    }
    if (r.rtt_tcp_info) {
        obj["rtt_tcp_info"] = RttStatisticsDtoWriter(*r.rtt_tcp_info);
    } else {
        obj["rtt_tcp_info"] = nullptr;
    }
    if (r.connection_info) obj["connection_info"] = SpeedConnectionInfoDtoWriter(*r.connection_info);
}

void QoSMeasurementResultWriter(json::object& obj, const QoSMeasurementResult& r) {
    writeCommonHead(obj, r);
    json::array results;
    results.reserve(r.results.size());
    for (const TaskResult* taskResult : r.results) {
        json::value& element = results.emplace_back(nullptr);
        TaskResultWriter(element, taskResult);
    }
    obj["results"] = std::move(results);
}

void ProgramTaskMeasurementResultWriter(json::object& obj, const ProgramTaskMeasurementResult& r) {
    writeCommonHead(obj, r);
    json::value result;
    TaskResultWriter(result, r.result);
    obj["result"] = std::move(result);
}

json::value SubMeasurementResultWriter(const SubMeasurementResult* result) {
    if (result == nullptr) return nullptr;
    const std::string& type = result->deserialize_type;
    if (typeTextEquals(type, "speed_result")) {
        return writeSubResultAs<SpeedMeasurementResult>(*result, SpeedMeasurementResultWriter);
    }
    if (typeTextEquals(type, QoSMeasurementResult::kType)) {
        return writeSubResultAs<QoSMeasurementResult>(*result, QoSMeasurementResultWriter);
    }
    if (typeTextEquals(type, ProgramTaskMeasurementResult::kType)) {
        return writeSubResultAs<ProgramTaskMeasurementResult>(*result, ProgramTaskMeasurementResultWriter);
    }
    return nullptr;
}

}  // namespace trevask::measurement_library
