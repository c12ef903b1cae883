#pragma once
// A running QoS test server with the run's control connection, as the task
// runner would hand it to a task, and what a task run left behind.

#include <chrono>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "QosControlConnection.h"
#include "QosServer.h"
#include "tasks/BaseTask.h"

namespace voice_test {

struct ServerWithControl {
    explicit ServerWithControl(lumivex::test_peers::QosServerOptions options = {}) : server(options) {
        server.start();
        control = std::make_unique<trevask::measurement_library::QosControlConnection>(
            "127.0.0.1", server.controlPort(), options.tls, "TOKEN test-agent", std::chrono::seconds(2));
        connected = control->connect();
    }

    // Control lines the server read that start with the prefix.
    std::vector<std::string> commandsStartingWith(const std::string& prefix) const {
        std::vector<std::string> found;
        for (const auto& line : server.controlLines())
            if (line.rfind(prefix, 0) == 0) found.push_back(line);
        return found;
    }

    lumivex::test_peers::QosServer server;
    std::unique_ptr<trevask::measurement_library::QosControlConnection> control;
    bool connected = false;
};

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
