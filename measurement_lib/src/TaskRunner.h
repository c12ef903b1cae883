#pragma once
// Runs the tasks of one measurement: orders them by concurrency group, runs
// each group's tasks together on the "TaskRunnerPool" thread pool and waits
// for all of them before the next group starts, opens the run's QoS control
// connection lazily (once, when the first task needs it), collects every
// result in completion order under one process-wide lock, and feeds the QoS
// progress tracking and the system-information collector.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace Poco {
class Logger;
}

namespace trevask::measurement_library {

class BaseTask;
class QosCallbackHelper;
class SysInfoCollector;
struct MeasurementExecutorSettings;
struct TaskResult;

class TaskRunner {
public:
    // Figures of the run's thread pool.
    static constexpr const char* kPoolName = "TaskRunnerPool";
    static constexpr int kPoolMinThreads = 20;
    static constexpr int kPoolMaxThreads = 256;
    static constexpr int kPoolIdleSeconds = 30;

    // Fixed part of the control connection's token line after the agent UUID.
    static constexpr const char* kTokenSuffix = "_1672531200_Zq7pRt3MvK9sLw2XyN8cHd5FgJa\\u003d";

    TaskRunner();
    ~TaskRunner();

    TaskRunner(const TaskRunner&) = delete;
    TaskRunner& operator=(const TaskRunner&) = delete;

    // Stores the settings (agent UUID, QoS server host, port and TLS switch).
    void configure(MeasurementExecutorSettings* settings);
    // Takes the tasks; tasks held before are destroyed.
    void setTasks(std::vector<std::unique_ptr<BaseTask>> tasks);
    // Bound of the control connection's whole handshake; a server that
    // cannot be reached holds the runner's thread no longer than this.
    void setControlConnectionTimeout(std::chrono::nanoseconds timeout);

    // Runs all tasks and returns their results in collection order. Blocks
    // until the last task has finished.
    std::vector<std::unique_ptr<TaskResult>> run(SysInfoCollector& collector);

    // "TOKEN <agent UUID>" followed by the fixed suffix.
    static std::string tokenLine(const std::string& agentUuid);

    // Called once for each collected result, under the collection lock, on
    // the pool thread of the finished task. Assign before run.
    std::function<void(TaskResult*)> resultCallback;

    // Logs under the name "TaskRunner".
    static Poco::Logger& logger();

private:
    void runConcurrently(std::vector<std::unique_ptr<TaskResult>>& results, QosCallbackHelper& qosCallbackHelper,
                         SysInfoCollector& collector);
    void initializeTaskIfFirst(BaseTask& task);
    // Bound of the control connection's handshake for this run.
    std::chrono::nanoseconds handshakeBound() const;
    void tearDownTasks();
    // Counts the task as finished for the QoS progress (under its framework
    // name, the key it was registered under) and appends its result, if it
    // delivered one, then reports it.
    void collectResult(const std::string& taskName, std::unique_ptr<TaskResult> result,
                       std::vector<std::unique_ptr<TaskResult>>& results, QosCallbackHelper& qosCallbackHelper);

    std::vector<std::unique_ptr<BaseTask>> tasks;
    std::set<std::string> initializedTypes;
    MeasurementExecutorSettings* settings = nullptr;
    std::chrono::nanoseconds controlConnectionTimeout;
};

}  // namespace trevask::measurement_library
