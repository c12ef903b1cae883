#include "model/StartMeasurementParameters.h"

#include "model/JsonMembers.h"

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

namespace json = boost::json;

namespace trevask::measurement_library {

GeoLocation readGeoLocation(const json::value& value) {
    const auto& obj = requireObject(value);
    GeoLocation g;
    readOptionalString(obj, "time", g.time);
    readOptionalUint64(obj, "relative_time_ns", g.relative_time_ns);
    readOptionalString(obj, "provider", g.provider);
    readOptionalDouble(obj, "accuracy", g.accuracy);
    readOptionalDouble(obj, "altitude", g.altitude);
    readOptionalDouble(obj, "heading", g.heading);
    readOptionalDouble(obj, "speed", g.speed);
    readOptionalDouble(obj, "latitude", g.latitude);
    readOptionalDouble(obj, "longitude", g.longitude);
    return g;
}

void readOptionalGeoLocation(const json::object& obj, const char* key, std::optional<GeoLocation>& target) {
    target.reset();
    auto it = obj.find(key);
    if (it == obj.end() || !it->value().is_object()) return;
    target = readGeoLocation(it->value());
}

void readStartMeasurementParameters(const json::object& obj, StartMeasurementParameters& p) {
    readString(obj, "controllerUrl", p.controllerUrl);
    readString(obj, "agentUuid", p.agentUuid);
    readBool(obj, "performRttMeasurement", p.performRttMeasurement);
    readBool(obj, "performDownloadMeasurement", p.performDownloadMeasurement);
    readBool(obj, "performUploadMeasurement", p.performUploadMeasurement);
    readBool(obj, "performQos", p.performQos);
    readBool(obj, "performSpeed", p.performSpeed);
    if (auto it = obj.find("performQosType"); it != obj.end()) {
        const auto& types = requireObject(it->value());
        std::map<std::string, bool> map;
        for (const auto& member : types) {
            if (!member.value().is_bool()) throw std::invalid_argument("bool required");
            map[std::string(member.key())] = member.value().get_bool();
        }
        p.performQosType = std::move(map);
    }
    readOptionalString(obj, "indoorOutdoorMode", p.indoorOutdoorMode);
    readOptionalInt(obj, "latestNetworkId", p.latestNetworkId);
    readOptionalString(obj, "certifiedMeasurementUuid", p.certifiedMeasurementUuid);
    readBool(obj, "anonymousModeEnabled", p.anonymousModeEnabled);
    readOptionalString(obj, "overrideCollectorUrl", p.overrideCollectorUrl);
    readOptionalGeoLocation(obj, "initialGeoLocation", p.initialGeoLocation);
}

}  // namespace trevask::measurement_library
