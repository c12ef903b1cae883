#pragma once
// Helpers of the task tests: a QoS test server with a connected control
// connection, a run of one task through its frame with what it printed, and
// small conversions.

#include "QosControlConnection.h"
#include "QosServer.h"
#include "model/result/TaskResult.h"
#include "tasks/BaseTask.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>

namespace task_test {

using namespace trevask::measurement_library;

constexpr const char* kAgentUuid = "5d1c3a7e-0000-4000-8000-00000000abcd";

inline std::string nanos(std::chrono::milliseconds ms) {
    return std::to_string(std::chrono::duration_cast<std::chrono::nanoseconds>(ms).count());
}

// A started QoS test server and the run's control connection to it.
struct QosPeer {
    explicit QosPeer(lumivex::test_peers::QosServerOptions options = {}) : server(options) {
        server.start();
        const std::string host = options.bindAddress;
        control = std::make_unique<QosControlConnection>(host, server.controlPort(), false, "TOKEN test-agent",
                                                         std::chrono::seconds(2));
        if (!control->connect()) throw std::runtime_error("control connection failed");
    }

    // Control lines the server read after the handshake (token and time-out request).
    std::vector<std::string> commands() const {
        auto lines = server.controlLines();
        return lines.size() > 2 ? std::vector<std::string>(lines.begin() + 2, lines.end()) : std::vector<std::string>{};
    }

    lumivex::test_peers::QosServer server;
    std::unique_ptr<QosControlConnection> control;
};

// What one run of a task through its frame gave.
struct Outcome {
    TaskStatus status = TaskStatus::NotFinished;
    std::string printed;                  // what the frame wrote to standard output
    std::unique_ptr<TaskResult> result;   // none when createResult gave none or failed
    std::string resultFailure;            // what createResult threw, if it did
    std::chrono::milliseconds took{0};

    template <typename R>
    const R& as() const {
        auto* typed = dynamic_cast<const R*>(result.get());
        if (typed == nullptr) throw std::runtime_error("no result of the expected kind");
        return *typed;
    }
};

inline Outcome runTask(BaseTask& task, QosControlConnection* control = nullptr) {
    task.setControlConnection(control);
    Outcome outcome;
    const auto begin = std::chrono::steady_clock::now();
    testing::internal::CaptureStdout();
    task.runTask();
    outcome.printed = testing::internal::GetCapturedStdout();
    outcome.took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begin);
    outcome.status = task.getStatus();
    try {
        outcome.result = task.createResult();
    } catch (const std::exception& e) {
        outcome.resultFailure = e.what();
    }
    return outcome;
}

}  // namespace task_test
