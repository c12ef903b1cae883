#include "model/LmapReportDto.h"

#include "model/JsonMembers.h"
#include "model/SubMeasurementResultWriter.h"

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <boost/json/value.hpp>

#include <iostream>

namespace json = boost::json;

namespace trevask::measurement_library {

namespace {

}  // namespace

LmapReportDto::LmapReportDto()
    : JsonMorpher({{"agent_id", "agent-id"}, {"group_id", "group-id"}, {"measurement_point", "measurement-point"}}) {}

json::value extraDataToJson(const std::string& text) {
    try {
        // Strict defaults: one complete document, depth at most 32, no
        // comments or trailing commas.
        return json::parse(text);
    } catch (const std::exception& e) {
        std::cout << "Error during JSON parse: " << e.what() << std::endl;
        return nullptr;
    }
}

json::object UsageSampleWriter(const UsageSample& sample) {
    json::object obj;
    obj["value"] = finiteOrNull(sample.value);
    obj["relative_time_ns"] = sample.relative_time_ns;
    return obj;
}

json::object NetworkPointInTimeDtoWriter(const NetworkPointInTimeDto& point) {
    json::object obj;
    obj["network_type_id"] = static_cast<std::int64_t>(point.network_type_id);
    setString(obj, "time", point.time);
    return obj;
}

json::object GeoLocationWriter(const GeoLocation& location) {
    json::object obj;
    setOptionalString(obj, "time", location.time);
    setOptionalUInt64(obj, "relative_time_ns", location.relative_time_ns);
    setOptionalString(obj, "provider", location.provider);
    setOptionalDouble(obj, "accuracy", location.accuracy);
    setOptionalDouble(obj, "altitude", location.altitude);
    setOptionalDouble(obj, "heading", location.heading);
    setOptionalDouble(obj, "speed", location.speed);
    setOptionalDouble(obj, "latitude", location.latitude);
    setOptionalDouble(obj, "longitude", location.longitude);
    return obj;
}

json::object TimeBasedResultDtoWriter(const TimeBasedResultDto& result) {
    json::object obj;
    setUInt64(obj, "duration_ns", result.duration_ns);
    setOptionalString(obj, "agent_public_ipv4", result.agent_public_ipv4);
    setOptionalString(obj, "agent_private_ipv4", result.agent_private_ipv4);
    setOptionalString(obj, "agent_public_ipv6", result.agent_public_ipv6);
    setOptionalString(obj, "agent_private_ipv6", result.agent_private_ipv6);
    setString(obj, "start_time", result.start_time);
    setString(obj, "end_time", result.end_time);
    obj["network_points_in_time"] = arrayOf(result.network_points_in_time, NetworkPointInTimeDtoWriter);
    obj["cpu_usage"] = arrayOf(result.cpu_usage, UsageSampleWriter);
    obj["mem_usage"] = arrayOf(result.mem_usage, UsageSampleWriter);
    if (result.geo_locations) obj["geo_locations"] = arrayOf(*result.geo_locations, GeoLocationWriter);
    return obj;
}

json::object LmapResultDtoWriter(const LmapResultDto& entry) {
    json::object obj;
    obj["option"] = arrayOf(entry.option, LmapOptionDtoWriter);
    obj["extra_data"] = entry.extra_data ? extraDataToJson(*entry.extra_data) : json::value(nullptr);
    obj["tag"] = arrayOf(entry.tag, [](const std::string& text) { return json::value(text); });
    obj["results"] = arrayOf(entry.results, [](const std::unique_ptr<SubMeasurementResult>& sub) {
        return SubMeasurementResultWriter(sub.get());
    });
    return obj;
}

void LmapReportDtoWriter(json::object& obj, const LmapReportDto& report) {
    setString(obj, "date", report.date);
    setString(obj, "local_time", report.local_time);
    setString(obj, "agent_id", report.agent_id);
    setString(obj, "group_id", report.group_id);
    setString(obj, "measurement_point", report.measurement_point);
    obj["result"] = arrayOf(report.result, LmapResultDtoWriter);
    writeRequestInfoMember(obj, "additional_request_info", report.additional_request_info);
    obj["time_based_result"] = TimeBasedResultDtoWriter(report.time_based_result);
}

std::string LmapReportDtoSerializer(const LmapReportDto& report) {
    json::value value(json::object_kind);
    LmapReportDtoWriter(value.get_object(), report);
    return json::serialize(value);
}

}  // namespace trevask::measurement_library
