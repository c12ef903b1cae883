#pragma once
// The parameters of one measurement as the UI sends them.

#include <boost/json/fwd.hpp>

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace trevask::measurement_library {

// A position sample; every member optional.
struct GeoLocation {
    std::optional<std::string> time;
    std::optional<std::uint64_t> relative_time_ns;
    std::optional<std::string> provider;
    std::optional<double> accuracy;
    std::optional<double> altitude;
    std::optional<double> heading;
    std::optional<double> speed;
    std::optional<double> latitude;
    std::optional<double> longitude;

    bool operator==(const GeoLocation&) const = default;
};

struct StartMeasurementParameters {
    std::string controllerUrl;
    std::string agentUuid;
    bool performRttMeasurement = true;
    bool performDownloadMeasurement = true;
    bool performUploadMeasurement = true;
    bool performQos = false;
    bool performSpeed = true;
    std::map<std::string, bool> performQosType;
    std::optional<std::string> indoorOutdoorMode;
    std::optional<std::int32_t> latestNetworkId;
    std::optional<std::string> certifiedMeasurementUuid;
    bool anonymousModeEnabled = false;
    std::optional<std::string> overrideCollectorUrl;
    std::optional<GeoLocation> initialGeoLocation;
};

// Throws std::invalid_argument "not an object" for a non-object.
GeoLocation readGeoLocation(const boost::json::value& value);
// Absent, null or a non-object give no value; never throws.
void readOptionalGeoLocation(const boost::json::object& obj, const char* key, std::optional<GeoLocation>& target);
// Fills a default-constructed record; throws "not a string", "bool required"
// or "not an object" for a present member of the wrong kind.
void readStartMeasurementParameters(const boost::json::object& obj, StartMeasurementParameters& params);

}  // namespace trevask::measurement_library
