#pragma once
// One name/value option of an LMAP task or action.

#include "model/MeasurementTypeParameters.h"

#include <boost/json/fwd.hpp>

#include <memory>
#include <string>

namespace trevask::measurement_library {

struct LmapOptionDto {
    std::string name;
    std::string value;
    // Read when present and not null; any failure inside leaves it empty.
    // Always written as null.
    std::unique_ptr<MeasurementTypeParameters> measurement_parameters;
};

// The value must be an object ("not an object"); "name" and "value" are texts.
void LmapOptionDtoReader(const boost::json::value& value, LmapOptionDto& option);
// {"name", "value", "measurement_parameters": null}
boost::json::object LmapOptionDtoWriter(const LmapOptionDto& option);

}  // namespace trevask::measurement_library
