#pragma once
// Helpers shared by the report and sub-result tests.

#include "model/result/TaskResult.h"
#include "model/result/TaskResultWriter.h"

#include <boost/json.hpp>

#include <string>

namespace lmap_test {

// The JSON text that the task result writer makes of the record.
inline std::string taskResultText(const trevask::measurement_library::TaskResult* result) {
    boost::json::value value;
    trevask::measurement_library::TaskResultWriter(value, result);
    return boost::json::serialize(value);
}

}  // namespace lmap_test
