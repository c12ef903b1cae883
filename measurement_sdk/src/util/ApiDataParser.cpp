#include "util/ApiDataParser.h"

#include "helper/SentryHelper.h"

#include <nlohmann/json.hpp>

#include <source_location>
#include <vector>

namespace trevask::measurement_library {

namespace {

// Members nested deeper than this are not serialised back: the serializer
// recurses once per level, and a hostile body of a few hundred kilobytes of
// brackets would otherwise exhaust the stack.
constexpr std::size_t kMaxDepth = 512;

bool nestedTooDeep(const nlohmann::json& root) {
    std::vector<std::pair<const nlohmann::json*, std::size_t>> pending{{&root, 1}};
    while (!pending.empty()) {
        auto [value, depth] = pending.back();
        pending.pop_back();
        if (!value->is_structured()) continue;
        if (depth > kMaxDepth) return true;
        for (const auto& child : *value) pending.emplace_back(&child, depth + 1);
    }
    return false;
}

std::optional<std::string> memberText(const std::string& body, const char* key, std::source_location where) {
    // A NUL byte is never valid JSON text, but the library takes it for the
    // end of the input and would accept whatever precedes it.
    if (body.find('\0') != std::string::npos) return std::nullopt;
    try {
        // No exceptions (a syntax error gives the discarded value), comments refused.
        const nlohmann::json root = nlohmann::json::parse(body, nullptr, false, false);
        if (root.is_discarded() || !root.is_object()) return std::nullopt;
        const auto it = root.find(key);
        if (it == root.end()) return std::nullopt;
        if (nestedTooDeep(*it)) return std::nullopt;
        std::string text = it->dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
        if (text.empty() || text == "null") return std::nullopt;
        return text;
    } catch (const std::exception& e) {
        SentryHelper::captureException(e, "", where);
        return std::nullopt;
    }
}

}  // namespace

std::optional<std::string> ApiDataParser::getData(const std::string& body) {
    return memberText(body, "data", std::source_location::current());
}

std::optional<std::string> ApiDataParser::getErrors(const std::string& body) {
    return memberText(body, "errors", std::source_location::current());
}

}  // namespace trevask::measurement_library
