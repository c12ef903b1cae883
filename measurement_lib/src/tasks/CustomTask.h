#pragma once
// The framework task with the operations every measurement task offers the
// task runner. The framework task's name is the task kind's type key
// ("TCP", "UDP", "DNS", "NATIVE_VELA", ...); the runner and the QoS progress
// tracking key on it.

#include <Poco/Notification.h>
#include <Poco/Task.h>

#include <memory>
#include <string>

namespace trevask::measurement_library {

struct TaskConfiguration;
struct TaskResult;

class CustomTask : public Poco::Task {
public:
    explicit CustomTask(const std::string& typeKey) : Poco::Task(typeKey) {}
    ~CustomTask() override = default;

    // Stores the task's parameters; their owner keeps them alive.
    virtual void setConfiguration(TaskConfiguration* configuration) = 0;
    // The task body.
    virtual void doRunTask() = 0;
    // Process-wide set-up, once per type key and run, before the first task
    // of that key starts.
    virtual void initializeTaskType() {}
    // The counterpart of initializeTaskType, once at the end of the run.
    virtual void tearDownTaskType() {}
    // Builds the kind's result record from the finished task.
    virtual std::unique_ptr<TaskResult> createResult() = 0;
    // True for tasks that talk to the QoS server over the control connection.
    virtual bool needsControlConnection() const { return false; }

protected:
    // Hands the notification to the owning task manager; without an owner
    // (the runner uses none) it is released at once. The framework's own
    // version keeps it when there is no owner, which would leak every
    // progress notification.
    void postNotification(Poco::Notification* notification) override {
        if (notification == nullptr) return;
        if (getOwner() != nullptr)
            Poco::Task::postNotification(notification);
        else
            notification->release();
    }
};

}  // namespace trevask::measurement_library
