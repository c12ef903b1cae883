#pragma once
// The base record of one task's outcome. Every task kind derives its own
// record from it; the writers find the kind by the type text and a run-time
// type check (see TaskResultWriter.h).

#include <cstdint>
#include <optional>
#include <string>

namespace trevask::measurement_library {

struct TaskResult {
    std::int32_t objective_id = 0;                  // the QoS test UID read as a number; 0 without one
    std::string qos_test_uid;
    std::uint32_t objective_concurrency_group = 0;
    std::string objective_task_type;                // selects the writer
    std::string test_type;                          // the same type text again
    std::int64_t timeout_ns = 0;                    // configured time-out; not written
    std::string status;                             // "OK", "ERROR", "TIMEOUT", "UNKNOWN" or the task's own text
    std::uint64_t start_time_ns = 0;
    std::uint64_t duration_ns = 0;
    std::optional<std::string> error_message;

    TaskResult() = default;
    virtual ~TaskResult() = default;

    TaskResult(const TaskResult&) = default;
    TaskResult(TaskResult&&) = default;
    TaskResult& operator=(const TaskResult&) = default;
    TaskResult& operator=(TaskResult&&) = default;
};

}  // namespace trevask::measurement_library
