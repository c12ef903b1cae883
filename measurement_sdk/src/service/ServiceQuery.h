#pragma once
// Query maps and request time-out of the UI-facing services: a key is added
// only when its value is given; integers are written in decimal (a minus
// sign for negatives).

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace trevask::measurement_sdk {

// Bound of each back-end request a UI-facing service makes.
inline constexpr std::uint32_t kServiceTimeoutMs = 10000;

using QueryMap = std::map<std::string, std::string>;

inline void addQueryText(QueryMap& query, const char* key, const std::optional<std::string>& value) {
    if (value) query[key] = *value;
}

inline void addQueryInt(QueryMap& query, const char* key, const std::optional<std::int32_t>& value) {
    if (value) query[key] = std::to_string(*value);
}

// The query holding only "lang", when it is given.
inline QueryMap langQuery(const std::optional<std::string>& lang) {
    QueryMap query;
    addQueryText(query, "lang", lang);
    return query;
}

}  // namespace trevask::measurement_sdk
