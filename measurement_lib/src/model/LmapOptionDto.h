#pragma once
// One name/value option of an LMAP task or action.

#include <boost/json/fwd.hpp>

#include <string>

namespace trevask::measurement_library {

// The option's measurement parameters ("measurement_parameters") join this
// record together with the measurement-type parameter records; until then the
// reader skips them and the writer writes null, as it always does.
struct LmapOptionDto {
    std::string name;
    std::string value;
};

// The value must be an object ("not an object"); "name" and "value" are texts.
void LmapOptionDtoReader(const boost::json::value& value, LmapOptionDto& option);
// {"name", "value", "measurement_parameters": null}
boost::json::object LmapOptionDtoWriter(const LmapOptionDto& option);

}  // namespace trevask::measurement_library
