#include "model/OptionalMemberWriters.h"

#include "model/JsonMembers.h"

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

namespace trevask::measurement_library {

void setOptionalTextMap(boost::json::object& obj, std::string_view key,
                        const std::optional<std::map<std::string, std::string>>& value) {
    if (!value) return;
    boost::json::object members;
    for (const auto& [name, text] : *value) members[name] = text;
    obj[key] = std::move(members);
}

}  // namespace trevask::measurement_library
