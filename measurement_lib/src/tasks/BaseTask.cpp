#include "tasks/BaseTask.h"

#include "helper/ConsoleOutput.h"
#include "helper/SentryHelper.h"
#include "model/TaskConfiguration.h"
#include "model/result/TaskResult.h"
#include "tasks/StandardConversions.h"
#include "tasks/TaskClock.h"
#include "tasks/TaskException.h"

#include <Poco/Logger.h>
#include <Poco/TaskNotification.h>

#include <algorithm>
#include <chrono>

namespace trevask::measurement_library {

namespace {

// The QoS server's replies carry the request's id as a run of decimal digits
// (possibly empty) after " +ID"; a UID with any other character can never be
// matched to its reply.
bool isReplyableUid(const std::string& uid) {
    return std::all_of(uid.begin(), uid.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The progress notification owns its event and frees it when released.
class TaskProgressNotification : public Poco::TaskCustomNotification<TaskProgressEvent*> {
public:
    TaskProgressNotification(Poco::Task* task, TaskProgressEvent* event)
        : Poco::TaskCustomNotification<TaskProgressEvent*>(task, event) {}

protected:
    ~TaskProgressNotification() override { delete custom(); }
};

}  // namespace

Poco::Logger& BaseTask::logger() {
    static Poco::Logger& instance = Poco::Logger::get("BaseTask");
    return instance;
}

BaseTask::BaseTask(const std::string& typeKey) : CustomTask(typeKey) {}

BaseTask::~BaseTask() = default;

void BaseTask::setConfiguration(TaskConfiguration* config) { configuration = config; }

std::string BaseTask::qosTestUid() const { return configuration ? configuration->qos_test_uid : std::string(); }

std::string BaseTask::directionalStatus(const std::string& out, const std::string& in) {
    if (!out.empty()) return out;
    if (!in.empty()) return in;
    return "ERROR";
}

void BaseTask::runTask() {
    if (logger().information()) {
        poco_information_f2(logger(), "Starting task %s (id: %s)", name(), qosTestUid());
    }
    reportProgress(0.0f);
    startTimeNs = monotonicNowNs();
    try {
        if (needsControlConnection() && controlConnection == nullptr) {
            TaskException missing("No QoS control connection set for task " + name() + ", uid: " + qosTestUid());
            SentryHelper::captureException(missing);
            throw missing;
        }
        // Fails at once instead of waiting out the time-out for a reply that
        // cannot be matched.
        if (needsControlConnection() && !isReplyableUid(qosTestUid())) {
            throw TaskException("QoS test UID '" + qosTestUid() + "' of task " + name() +
                                " is not a run of decimal digits: no reply of the QoS server can carry it");
        }
        doRunTask();
    } catch (const TaskTimeoutException& e) {
        printLine(std::string("TaskTimeoutException ") + e.what());
        status = TaskStatus::Timeout;
    } catch (const TaskException& e) {
        printLine(std::string("TaskException ") + e.what());
        status = TaskStatus::Error;
        SentryHelper::captureException(e);
    } catch (const std::exception& e) {
        printLine(std::string("std::exception ") + e.what());
        status = TaskStatus::Error;
        SentryHelper::captureException(e);
    } catch (...) {
        printLine("... (unknown error) ");
        status = TaskStatus::Error;
    }
    if (status == TaskStatus::NotFinished) status = TaskStatus::Ok;
    durationNs = monotonicNowNs() - startTimeNs;
    reportProgress(1.0f);
    if (logger().information()) {
        const auto tookMs = static_cast<std::uint64_t>(durationNs) / 1000000u;
        poco_information_f4(logger(), "Task %s (id: %s) took %?d ms, status/error: %s", name(), qosTestUid(), tookMs,
                            taskStatusToString(status));
    }
}

void BaseTask::fillResult(TaskResult* result) const {
    if (result == nullptr) return;
    if (configuration != nullptr) {
        const std::string& uid = configuration->qos_test_uid;
        if (!uid.empty()) {
            result->objective_id = parseStoi(uid);
            result->qos_test_uid = uid;
        }
        result->objective_concurrency_group = configuration->concurrency_group;
        result->objective_task_type = configuration->qostest;
        result->test_type = configuration->qostest;
        if (!configuration->timeout.empty()) result->timeout_ns = parseStoll(configuration->timeout);
    }
    result->status = taskStatusToString(status);
    result->start_time_ns = static_cast<std::uint64_t>(startTimeNs);
    result->duration_ns = static_cast<std::uint64_t>(durationNs);
}

void BaseTask::reportProgress(float progress) {
    setProgress(progress);
    // Without an owning task manager the framework releases it at once.
    postNotification(new TaskProgressNotification(this, new TaskProgressEvent{progress}));
}

}  // namespace trevask::measurement_library
