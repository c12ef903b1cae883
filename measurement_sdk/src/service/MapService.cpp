#include "service/MapService.h"

#include "helper/SentryHelper.h"
#include "model/MapMarkerRequest.h"
#include "service/RequestService.h"
#include "service/ServiceQuery.h"

#include <memory>

namespace trevask::measurement_sdk {

using namespace trevask::measurement_library;

namespace {

const std::string& tilesInfoPath() {
    static const std::string path = "/tiles/info";
    return path;
}

const std::string& tilesMarkersPath() {
    static const std::string path = "/tiles/markers";
    return path;
}

}  // namespace

MapService::MapService() : requestService(RequestService::getInstance()) {}
MapService::MapService(RequestService* service) : requestService(service) {}

std::optional<std::string> MapService::getMapOption(const std::string& url, const std::optional<std::string>& lang) {
    auto transaction = SentryHelper::startTransaction("MapService::getMapOption", "getMapOption");
    auto response = requestService->performStringRequest(url + tilesInfoPath(), "GET", std::string(),
                                                         RequestService::Query(langQuery(lang)), kServiceTimeoutMs);
    SentryHelper::finishTransaction(transaction);
    if (!response) return std::nullopt;
    return std::move(response->body);
}

std::optional<std::string> MapService::getMarkers(const std::string& url, double lat, double lon, std::int32_t zoom,
                                                  std::int32_t size, const std::optional<std::string>& locale,
                                                  const std::optional<std::map<std::string, std::string>>& filter,
                                                  const std::optional<std::map<std::string, std::string>>& options,
                                                  const std::optional<std::string>& lang) {
    auto transaction = SentryHelper::startTransaction("MapService::getMarkers", "getMarkers");
    auto request = std::make_unique<MapMarkerRequest>();
    MapCoordinate coordinate;
    coordinate.lat = lat;
    coordinate.lon = lon;
    coordinate.zoom = zoom;
    coordinate.size = size;
    request->coords = std::move(coordinate);
    if (locale) request->locale = locale;
    if (filter) request->filter = filter;
    if (options) request->options = options;

    auto response = requestService->performDtoRequest(url + tilesMarkersPath(), "POST", *request,
                                                      RequestService::Query(langQuery(lang)), kServiceTimeoutMs);
    SentryHelper::finishTransaction(transaction);
    if (!response) return std::nullopt;
    return std::move(response->body);
}

}  // namespace trevask::measurement_sdk
