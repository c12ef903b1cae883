#pragma once
// Shared first steps of every task configuration kind's reader (internal to
// the model's sources).

#include "model/JsonMembers.h"
#include "model/TaskConfiguration.h"

#include <memory>

namespace trevask::measurement_library::detail {

// Requires an object (before anything is allocated), creates the kind with
// its defaults and reads the common members. The caller reads the kind's own
// members from `obj`; if that raises, the record is released with the pointer.
template <typename Kind>
std::unique_ptr<Kind> startTaskConfiguration(const boost::json::value& value, const boost::json::object*& obj,
                                             bool readHost = true) {
    obj = &requireObject(value);
    auto config = std::make_unique<Kind>();
    readTaskConfigurationBase(*obj, *config, readHost);
    return config;
}

}  // namespace trevask::measurement_library::detail
