#include "model/result/NativeVelaTaskResult.h"

#include "model/result/WriterSupport.h"

namespace json = boost::json;

namespace trevask::measurement_library {

using namespace result_writing;

void NativeVelaRttSampleWriter(json::value& value, const NativeVelaRttSample& s) {
    json::object& obj = makeObject(value);
    setOptionalUInt64(obj, "rtt_ns", s.rtt_ns);
    setOptionalUInt64(obj, "relative_time_ns", s.relative_time_ns);
}

void NativeVelaRttInfoWriter(json::value& value, const NativeVelaRttInfo& i) {
    json::object& obj = makeObject(value);
    setOptionalString(obj, "address", i.address);
    if (i.rtts) setArray(obj, "rtts", *i.rtts, NativeVelaRttSampleWriter);
    setOptionalUInt32(obj, "request_num_packets", i.request_num_packets);
    setOptionalUInt32(obj, "num_sent", i.num_sent);
    setOptionalUInt32(obj, "num_received", i.num_received);
    setOptionalUInt32(obj, "num_error", i.num_error);
    setOptionalUInt32(obj, "num_missing", i.num_missing);
    setOptionalUInt32(obj, "packet_size", i.packet_size);
    setOptionalUInt64(obj, "average_ns", i.average_ns);
    setOptionalUInt64(obj, "maximum_ns", i.maximum_ns);
    setOptionalUInt64(obj, "median_ns", i.median_ns);
    setOptionalUInt64(obj, "minimum_ns", i.minimum_ns);
    setOptionalUInt64(obj, "standard_deviation_ns", i.standard_deviation_ns);
}

void NativeVelaRawDataItemWriter(json::value& value, const NativeVelaRawDataItem& item) {
    json::object& obj = makeObject(value);
    setOptionalUInt32(obj, "stream_id", item.stream_id);
    setOptionalUInt64(obj, "relative_time_ns", item.relative_time_ns);
    setOptionalUInt64(obj, "bytes", item.bytes);
    setOptionalUInt64(obj, "bytes_including_slow_start", item.bytes_including_slow_start);
}

void NativeVelaConnectionInfoWriter(json::value& value, const NativeVelaConnectionInfo& info) {
    json::object& obj = makeObject(value);
    if (info.agent_interface_total_traffic) obj["agent_interface_total_traffic"].emplace_object();
}

void NativeVelaTaskResultWriter(json::value& value, const NativeVelaTaskResult& r) {
    json::object& obj = makeObject(value);
    setOptionalUInt64(obj, "relative_start_time_ns", r.relative_start_time_ns);
    setOptionalUInt64(obj, "relative_end_time_ns", r.relative_end_time_ns);
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
    if (r.rtt_info) NativeVelaRttInfoWriter(obj["rtt_info"], *r.rtt_info);
    if (r.rtt_tcp_info) NativeVelaRttInfoWriter(obj["rtt_tcp_info"], *r.rtt_tcp_info);
    if (r.download_raw_data) NativeVelaRawDataItemWriter(obj["download_raw_data"], *r.download_raw_data);
    if (r.upload_raw_data) NativeVelaRawDataItemWriter(obj["upload_raw_data"], *r.upload_raw_data);
    if (r.connection_info) NativeVelaConnectionInfoWriter(obj["connection_info"], *r.connection_info);
}

}  // namespace trevask::measurement_library
