#include "model/LmapOptionDto.h"

#include "model/JsonMembers.h"

namespace json = boost::json;

namespace trevask::measurement_library {

void LmapOptionDtoReader(const json::value& value, LmapOptionDto& option) {
    const json::object& obj = requireObject(value);
    readString(obj, "name", option.name);
    readString(obj, "value", option.value);
    auto it = obj.find("measurement_parameters");
    if (it == obj.end()) return;
    option.measurement_parameters.reset();
    if (it->value().is_null()) return;
    try {
        option.measurement_parameters = readMeasurementTypeParameters(it->value());
    } catch (const std::exception&) {
        // The parameters are optional: a defect in them costs only them.
    }
}

json::object LmapOptionDtoWriter(const LmapOptionDto& option) {
    json::object obj;
    setString(obj, "name", option.name);
    setString(obj, "value", option.value);
    obj["measurement_parameters"] = nullptr;
    return obj;
}

}  // namespace trevask::measurement_library
