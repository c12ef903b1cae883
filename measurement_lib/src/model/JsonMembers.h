#pragma once
// Member readers and writers shared by every record of the measurement
// library. Required members throw on a wrong kind; optional members absorb
// every failure and end up without a value. See JsonMembers.cpp for the rules.

#include <boost/json/fwd.hpp>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

namespace trevask::measurement_library {

// --- required members: absent key leaves the target unchanged -------------
void readString(const boost::json::object& obj, const char* key, std::string& target);
void readBool(const boost::json::object& obj, const char* key, bool& target);

// Exact number conversion; throws boost::system::system_error "not a number"
// or "not exact".
void readNumber(const boost::json::object& obj, const char* key, std::uint16_t& target);
void readNumber(const boost::json::object& obj, const char* key, std::int32_t& target);
void readNumber(const boost::json::object& obj, const char* key, std::uint32_t& target);
void readNumber(const boost::json::object& obj, const char* key, std::int64_t& target);
void readNumber(const boost::json::object& obj, const char* key, std::uint64_t& target);
void readNumber(const boost::json::object& obj, const char* key, float& target);
void readNumber(const boost::json::object& obj, const char* key, double& target);

// --- optional members: absent, null or any failure gives no value ----------
void readOptionalString(const boost::json::object& obj, const char* key, std::optional<std::string>& target);
void readOptionalInt(const boost::json::object& obj, const char* key, std::optional<std::int32_t>& target);
void readOptionalDouble(const boost::json::object& obj, const char* key, std::optional<double>& target);
void readOptionalUint64(const boost::json::object& obj, const char* key, std::optional<std::uint64_t>& target);
void readOptionalBool(const boost::json::object& obj, const char* key, std::optional<bool>& target);

// The kind selector text of a record: a value only when `value` is an object
// holding `key` as a string. Never throws.
std::optional<std::string> readTypeText(const boost::json::value& value, const char* key);

// Record readers start with this: throws std::invalid_argument "not an object".
const boost::json::object& requireObject(const boost::json::value& value);
// List members: throws std::invalid_argument "array required".
const boost::json::array& requireArray(const boost::json::value& value);

// A list member: an absent key leaves the target unchanged; otherwise the
// member must be an array and its elements are read, in array order, by
// `readElement` (JSON value -> element) into a new list that then replaces
// the target. A failing element leaves the target as it was.
template <typename T, typename ReadElement>
void readList(const boost::json::object& obj, const char* key, std::vector<T>& target, ReadElement&& readElement) {
    auto it = obj.find(key);
    if (it == obj.end()) return;
    const auto& array = requireArray(it->value());
    std::vector<T> list;
    list.reserve(array.size());
    for (const auto& element : array) list.push_back(readElement(element));
    target = std::move(list);
}

// A list of texts, read as readList does; an element that is no string
// throws std::invalid_argument "not a string".
void readStringList(const boost::json::object& obj, const char* key, std::vector<std::string>& target);

// Case-insensitive equality of kind names (same length, equal after
// upper-casing each character with the global locale).
bool typeTextEquals(std::string_view a, std::string_view b);

// --- writers: insert at the end or replace in place -------------------------
void setString(boost::json::object& obj, std::string_view key, const std::string& value);
void setUInt32(boost::json::object& obj, std::string_view key, const std::uint32_t& value);
void setUInt64(boost::json::object& obj, std::string_view key, const std::uint64_t& value);
void setOptionalUInt32(boost::json::object& obj, std::string_view key, const std::optional<std::uint32_t>& value);
void setOptionalUInt64(boost::json::object& obj, std::string_view key, const std::optional<std::uint64_t>& value);
void setOptionalString(boost::json::object& obj, std::string_view key, const std::optional<std::string>& value);
// NaN and infinities are written as null (see finiteOrNull).
void setOptionalDouble(boost::json::object& obj, std::string_view key, const std::optional<double>& value);
void setOptionalInt32(boost::json::object& obj, std::string_view key, const std::optional<std::int32_t>& value);
void setOptionalBool(boost::json::object& obj, std::string_view key, const std::optional<bool>& value);

// A JSON array of writer(item) for every item, in order.
template <typename Container, typename Writer>
boost::json::array arrayOf(const Container& items, Writer writer) {
    boost::json::array array;
    array.reserve(items.size());
    for (const auto& item : items) array.emplace_back(writer(item));
    return array;
}

// A JSON array of the texts, in order.
boost::json::array stringArray(const std::vector<std::string>& texts);

// A floating-point figure as a JSON number, or null when it is NaN or
// infinite: the serializer would spell those as NaN or Infinity, which no
// JSON reader accepts, and the collector would refuse the whole report.
boost::json::value finiteOrNull(double number);

// Parses a JSON text with the process-wide options of the back-end records:
// nesting depth at most 32, comments and trailing commas accepted. Throws
// boost::system::system_error on a syntax error.
boost::json::value parseJson(std::string_view text);

// --- enumerations ------------------------------------------------------------
// The error of an enumeration text that matches no enumerator.
std::runtime_error invalidEnumerator(std::string_view text, std::string_view qualifiedTypeName);

// Reads an enumeration member written as the exact text of its enumerator.
// `names` lists the enumerator texts in declaration order, starting at 0.
template <typename Enum, std::size_t N>
Enum readEnumText(const boost::json::value& value, const char* const (&names)[N], std::string_view qualifiedTypeName) {
    if (!value.is_string()) throw std::invalid_argument("not a string");
    std::string_view text = value.get_string();
    for (std::size_t i = 0; i < N; ++i) {
        if (text == names[i]) return static_cast<Enum>(i);
    }
    throw invalidEnumerator(text, qualifiedTypeName);
}

template <typename Enum, std::size_t N>
const char* enumText(Enum e, const char* const (&names)[N]) {
    auto i = static_cast<std::size_t>(e);
    return i < N ? names[i] : "(unnamed)";
}

}  // namespace trevask::measurement_library
