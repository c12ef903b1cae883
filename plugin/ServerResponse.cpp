#include "ServerResponse.h"

#include "service/RequestService.h"
#include "util/ApiDataParser.h"

namespace trevask {

using measurement_library::ApiDataParser;

void replyWithBody(const std::optional<std::string>& body, flutter::MethodResult& result) {
    if (body) {
        result.Success(flutter::EncodableValue(*body));
    } else {
        result.Error("Failed to get server response", "");
    }
}

void replyWithServerResponse(const std::optional<std::string>& response, flutter::MethodResult& result,
                             bool wholeBody) {
    if (!response) {
        result.Error("No server response", "");
        return;
    }
    if (wholeBody) {
        result.Success(flutter::EncodableValue(*response));
        return;
    }
    if (auto data = ApiDataParser::getData(*response)) {
        result.Success(flutter::EncodableValue(*data));
        return;
    }
    auto errors = ApiDataParser::getErrors(*response);
    result.Error("server_error", errors ? *errors : *response);
}

namespace {

template <typename T>
std::optional<T> getOptional(const flutter::EncodableMap& map, const std::string& key) {
    auto it = map.find(flutter::EncodableValue(key));
    if (it == map.end()) return std::nullopt;
    if (const T* value = it->second.getIf<T>()) return *value;
    return std::nullopt;
}

}  // namespace

std::optional<std::int32_t> getOptionalInt(const flutter::EncodableMap& map, const std::string& key) {
    return getOptional<std::int32_t>(map, key);
}

std::optional<double> getOptionalDouble(const flutter::EncodableMap& map, const std::string& key) {
    return getOptional<double>(map, key);
}

std::optional<std::string> getOptionalString(const flutter::EncodableMap& map, const std::string& key) {
    return getOptional<std::string>(map, key);
}

std::optional<bool> getOptionalBool(const flutter::EncodableMap& map, const std::string& key) {
    return getOptional<bool>(map, key);
}

std::optional<flutter::EncodableMap> getOptionalMap(const flutter::EncodableMap& map, const std::string& key) {
    return getOptional<flutter::EncodableMap>(map, key);
}

std::optional<std::map<std::string, std::string>> toStringMap(std::optional<flutter::EncodableMap> map) {
    if (!map) return std::nullopt;
    std::map<std::string, std::string> out;
    for (auto& [key, value] : *map) {
        const auto* k = key.getIf<std::string>();
        const auto* v = value.getIf<std::string>();
        if (k && v) out.emplace(*k, *v);
    }
    return out;
}

std::optional<BackEndArguments> checkBackEndArguments(const flutter::MethodCall& call, flutter::MethodResult& result,
                                                      BackEndChecks checks) {
    const auto* map = call.arguments() ? call.arguments()->getIf<flutter::EncodableMap>() : nullptr;
    if (map == nullptr) {
        result.Error("Invalid parameters", "");
        return std::nullopt;
    }
    BackEndArguments out;
    out.arguments = *map;
    auto url = getOptionalString(out.arguments, "url");
    if (!url) {
        result.Error("No url provided", "");
        return std::nullopt;
    }
    out.url = std::move(*url);
    if (checks.agentKey != nullptr) {
        auto agentUuid = getOptionalString(out.arguments, checks.agentKey);
        if (!agentUuid) {
            result.Error("No agent uuid provided", "");
            return std::nullopt;
        }
        out.agentUuid = std::move(*agentUuid);
    }
    if (checks.ownTextKey != nullptr) out.ownText = getOptionalString(out.arguments, checks.ownTextKey);
    out.lang = getOptionalString(out.arguments, "lang");
    return out;
}

void registerMethodChannel(flutter::HeadlessEngine* engine, const char* name, flutter::MethodCallHandler handler) {
    flutter::MethodChannel channel(engine->messenger(), name, &flutter::StandardMethodCodec::GetInstance());
    channel.SetMethodCallHandler(std::move(handler));
}

measurement_library::RequestService* backEndRequestService() {
    static measurement_library::RequestService* const service = measurement_library::RequestService::getInstance();
    return service;
}

}  // namespace trevask
