#pragma once
// Results that carry the output of an outside measurement program: a
// measurement-kit report, a command's output, an embedded Ookla report.

#include "model/result/TaskResult.h"

#include <boost/json/fwd.hpp>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace trevask::measurement_library {

// One record for every type text that begins with "MKIT_".
struct BaseMeasurementKitResult : TaskResult {
    std::unique_ptr<std::string> mkit_result;  // JSON document; may be missing
    std::optional<std::string> mkit_status;
};

struct CommandLineTaskResult : TaskResult {
    std::string result_string;
    std::string error_string;
    std::int32_t exit_code = 0;
};

struct OoklaSpeedtestEmbeddedTaskResult : TaskResult {
    std::unique_ptr<std::string> ookla_speedtest_embedded_result;  // JSON document; may be missing
};

void MeasurementKitResultWriter(boost::json::value& value, const BaseMeasurementKitResult& result);
void CommandLineTaskResultWriter(boost::json::value& value, const CommandLineTaskResult& result);
void OoklaSpeedtestEmbeddedTaskResultWriter(boost::json::value& value, const OoklaSpeedtestEmbeddedTaskResult& result);

}  // namespace trevask::measurement_library
