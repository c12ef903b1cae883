#pragma once
// Small helpers shared by the task result writers (not part of the public
// surface of the result records).

#include "model/JsonMembers.h"
#include "model/result/TaskResultWriter.h"

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace trevask::measurement_library::result_writing {

// Turns the value into an empty object, keeping its memory resource.
inline boost::json::object& makeObject(boost::json::value& value) { return value.emplace_object(); }

inline void setSigned(boost::json::object& obj, std::string_view key, std::int64_t v) { obj[key] = v; }
inline void setUnsigned(boost::json::object& obj, std::string_view key, std::uint64_t v) { obj[key] = v; }
inline void setDouble(boost::json::object& obj, std::string_view key, double v) { obj[key] = v; }
inline void setBool(boost::json::object& obj, std::string_view key, bool v) { obj[key] = v; }

// A JSON array of `items`, each element filled by `writer`, with the
// object's memory resource.
template <typename Container, typename Writer>
void setArray(boost::json::object& obj, std::string_view key, const Container& items, Writer writer) {
    boost::json::array arr(obj.storage());
    arr.reserve(items.size());
    for (const auto& item : items) {
        boost::json::value& element = arr.emplace_back(nullptr);
        writer(element, item);
    }
    obj[key] = std::move(arr);
}

// Embeds an owned JSON text under `key`: null when there is no text; the
// parsed document otherwise (strict parse, depth at most 32); null and one
// line "Error during JSON parse: <reason>" on standard output when the text
// does not parse. The key is written in every case.
void setEmbeddedDocument(boost::json::object& obj, std::string_view key, const std::unique_ptr<std::string>& text);

}  // namespace trevask::measurement_library::result_writing
