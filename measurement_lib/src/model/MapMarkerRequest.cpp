#include "model/MapMarkerRequest.h"

#include "model/JsonMembers.h"
#include "model/OptionalMemberWriters.h"
#include "model/RequestEnvelope.h"

namespace json = boost::json;

namespace trevask::measurement_library {

json::object MapCoordinateWriter(const MapCoordinate& coordinate) {
    json::object obj;
    setString(obj, "deserialize_type", coordinate.deserialize_type);
    setOptionalDouble(obj, "lat", coordinate.lat);
    setOptionalDouble(obj, "lon", coordinate.lon);
    setOptionalDouble(obj, "x", coordinate.x);
    setOptionalDouble(obj, "y", coordinate.y);
    setOptionalInt32(obj, "zoom", coordinate.zoom);
    setOptionalInt32(obj, "size", coordinate.size);
    return obj;
}

json::object MapMarkerRequestWriter(const MapMarkerRequest& request) {
    json::object obj;
    setString(obj, "deserialize_type", request.deserialize_type);
    if (request.coords) obj["coords"] = MapCoordinateWriter(*request.coords);
    setOptionalString(obj, "locale", request.locale);
    setOptionalTextMap(obj, "filter", request.filter);
    setOptionalTextMap(obj, "options", request.options);
    return obj;
}

std::string toRequestBody(const MapMarkerRequest& request) {
    return serializeCompact(MapMarkerRequestWriter(request));
}

}  // namespace trevask::measurement_library
