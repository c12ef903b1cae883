#pragma once
// JSON writers of the report's sub-results (speed, QoS, program) and of the
// speed sub-result's nested records. None of them throws for any content.

#include <boost/json/fwd.hpp>

namespace trevask::measurement_library {

struct SubMeasurementResult;
struct SpeedMeasurementResult;
struct QoSMeasurementResult;
struct ProgramTaskMeasurementResult;
struct RttSampleDto;
struct UdpRttSampleDto;
struct RttStatisticsDto;
struct UdpRttStatisticsDto;
struct SpeedMeasurementRawDataItemDto;
struct SpeedConnectionInfoDto;
struct InterfaceTrafficDto;
struct SprintConnectionStreamInfo;

// One element of a result entry's "results": the kind that the type text
// names (case-insensitive) when the object is of that kind; JSON null for a
// null pointer, an unknown type text or a record of another kind.
boost::json::value SubMeasurementResultWriter(const SubMeasurementResult* result);

// Each writes its kind into `obj` (expected empty): the common head
// ("deserialize_type", then "status", "relative_start_time_ns",
// "relative_end_time_ns" where present) and the kind's own members.
void SpeedMeasurementResultWriter(boost::json::object& obj, const SpeedMeasurementResult& result);
void QoSMeasurementResultWriter(boost::json::object& obj, const QoSMeasurementResult& result);
void ProgramTaskMeasurementResultWriter(boost::json::object& obj, const ProgramTaskMeasurementResult& result);

// Nested records of the speed sub-result.
boost::json::object RttStatisticsDtoWriter(const RttStatisticsDto& stats);
boost::json::object RttStatisticsDtoWriter(const UdpRttStatisticsDto& stats);
boost::json::object RttSampleDtoWriter(const RttSampleDto& sample);
boost::json::object UdpRttSampleDtoWriter(const UdpRttSampleDto& sample);
boost::json::object SpeedMeasurementRawDataItemDtoWriter(const SpeedMeasurementRawDataItemDto& item);
boost::json::object SpeedConnectionInfoDtoWriter(const SpeedConnectionInfoDto& info);
boost::json::object InterfaceTrafficDtoWriter(const InterfaceTrafficDto& traffic);
boost::json::object SprintConnectionStreamInfoWriter(const SprintConnectionStreamInfo& info);

// A floating-point figure as a JSON number, or null when it is NaN or
// infinite: the serializer would spell those as NaN or Infinity, which no
// JSON reader accepts, and the collector would refuse the whole report.
boost::json::value finiteOrNull(double number);

}  // namespace trevask::measurement_library
