#pragma once
// Reading members of the agent's JSON texts and the collector's report:
// absent, null and wrongly typed members read as nothing, never as an error.

#include <boost/json.hpp>

#include <cmath>
#include <optional>
#include <string>

namespace lumivex::cli {

// The member, or null when it is absent or JSON null.
inline const boost::json::value* member(const boost::json::object& o, const char* key) {
    auto it = o.find(key);
    return it == o.end() || it->value().is_null() ? nullptr : &it->value();
}

// A finite number member.
inline std::optional<double> number(const boost::json::object& o, const char* key) {
    const boost::json::value* v = member(o, key);
    if (v == nullptr || !v->is_number()) return std::nullopt;
    const double d = v->to_number<double>();
    if (!std::isfinite(d)) return std::nullopt;
    return d;
}

// A member as text: texts as they are, numbers and bools in their JSON form.
inline std::string text(const boost::json::object& o, const char* key) {
    const boost::json::value* v = member(o, key);
    if (v == nullptr) return std::string();
    if (v->is_string()) return std::string(v->as_string());
    if (v->is_number() || v->is_bool()) return boost::json::serialize(*v);
    return std::string();
}

inline const boost::json::object* object(const boost::json::object& o, const char* key) {
    const boost::json::value* v = member(o, key);
    return v != nullptr && v->is_object() ? &v->as_object() : nullptr;
}

// The text parsed as one JSON object.
inline std::optional<boost::json::object> parseObject(const std::string& text) {
    boost::system::error_code ec;
    boost::json::value value = boost::json::parse(text, ec);
    if (ec || !value.is_object()) return std::nullopt;
    return std::move(value.as_object());
}

}  // namespace lumivex::cli
