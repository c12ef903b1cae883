#pragma once
// Shared pieces of the back-end channels: answering with a back-end
// response, reading typed optional arguments out of an argument map, the
// argument checks every back-end channel handler opens with, the request
// layer they call, and the registration of a method channel.

#include "platform/flutter/HeadlessEngine.h"
#include "platform/flutter/MethodChannel.h"

#include <map>
#include <optional>
#include <string>

namespace trevask::measurement_library {
class RequestService;
}

namespace trevask {

// Answers the result exactly once: "No server response" without a body;
// the whole body when wholeBody is set; otherwise the envelope's "data"
// member, or "server_error" with its "errors" member (or the whole body).
void replyWithServerResponse(const std::optional<std::string>& response, flutter::MethodResult& result,
                             bool wholeBody);
// Answers the result exactly once: the body as it is, or the error "Failed to
// get server response" without one.
void replyWithBody(const std::optional<std::string>& body, flutter::MethodResult& result);

// Each gives the entry only when it is exactly of the reader's kind.
std::optional<std::int32_t> getOptionalInt(const flutter::EncodableMap& map, const std::string& key);
std::optional<double> getOptionalDouble(const flutter::EncodableMap& map, const std::string& key);
std::optional<std::string> getOptionalString(const flutter::EncodableMap& map, const std::string& key);
std::optional<bool> getOptionalBool(const flutter::EncodableMap& map, const std::string& key);
std::optional<flutter::EncodableMap> getOptionalMap(const flutter::EncodableMap& map, const std::string& key);

// The text-to-text pairs of a map; other entries are dropped.
std::optional<std::map<std::string, std::string>> toStringMap(std::optional<flutter::EncodableMap> map);

// What the common checks of a back-end channel read.
struct BackEndArguments {
    flutter::EncodableMap arguments;  // a copy of the call's map
    std::string url;                  // present and a string; may be empty
    std::string agentUuid;            // read only where the channel names its key
    std::optional<std::string> ownText;  // the channel's own optional text
    std::optional<std::string> lang;
};

struct BackEndChecks {
    // "agentUuid" or "agent_uuid" where the channel needs an agent identity.
    const char* agentKey = nullptr;
    // An optional text read before "lang" (the news channel's "datetime").
    const char* ownTextKey = nullptr;
};

// The checks every back-end channel handler makes before it looks at the
// method name, in this order: the arguments are a map ("Invalid
// parameters"), "url" is a string ("No url provided"), the agent identity
// is a string ("No agent uuid provided"), then the optional texts. On a
// failure the result is answered with that error (empty message) and no
// value is returned.
std::optional<BackEndArguments> checkBackEndArguments(const flutter::MethodCall& call, flutter::MethodResult& result,
                                                      BackEndChecks checks = {});

// The process-wide request layer every back-end channel calls.
measurement_library::RequestService* backEndRequestService();

// Registers `handler` for the method channel `name` on the engine's
// messenger; the handler stays registered for the life of the engine.
void registerMethodChannel(flutter::HeadlessEngine* engine, const char* name, flutter::MethodCallHandler handler);

}  // namespace trevask
