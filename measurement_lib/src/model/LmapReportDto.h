#pragma once
// The LMAP report of one measurement run: header texts, the result entries
// with their sub-results, the client description and the time-based result.
// Written with member names; the collector connection translates the text
// to the wire names with the report's key pairs.

#include "model/JsonMorpher.h"
#include "model/LmapOptionDto.h"
#include "model/RequestInfo.h"
#include "model/StartMeasurementParameters.h"
#include "model/SubMeasurementResult.h"
#include "model/UsageSample.h"

#include <boost/json/fwd.hpp>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace trevask::measurement_library {

struct LmapResultDto {
    std::vector<LmapOptionDto> option;
    std::vector<std::string> tag;
    std::vector<std::unique_ptr<SubMeasurementResult>> results;
    std::unique_ptr<std::string> extra_data;  // a JSON document as text
};

struct NetworkPointInTimeDto {
    std::string time;                  // "%Y-%m-%dT%H:%M:%S", UTC
    std::int32_t network_type_id = 0;  // 98 LAN, 99 WLAN, 95 unknown
};

struct TimeBasedResultDto {
    std::string start_time;
    std::string end_time;
    std::uint64_t duration_ns = 0;
    std::vector<UsageSample> cpu_usage;
    std::vector<UsageSample> mem_usage;
    std::vector<NetworkPointInTimeDto> network_points_in_time;
    std::optional<std::string> agent_public_ipv4;
    std::optional<std::string> agent_private_ipv4;
    std::optional<std::string> agent_public_ipv6;
    std::optional<std::string> agent_private_ipv6;
    std::optional<std::vector<GeoLocation>> geo_locations;
};

struct LmapReportDto : JsonMorpher {
    LmapReportDto();
    ~LmapReportDto() override = default;

    LmapReportDto(LmapReportDto&&) = default;
    LmapReportDto& operator=(LmapReportDto&&) = default;

    std::string date;
    std::string local_time;
    std::string agent_id;
    std::string group_id;
    std::string measurement_point;
    std::vector<LmapResultDto> result;
    RequestInfo additional_request_info;
    TimeBasedResultDto time_based_result;
};

// Writers; none throws for any content.
void LmapReportDtoWriter(boost::json::object& obj, const LmapReportDto& report);
boost::json::object LmapResultDtoWriter(const LmapResultDto& entry);
boost::json::object TimeBasedResultDtoWriter(const TimeBasedResultDto& result);
boost::json::object NetworkPointInTimeDtoWriter(const NetworkPointInTimeDto& point);
boost::json::object UsageSampleWriter(const UsageSample& sample);
boost::json::object GeoLocationWriter(const GeoLocation& location);

// The parsed document of an extra-data text (strict JSON); null, with one
// line "Error during JSON parse: <reason>" on standard output, when the text
// does not parse.
boost::json::value extraDataToJson(const std::string& text);

// The report's compact JSON text with member names (before key translation).
std::string LmapReportDtoSerializer(const LmapReportDto& report);

}  // namespace trevask::measurement_library
