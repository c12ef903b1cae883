#pragma once
// Shared pieces of the back-end channels: answering with a back-end
// response, and reading typed optional arguments out of an argument map.

#include "platform/flutter/MethodChannel.h"

#include <map>
#include <optional>
#include <string>

namespace trevask {

// Answers the result exactly once: "No server response" without a body;
// the whole body when wholeBody is set; otherwise the envelope's "data"
// member, or "server_error" with its "errors" member (or the whole body).
void replyWithServerResponse(const std::optional<std::string>& response, flutter::MethodResult& result,
                             bool wholeBody);

// Each gives the entry only when it is exactly of the reader's kind.
std::optional<std::int32_t> getOptionalInt(const flutter::EncodableMap& map, const std::string& key);
std::optional<double> getOptionalDouble(const flutter::EncodableMap& map, const std::string& key);
std::optional<std::string> getOptionalString(const flutter::EncodableMap& map, const std::string& key);
std::optional<bool> getOptionalBool(const flutter::EncodableMap& map, const std::string& key);
std::optional<flutter::EncodableMap> getOptionalMap(const flutter::EncodableMap& map, const std::string& key);

// The text-to-text pairs of a map; other entries are dropped.
std::optional<std::map<std::string, std::string>> toStringMap(std::optional<flutter::EncodableMap> map);

}  // namespace trevask
