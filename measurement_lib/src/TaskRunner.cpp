#include "TaskRunner.h"

#include "ConcurrentTaskWrapper.h"
#include "QosCallbackHelper.h"
#include "QosControlConnection.h"
#include "helper/SentryHelper.h"
#include "helper/SysInfoCollector.h"
#include "model/TaskConfiguration.h"
#include "model/result/TaskResult.h"
#include "service/MeasurementExecutorSettings.h"
#include "tasks/BaseTask.h"

#include <Poco/Logger.h>
#include <Poco/ThreadPool.h>

#include <algorithm>
#include <mutex>

namespace trevask::measurement_library {

namespace {

// Serialises the collection of results across all runs of the process.
std::mutex& collectionLock() {
    static std::mutex lock;
    return lock;
}

std::uint32_t concurrencyGroupOf(const std::unique_ptr<BaseTask>& task) {
    if (!task || task->getConfiguration() == nullptr) return 0;
    return task->getConfiguration()->concurrency_group;
}

// A failing QoS progress listener must neither cost a task its run nor a
// result its collection: the failure is logged and reported here.
template <typename Publish>
void publishProgress(const std::string& taskName, Publish&& publish) {
    try {
        publish();
    } catch (const std::exception& e) {
        poco_error_f2(TaskRunner::logger(), "QoS progress update failed for task: %s\n%s", taskName,
                      std::string(e.what()));
        SentryHelper::captureException(e);
    } catch (...) {
        poco_error_f1(TaskRunner::logger(), "QoS progress update failed for task: %s\nnon exception thrown", taskName);
    }
}

}  // namespace

Poco::Logger& TaskRunner::logger() {
    static Poco::Logger& instance = Poco::Logger::get("TaskRunner");
    return instance;
}

TaskRunner::TaskRunner() : controlConnectionTimeout(QosControlConnection::kHandshakeTimeout) {}

TaskRunner::~TaskRunner() = default;

void TaskRunner::configure(MeasurementExecutorSettings* s) { settings = s; }

void TaskRunner::setTasks(std::vector<std::unique_ptr<BaseTask>> newTasks) { tasks = std::move(newTasks); }

void TaskRunner::setControlConnectionTimeout(std::chrono::nanoseconds timeout) { controlConnectionTimeout = timeout; }

std::string TaskRunner::tokenLine(const std::string& agentUuid) { return "TOKEN " + agentUuid + kTokenSuffix; }

std::vector<std::unique_ptr<TaskResult>> TaskRunner::run(SysInfoCollector& collector) {
    poco_information(logger(), "Starting run");
    // Every run is a concurrent one; the settings say so to their readers.
    if (settings) settings->runConcurrently = true;
    std::vector<std::unique_ptr<TaskResult>> results;
    QosCallbackHelper qosCallbackHelper;
    runConcurrently(results, qosCallbackHelper, collector);
    poco_information(logger(), "TestRunner run finished");
    poco_information(logger(), "Cleaning up after running tasks");
    return results;
}

void TaskRunner::runConcurrently(std::vector<std::unique_ptr<TaskResult>>& results,
                                 QosCallbackHelper& qosCallbackHelper, SysInfoCollector& collector) {
    std::sort(tasks.begin(), tasks.end(), [](const std::unique_ptr<BaseTask>& a, const std::unique_ptr<BaseTask>& b) {
        return concurrencyGroupOf(a) < concurrencyGroupOf(b);
    });

    const std::string token = tokenLine(settings ? settings->agentUuid : std::string());

    bool anyNeedsConnection = false;
    for (const auto& task : tasks) {
        if (!task) continue;
        if (task->needsControlConnection()) anyNeedsConnection = true;
        qosCallbackHelper.registerTask(task->name());
    }

    // Declared in this order so that, should anything leave early, the pool
    // (which waits for its jobs) goes first, then the jobs, then the connection.
    std::unique_ptr<QosControlConnection> connection;
    if (anyNeedsConnection) {
        connection = std::make_unique<QosControlConnection>(settings ? settings->qosServerHost : std::string(),
                                                            settings ? settings->qosServerPort : 0,
                                                            settings ? settings->qosServerTls : false, token,
                                                            handshakeBound());
    }
    std::vector<std::unique_ptr<ConcurrentTaskWrapper>> wrappers;
    Poco::ThreadPool pool(kPoolName, kPoolMinThreads, kPoolMaxThreads, kPoolIdleSeconds);

    publishProgress("(all)", [&] { qosCallbackHelper.notify(); });
    poco_information_f1(logger(), "#tasks: %s", std::to_string(tasks.size()));

    // The connection is tried once: a failed attempt is not repeated for
    // later tasks, whether or not it left a socket behind.
    bool connectAttempted = false;
    std::uint32_t currentGroup = 0;
    for (auto& task : tasks) {
        if (!task) continue;
        const std::string taskName = task->name();
        const std::uint32_t group = concurrencyGroupOf(task);
        if (group != currentGroup) {
            pool.joinAll();
            currentGroup = group;
            poco_information_f2(logger(), "starting tasks w/concurrency: %s, needs qos service: %s",
                                std::to_string(group), std::string(task->needsControlConnection() ? "yes" : "no"));
        }
        try {
            initializeTaskIfFirst(*task);
            if (task->needsControlConnection() && connection) {
                if (!connectAttempted && !connection->hasStream()) {
                    connectAttempted = true;
                    connection->connect();
                }
                task->setControlConnection(connection.get());
            }
            publishProgress(taskName, [&] { qosCallbackHelper.taskStarted(taskName); });
            collector.onTaskStarting(taskName);
            wrappers.push_back(std::make_unique<ConcurrentTaskWrapper>(
                task.get(), [this, taskName, &results, &qosCallbackHelper](std::unique_ptr<TaskResult> result) {
                    collectResult(taskName, std::move(result), results, qosCallbackHelper);
                }));
            pool.start(*wrappers.back());
        } catch (const std::exception& e) {
            poco_error_f2(logger(), "test failed for task: %s\n%s", taskName, std::string(e.what()));
            SentryHelper::captureException(e);
            // Skipped: no result, but it counts as ended for the QoS progress.
            collectResult(taskName, nullptr, results, qosCallbackHelper);
        } catch (...) {
            poco_error_f1(logger(), "test failed for task: %s\nnon exception thrown during test execution", taskName);
            collectResult(taskName, nullptr, results, qosCallbackHelper);
        }
    }

    poco_information_f1(logger(), "waiting for last tasks w/concurrency: %s", std::to_string(currentGroup));
    pool.joinAll();
    tearDownTasks();
    collector.applyInterfaceTraffic(results);
    wrappers.clear();
}

std::chrono::nanoseconds TaskRunner::handshakeBound() const {
    // The handshake runs on the runner's thread just before the first task
    // that needs it, so it adds to the run's length: it is held to that
    // task's time-out when that is shorter than the usual bound.
    for (const auto& task : tasks) {
        if (!task || !task->needsControlConnection()) continue;
        if (task->getConfiguration() == nullptr) break;
        try {
            const std::chrono::nanoseconds timeout{std::stoll(task->getConfiguration()->timeout)};
            if (timeout.count() > 0 && timeout < controlConnectionTimeout) return timeout;
        } catch (const std::exception&) {
            // That task fails on its own time-out text; the usual bound stays.
        }
        break;
    }
    return controlConnectionTimeout;
}

void TaskRunner::collectResult(const std::string& taskName, std::unique_ptr<TaskResult> result,
                               std::vector<std::unique_ptr<TaskResult>>& results,
                               QosCallbackHelper& qosCallbackHelper) {
    std::lock_guard lock(collectionLock());
    publishProgress(taskName, [&] { qosCallbackHelper.taskFinished(taskName); });
    if (!result) return;
    results.push_back(std::move(result));
    if (resultCallback) resultCallback(results.back().get());
}

void TaskRunner::initializeTaskIfFirst(BaseTask& task) {
    const std::string taskName = task.name();
    if (initializedTypes.count(taskName) != 0) return;
    initializedTypes.insert(taskName);
    try {
        task.initializeTaskType();
    } catch (const std::exception& e) {
        SentryHelper::captureException(e);
        poco_error_f2(logger(), "error in initializeTaskType of task: %s\n%s", taskName, std::string(e.what()));
    }
}

void TaskRunner::tearDownTasks() {
    for (auto& task : tasks) {
        if (!task) continue;
        const std::string taskName = task->name();
        if (initializedTypes.erase(taskName) == 0) continue;
        try {
            task->tearDownTaskType();
        } catch (const std::exception& e) {
            SentryHelper::captureException(e);
            poco_error_f2(logger(), "error in tearDownTaskType of task: %s\n%s", taskName, std::string(e.what()));
        } catch (...) {
            poco_error_f1(logger(), "error in tearDownTaskType of task: %s\nnon exception thrown", taskName);
        }
    }
}

}  // namespace trevask::measurement_library
