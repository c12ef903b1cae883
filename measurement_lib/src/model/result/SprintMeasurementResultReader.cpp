#include "model/result/SprintMeasurementResult.h"

#include "model/JsonMembers.h"

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include <cmath>
#include <exception>
#include <limits>

namespace json = boost::json;

namespace trevask::measurement_library {

namespace {

// Every member reader below leaves the member empty on an absent key, null or
// a value that does not fit, and never throws.

template <typename T>
void readFixedWidth(const json::object& obj, const char* key, std::optional<T>& target) {
    target.reset();
    if (!obj.contains(key)) return;
    try {
        T value{};
        readNumber(obj, key, value);  // exact: whole, non-negative, in range
        target = value;
    } catch (const std::exception&) {
    }
}

void readMember(const json::object& obj, const char* key, std::optional<std::uint16_t>& target) {
    readFixedWidth(obj, key, target);
}
void readMember(const json::object& obj, const char* key, std::optional<std::uint32_t>& target) {
    readFixedWidth(obj, key, target);
}
void readMember(const json::object& obj, const char* key, std::optional<std::uint64_t>& target) {
    readOptionalUint64(obj, key, target);
}
void readMember(const json::object& obj, const char* key, std::optional<std::string>& target) {
    readOptionalString(obj, key, target);
}
void readMember(const json::object& obj, const char* key, std::optional<bool>& target) {
    readOptionalBool(obj, key, target);
}

// Any JSON number, narrowed to float. Values beyond the float range become
// infinities instead of an undefined conversion.
void readMember(const json::object& obj, const char* key, std::optional<float>& target) {
    target.reset();
    const json::value* v = obj.if_contains(key);
    if (v == nullptr) return;
    double d = 0.0;
    if (v->is_double()) d = v->get_double();
    else if (v->is_int64()) d = static_cast<double>(v->get_int64());
    else if (v->is_uint64()) d = static_cast<double>(v->get_uint64());
    else return;
    constexpr double kMax = std::numeric_limits<float>::max();
    if (d > kMax) target = std::numeric_limits<float>::infinity();
    else if (d < -kMax) target = -std::numeric_limits<float>::infinity();
    else target = static_cast<float>(d);
}

// A nested record: only a JSON object is read.
template <typename Record, typename Fill>
void readOptionalRecord(const json::object& obj, const char* key, std::optional<Record>& target, Fill fill) {
    target.reset();
    const json::value* v = obj.if_contains(key);
    if (v == nullptr || !v->is_object()) return;
    Record record;
    fill(v->get_object(), record);
    target = std::move(record);
}

// A list: read whole only when it is an array of objects.
template <typename Record, typename Fill>
void readListValue(const json::value* v, std::optional<std::vector<Record>>& target, Fill fill) {
    target.reset();
    if (v == nullptr || !v->is_array()) return;
    const json::array& arr = v->get_array();
    for (const json::value& element : arr) {
        if (!element.is_object()) return;
    }
    std::vector<Record> records;
    records.reserve(arr.size());
    for (const json::value& element : arr) {
        Record record;
        fill(element.get_object(), record);
        records.push_back(std::move(record));
    }
    target = std::move(records);
}

template <typename Record, typename Fill>
void readList(const json::object& obj, const char* key, std::optional<std::vector<Record>>& target, Fill fill) {
    readListValue(obj.if_contains(key), target, fill);
}

void fillEndpoint(const json::object& o, SprintEndpoint& e) {
    readMember(o, "local_ip", e.local_ip);
    readMember(o, "local_port", e.local_port);
    readMember(o, "remote_ip", e.remote_ip);
    readMember(o, "remote_port", e.remote_port);
}

void fillStreamInfo(const json::object& o, SprintConnectionStreamInfo& s) {
    readOptionalRecord(o, "client", s.client, fillEndpoint);
    readOptionalRecord(o, "server", s.server, fillEndpoint);
}

void fillSample(const json::object& o, SprintRttSample& s) {
    readMember(o, "time_ns", s.time_ns);
    readMember(o, "rtt_ns", s.rtt_ns);
}

void fillSample(const json::object& o, SprintUdpRttSample& s) {
    readMember(o, "time_ns", s.time_ns);
    readMember(o, "rtt_ns", s.rtt_ns);
    readMember(o, "l", s.l);
    readMember(o, "o", s.o);
    readMember(o, "i", s.i);
}

template <typename Sample>
void fillRttCommon(const json::object& o, SprintRttResultBase<Sample>& r) {
    readMember(o, "relative_start_time_ns", r.relative_start_time_ns);
    readMember(o, "duration_ns", r.duration_ns);
    readMember(o, "rtt_min_ns", r.rtt_min_ns);
    readMember(o, "rtt_max_ns", r.rtt_max_ns);
    readMember(o, "rtt_avg_ns", r.rtt_avg_ns);
    readMember(o, "rtt_med_ns", r.rtt_med_ns);
    readMember(o, "rtt_std_dev_ns", r.rtt_std_dev_ns);
    readMember(o, "rtt_var_ns", r.rtt_var_ns);
    readMember(o, "jitter_min_ns", r.jitter_min_ns);
    readMember(o, "jitter_max_ns", r.jitter_max_ns);
    readMember(o, "jitter_avg_ns", r.jitter_avg_ns);
    readMember(o, "jitter_med_ns", r.jitter_med_ns);
    readMember(o, "jitter_std_dev_ns", r.jitter_std_dev_ns);
    readMember(o, "jitter_var_ns", r.jitter_var_ns);
    readMember(o, "num_sent", r.num_sent);
    readMember(o, "num_requested", r.num_requested);
    readList(o, "connection_stream_info", r.connection_stream_info, fillStreamInfo);
    readList(o, "rtts", r.rtts, [](const json::object& so, Sample& s) { fillSample(so, s); });
}

void fillRttTcp(const json::object& o, SprintRttResult& r) { fillRttCommon(o, r); }

void fillRttUdp(const json::object& o, SprintRttUdpResult& r) {
    fillRttCommon(o, r);
    readMember(o, "packet_loss", r.packet_loss);
    readMember(o, "num_lost", r.num_lost);
    readMember(o, "num_out_of_order", r.num_out_of_order);
}

void fillRawSample(const json::object& o, SprintRawSample& s) {
    readMember(o, "time_ns", s.time_ns);
    readMember(o, "b", s.b);
}

// "raw_data" must be an object whose every value is an array of objects.
void readRawData(const json::object& obj, const char* key,
                 std::optional<std::map<std::string, std::vector<SprintRawSample>>>& target) {
    target.reset();
    const json::value* v = obj.if_contains(key);
    if (v == nullptr || !v->is_object()) return;
    const json::object& connections = v->get_object();
    std::map<std::string, std::vector<SprintRawSample>> rawData;
    for (const auto& entry : connections) {
        std::optional<std::vector<SprintRawSample>> samples;
        readListValue(&entry.value(), samples, fillRawSample);
        if (!samples) return;
        rawData[std::string(entry.key())] = std::move(*samples);
    }
    target = std::move(rawData);
}

void fillThroughput(const json::object& o, SprintThroughputResult& r) {
    readMember(o, "relative_start_time_ns", r.relative_start_time_ns);
    readMember(o, "duration_ns", r.duration_ns);
    readMember(o, "pretest_duration_ns", r.pretest_duration_ns);
    readMember(o, "bytes", r.bytes);
    readMember(o, "bps", r.bps);
    readRawData(o, "raw_data", r.raw_data);
    readList(o, "connection_stream_info", r.connection_stream_info, fillStreamInfo);
}

}  // namespace

SprintMeasurementResult SprintMeasurementResultReader(std::string_view text) {
    const json::value root = parseJson(text);  // a syntax error reaches the caller
    const json::object& obj = requireObject(root);  // "not an object"

    SprintMeasurementResult result;
    readOptionalRecord(obj, "rtt_tcp", result.rtt_tcp, fillRttTcp);
    readOptionalRecord(obj, "rtt_udp", result.rtt_udp, fillRttUdp);
    readOptionalRecord(obj, "dl", result.dl, fillThroughput);
    readOptionalRecord(obj, "ul", result.ul, fillThroughput);
    return result;
}

}  // namespace trevask::measurement_library
