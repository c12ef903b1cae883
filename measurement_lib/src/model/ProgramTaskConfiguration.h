#pragma once
// Task configuration of an external program run by the program task.

#include "model/TaskConfiguration.h"

#include <boost/json/fwd.hpp>

#include <memory>
#include <string>

namespace trevask::measurement_library {

struct ProgramTaskConfiguration : TaskConfiguration {
    std::string taskName;   // "taskName": the LMAP task name when the executor builds it
    std::string program;    // "program"
    std::string arguments;  // "arguments"
};

std::unique_ptr<ProgramTaskConfiguration> readProgramTaskConfiguration(const boost::json::value& value);

}  // namespace trevask::measurement_library
