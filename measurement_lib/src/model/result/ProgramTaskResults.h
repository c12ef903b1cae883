#pragma once
// Results of the program task and of the Ookla speedtest command-line client.

#include "model/result/TaskResult.h"

#include <boost/json/fwd.hpp>

#include <memory>
#include <string>

namespace trevask::measurement_library {

struct ProgramTaskResult : TaskResult {
    std::string task_name;  // the configuration's "taskName"
    std::string result;
    std::string output;
};

struct OoklaSpeedtestCliTaskResult : TaskResult {
    // The JSON document the client printed; may be missing.
    std::unique_ptr<std::string> ookla_speedtest_cli_result;
};

void ProgramTaskResultWriter(boost::json::value& value, const ProgramTaskResult& result);
void OoklaSpeedtestCliTaskResultWriter(boost::json::value& value, const OoklaSpeedtestCliTaskResult& result);

}  // namespace trevask::measurement_library
