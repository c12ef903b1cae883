#pragma once
// The QoS test server with the run's control connection (as the task runner
// would hand it to a task) of the connection tests, and what a task run left
// behind.

#include <chrono>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "QosPeerSupport.h"
#include "tasks/BaseTask.h"

namespace voice_test {

using qos_test::ServerWithControl;

// One run of a task: its status, how long runTask() took and its result
// record of the kind `Result`.
template <typename Result>
struct TaskRun {
    std::unique_ptr<Result> result;
    std::chrono::milliseconds took{0};
    trevask::measurement_library::TaskStatus status = trevask::measurement_library::TaskStatus::NotFinished;
    // Set when createResult failed (the runner then keeps no result).
    std::string resultError;

    // Runs the task as the runner does and keeps what it left.
    void collect(trevask::measurement_library::BaseTask& task) {
        const auto begin = std::chrono::steady_clock::now();
        task.runTask();
        took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begin);
        status = task.getStatus();
        try {
            auto base = task.createResult();
            result.reset(dynamic_cast<Result*>(base.release()));
        } catch (const std::exception& e) {
            resultError = e.what();
        }
    }
};

}  // namespace voice_test
