#include "model/JsonMembers.h"

#include <boost/json/parse.hpp>
#include <boost/json/parse_options.hpp>
#include <boost/json/value_to.hpp>
#include <boost/system/system_error.hpp>

#include <cctype>
#include <cmath>
#include <limits>
#include <locale>
#include <type_traits>

namespace json = boost::json;

namespace trevask::measurement_library {

namespace {

// boost.json's exact conversion, except that a double at or above 2^63 / 2^64
// is refused for 64-bit targets instead of being cast out of range (boost's
// own guard covers long long only, and int64_t is long here), and a double
// beyond the range of float is refused for float targets instead of being
// cast out of range.
template <typename T>
T toExact(const json::value& v, json::error_code& ec) {
    if constexpr (std::is_same_v<T, float>) {
        if (v.is_double()) {
            const double d = v.get_double();
            if (std::isfinite(d) && std::fabs(d) > static_cast<double>(std::numeric_limits<float>::max())) {
                ec = json::error::not_exact;
                return T{};
            }
        }
    }
    if constexpr (std::is_integral_v<T> && sizeof(T) == 8) {
        if (v.is_double()) {
            const double d = v.get_double();
            constexpr double limit = std::is_signed_v<T> ? 9223372036854775808.0 : 18446744073709551616.0;
            constexpr double low = std::is_signed_v<T> ? -9223372036854775808.0 : 0.0;
            if (!(d >= low && d < limit) || static_cast<double>(static_cast<T>(d)) != d) {
                ec = json::error::not_exact;
                return T{};
            }
            return static_cast<T>(d);
        }
    }
    return v.to_number<T>(ec);
}

template <typename T>
void readExact(const json::object& obj, const char* key, T& target) {
    auto it = obj.find(key);
    if (it == obj.end()) return;
    json::error_code ec;
    T out = toExact<T>(it->value(), ec);
    if (ec) throw boost::system::system_error(ec);
    target = out;
}

template <typename T>
std::optional<T> tryExact(const json::value& v) {
    json::error_code ec;
    T out = toExact<T>(v, ec);
    if (ec) return std::nullopt;
    return out;
}

}  // namespace

void readString(const json::object& obj, const char* key, std::string& target) {
    auto it = obj.find(key);
    if (it == obj.end()) return;
    if (!it->value().is_string()) throw std::invalid_argument("not a string");
    const auto& s = it->value().get_string();
    target.assign(s.data(), s.size());
}

void readBool(const json::object& obj, const char* key, bool& target) {
    auto it = obj.find(key);
    if (it == obj.end()) return;
    if (!it->value().is_bool()) throw std::invalid_argument("bool required");
    target = it->value().get_bool();
}

void readNumber(const json::object& obj, const char* key, std::uint16_t& target) { readExact(obj, key, target); }
void readNumber(const json::object& obj, const char* key, std::int32_t& target) { readExact(obj, key, target); }
void readNumber(const json::object& obj, const char* key, std::uint32_t& target) { readExact(obj, key, target); }
void readNumber(const json::object& obj, const char* key, std::int64_t& target) { readExact(obj, key, target); }
void readNumber(const json::object& obj, const char* key, std::uint64_t& target) { readExact(obj, key, target); }
void readNumber(const json::object& obj, const char* key, float& target) { readExact(obj, key, target); }
void readNumber(const json::object& obj, const char* key, double& target) { readExact(obj, key, target); }

void readOptionalString(const json::object& obj, const char* key, std::optional<std::string>& target) {
    target.reset();
    auto it = obj.find(key);
    if (it == obj.end() || !it->value().is_string()) return;
    const auto& s = it->value().get_string();
    target.emplace(s.data(), s.size());
}

void readOptionalInt(const json::object& obj, const char* key, std::optional<std::int32_t>& target) {
    target.reset();
    auto it = obj.find(key);
    if (it == obj.end()) return;
    target = tryExact<std::int32_t>(it->value());
}

void readOptionalDouble(const json::object& obj, const char* key, std::optional<double>& target) {
    target.reset();
    auto it = obj.find(key);
    if (it == obj.end()) return;
    target = tryExact<double>(it->value());
}

void readOptionalUint64(const json::object& obj, const char* key, std::optional<std::uint64_t>& target) {
    target.reset();
    auto it = obj.find(key);
    if (it == obj.end()) return;
    target = tryExact<std::uint64_t>(it->value());
}

void readOptionalBool(const json::object& obj, const char* key, std::optional<bool>& target) {
    target.reset();
    auto it = obj.find(key);
    if (it == obj.end() || !it->value().is_bool()) return;
    target = it->value().get_bool();
}

std::optional<std::string> readTypeText(const json::value& value, const char* key) {
    if (!value.is_object()) return std::nullopt;
    const auto& obj = value.get_object();
    auto it = obj.find(key);
    if (it == obj.end() || !it->value().is_string()) return std::nullopt;
    const auto& s = it->value().get_string();
    return std::string(s.data(), s.size());
}

const json::object& requireObject(const json::value& value) {
    if (!value.is_object()) throw std::invalid_argument("not an object");
    return value.get_object();
}

const json::array& requireArray(const json::value& value) {
    if (!value.is_array()) throw std::invalid_argument("array required");
    return value.get_array();
}

void readStringList(const json::object& obj, const char* key, std::vector<std::string>& target) {
    readList(obj, key, target, [](const json::value& element) {
        if (!element.is_string()) throw std::invalid_argument("not a string");
        return std::string(element.get_string());
    });
}

bool typeTextEquals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    std::locale loc;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::toupper(a[i], loc) != std::toupper(b[i], loc)) return false;
    }
    return true;
}

void setString(json::object& obj, std::string_view key, const std::string& value) {
    obj[key] = json::string(value);
}

void setUInt32(json::object& obj, std::string_view key, const std::uint32_t& value) {
    obj[key] = static_cast<std::uint64_t>(value);
}

void setUInt64(json::object& obj, std::string_view key, const std::uint64_t& value) { obj[key] = value; }

void setOptionalUInt32(json::object& obj, std::string_view key, const std::optional<std::uint32_t>& value) {
    if (value) setUInt32(obj, key, *value);
}

void setOptionalUInt64(json::object& obj, std::string_view key, const std::optional<std::uint64_t>& value) {
    if (value) setUInt64(obj, key, *value);
}

void setOptionalString(json::object& obj, std::string_view key, const std::optional<std::string>& value) {
    if (value) setString(obj, key, *value);
}

void setOptionalDouble(json::object& obj, std::string_view key, const std::optional<double>& value) {
    if (value) obj[key] = finiteOrNull(*value);
}

void setOptionalInt32(json::object& obj, std::string_view key, const std::optional<std::int32_t>& value) {
    if (value) obj[key] = static_cast<std::int64_t>(*value);
}

void setOptionalBool(json::object& obj, std::string_view key, const std::optional<bool>& value) {
    if (value) obj[key] = *value;
}

json::array stringArray(const std::vector<std::string>& texts) {
    return arrayOf(texts, [](const std::string& text) { return json::value(text); });
}

json::value finiteOrNull(double number) {
    if (!std::isfinite(number)) return nullptr;
    return number;
}

json::value parseJson(std::string_view text) {
    static const json::parse_options options = [] {
        json::parse_options o;
        o.max_depth = 32;
        o.allow_comments = true;
        o.allow_trailing_commas = true;
        return o;
    }();
    json::error_code ec;
    json::value v = json::parse(text, ec, {}, options);
    if (ec) throw boost::system::system_error(ec);
    return v;
}

std::runtime_error invalidEnumerator(std::string_view text, std::string_view qualifiedTypeName) {
    std::string msg = "Invalid enumerator name '";
    msg.append(text);
    msg += "' for enum type '";
    msg += "enum ";
    msg.append(qualifiedTypeName);
    msg += "'";
    return std::runtime_error(msg);
}

}  // namespace trevask::measurement_library
