#include "MapChannel.h"

#include "ServerResponse.h"

#include "service/MapService.h"

namespace trevask {
namespace {

using Result = std::unique_ptr<flutter::MethodResult>;

void handleRequestMapOptions(Result result, const std::string& url, const flutter::EncodableMap& /*arguments*/,
                             const std::optional<std::string>& lang) {
    // The service adds its own "/" before the path: one trailing "/" of the
    // UI's url is dropped (only one).
    std::string base = url;
    if (!base.empty() && base.back() == '/') base.pop_back();
    replyWithBody(measurement_sdk::MapService(backEndRequestService()).getMapOption(base, lang), *result);
}

void handleGetMarkers(Result result, const std::string& url, const flutter::EncodableMap& arguments,
                      const std::optional<std::string>& lang) {
    auto lat = getOptionalDouble(arguments, "lat");
    if (!lat) {
        result->Error("No lat passed", "");
        return;
    }
    auto lon = getOptionalDouble(arguments, "lon");
    if (!lon) {
        result->Error("No lon passed", "");
        return;
    }
    auto zoom = getOptionalInt(arguments, "zoom");
    if (!zoom) {
        result->Error("No zoom passed", "");
        return;
    }
    auto size = getOptionalInt(arguments, "size");
    if (!size) {
        result->Error("No size passed", "");
        return;
    }
    auto locale = getOptionalString(arguments, "locale");
    auto filter = toStringMap(getOptionalMap(arguments, "filter"));
    auto options = toStringMap(getOptionalMap(arguments, "options"));
    replyWithBody(measurement_sdk::MapService(backEndRequestService())
                      .getMarkers(url, *lat, *lon, *zoom, *size, locale, filter, options, lang),
                  *result);
}

}  // namespace

void registerMapChannel(flutter::HeadlessEngine* engine) {
    registerMethodChannel(engine, "at.trevask.lumivex/map", handleMapMethodCall);
}

void handleMapMethodCall(const flutter::MethodCall& call, Result result) {
    auto args = checkBackEndArguments(call, *result);
    if (!args) return;
    const std::string& method = call.method_name();
    if (method == "requestMapOptions") {
        handleRequestMapOptions(std::move(result), args->url, args->arguments, args->lang);
    } else if (method == "getMarkers") {
        handleGetMarkers(std::move(result), args->url, args->arguments, args->lang);
    } else {
        result->NotImplemented();
    }
}

}  // namespace trevask
