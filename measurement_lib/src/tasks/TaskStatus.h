#pragma once
// Outcome of a task and of its result record.

#include <cstdint>
#include <string>

namespace trevask::measurement_library {

// Stored as a 32-bit signed value; values other than the four below may be
// carried (and are reported as "UNKNOWN").
enum class TaskStatus : std::int32_t {
    Ok = 0,
    Error = 1,
    Timeout = 2,
    NotFinished = 3,  // the value a task starts with
};

// "OK", "ERROR", "TIMEOUT"; every other value gives "UNKNOWN".
inline std::string taskStatusToString(TaskStatus status) {
    switch (status) {
        case TaskStatus::Ok: return "OK";
        case TaskStatus::Error: return "ERROR";
        case TaskStatus::Timeout: return "TIMEOUT";
        default: return "UNKNOWN";
    }
}

}  // namespace trevask::measurement_library
