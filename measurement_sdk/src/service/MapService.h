#pragma once
// The map screen's back-end calls: the tile options and the measurement
// markers around a point. Each returns the response body for any HTTP status
// and no value when no response was read.

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace trevask::measurement_library {
class RequestService;
}

namespace trevask::measurement_sdk {

class MapService {
public:
    MapService();
    // Over the given request service (the process-wide one by default).
    explicit MapService(measurement_library::RequestService* service);

    // GET url + "/tiles/info".
    std::optional<std::string> getMapOption(const std::string& url, const std::optional<std::string>& lang);

    // POST url + "/tiles/markers" with the marker request's own JSON object
    // (no envelope, no client description).
    std::optional<std::string> getMarkers(const std::string& url, double lat, double lon, std::int32_t zoom,
                                          std::int32_t size, const std::optional<std::string>& locale,
                                          const std::optional<std::map<std::string, std::string>>& filter,
                                          const std::optional<std::map<std::string, std::string>>& options,
                                          const std::optional<std::string>& lang);

private:
    measurement_library::RequestService* requestService;
};

}  // namespace trevask::measurement_sdk
