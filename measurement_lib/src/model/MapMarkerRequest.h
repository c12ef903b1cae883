#pragma once
// The map screen's marker query: a point with zoom and size, a locale and
// two free maps. Sent as the record's own object, without envelope.

#include "model/BasicRequest.h"

#include <boost/json/fwd.hpp>

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace trevask::measurement_library {

struct MapCoordinate : BasicRequest {
    static constexpr const char* kType = "at.trevask.brisel.shared.map.MapCoordinate";
    MapCoordinate() : BasicRequest(kType) {}

    std::optional<double> lat;
    std::optional<double> lon;
    std::optional<double> x;
    std::optional<double> y;
    std::optional<std::int32_t> zoom;
    std::optional<std::int32_t> size;
};

struct MapMarkerRequest : BasicRequest {
    static constexpr const char* kType = "at.trevask.brisel.shared.map.MapMarkerRequest";
    MapMarkerRequest() : BasicRequest(kType) {}

    std::optional<MapCoordinate> coords;
    std::optional<std::string> locale;
    std::optional<std::map<std::string, std::string>> filter;
    std::optional<std::map<std::string, std::string>> options;
};

// "deserialize_type", then "lat", "lon", "x", "y", "zoom", "size" when set.
boost::json::object MapCoordinateWriter(const MapCoordinate& coordinate);
// "deserialize_type", then "coords", "locale", "filter", "options" when set.
boost::json::object MapMarkerRequestWriter(const MapMarkerRequest& request);
// The record's object alone, compact.
std::string toRequestBody(const MapMarkerRequest& request);

}  // namespace trevask::measurement_library
