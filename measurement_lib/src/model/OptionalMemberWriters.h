#pragma once
// Writers for optional members of request records: each sets obj[key] when
// the optional holds a value and leaves the object untouched otherwise.

#include "model/JsonMembers.h"  // setOptionalDouble, setOptionalInt32

#include <boost/json/fwd.hpp>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace trevask::measurement_library {

// A JSON object whose members follow the map's key order, each value a text.
void setOptionalTextMap(boost::json::object& obj, std::string_view key,
                        const std::optional<std::map<std::string, std::string>>& value);

}  // namespace trevask::measurement_library
