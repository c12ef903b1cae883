#pragma once
// Base of every measurement task. runTask() wraps the body (doRunTask) in a
// fixed frame: start log, control-connection check (a task that needs the
// connection needs one, and a QoS test UID made of digits only, the one form
// a reply of the QoS server can carry), timing on the monotonic clock,
// exceptions turned into a TaskStatus (and reported to the crash reporter),
// end log. fillResult() copies the members every result shares.

#include "tasks/CustomTask.h"
#include "tasks/TaskStatus.h"

#include <cstdint>
#include <memory>
#include <string>

namespace Poco {
class Logger;
}

namespace trevask::measurement_library {

class QosControlConnection;

// Payload of the task's progress notification: progress from 0 to 1.
struct TaskProgressEvent {
    float progress = 0;
};

class BaseTask : public CustomTask {
public:
    explicit BaseTask(const std::string& typeKey);
    // Frees neither the control connection nor the configuration.
    ~BaseTask() override;

    BaseTask(const BaseTask&) = delete;
    BaseTask& operator=(const BaseTask&) = delete;

    // The run frame; never throws.
    void runTask() override;
    void setConfiguration(TaskConfiguration* configuration) override;

    // Copies objective id, QoS test UID, concurrency group, type texts,
    // time-out, status, start time and duration into the result. A null
    // result is left alone. A UID or time-out text that is not a number
    // throws the standard conversion errors.
    void fillResult(TaskResult* result) const;
    // Sets the framework task's progress and posts a progress notification.
    void reportProgress(float progress);

    void setControlConnection(QosControlConnection* connection) { controlConnection = connection; }
    QosControlConnection* getControlConnection() const { return controlConnection; }
    TaskConfiguration* getConfiguration() const { return configuration; }
    TaskStatus getStatus() const { return status; }
    std::int64_t getStartTimeNs() const { return startTimeNs; }
    std::int64_t getDurationNs() const { return durationNs; }

    // Logs under the name "BaseTask".
    static Poco::Logger& logger();

protected:
    // The run's QoS control connection, set by the runner; not owned.
    QosControlConnection* controlConnection = nullptr;
    // Outcome; the body may decide it (ERROR, TIMEOUT), otherwise runTask does.
    TaskStatus status = TaskStatus::NotFinished;
    // Monotonic clock reading when the body started, nanoseconds.
    std::int64_t startTimeNs = 0;
    // Time from startTimeNs to the end of the body, exception handling included.
    std::int64_t durationNs = 0;
    // The task's parameters; not owned.
    TaskConfiguration* configuration = nullptr;

    // The configuration's QoS test UID, or an empty text without configuration.
    std::string qosTestUid() const;
    // The result status of a test with an outgoing and an incoming direction:
    // the outgoing outcome, else the incoming one, else "ERROR".
    static std::string directionalStatus(const std::string& out, const std::string& in);
};

}  // namespace trevask::measurement_library
