#pragma once
// The pool job that runs one task of a run: the task frame, the result, and
// the hand-over of the result to the run's collection.

#include <Poco/Runnable.h>

#include <functional>
#include <memory>

namespace Poco {
class Logger;
}

namespace trevask::measurement_library {

class BaseTask;
struct TaskResult;

class ConcurrentTaskWrapper : public Poco::Runnable {
public:
    // Receives the task's result; a null result means the task delivered
    // none (creating or handing over its result failed).
    using FinishedHandler = std::function<void(std::unique_ptr<TaskResult>)>;

    ConcurrentTaskWrapper(BaseTask* task, FinishedHandler onFinished);
    ~ConcurrentTaskWrapper() override;

    // runTask, createResult, then onFinished with the result. Failures of
    // the result are logged and reported; onFinished is then told that the
    // task ended without a result, so progress still counts it.
    void run() override;

    // Logs under the name "ConcurrentTaskWrapper".
    static Poco::Logger& logger();

private:
    BaseTask* task;  // not owned
    FinishedHandler onFinished;
};

}  // namespace trevask::measurement_library
