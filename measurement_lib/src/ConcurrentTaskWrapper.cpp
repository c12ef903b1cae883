#include "ConcurrentTaskWrapper.h"

#include "helper/SentryHelper.h"
#include "model/result/TaskResult.h"
#include "tasks/BaseTask.h"

#include <Poco/Logger.h>

namespace trevask::measurement_library {

Poco::Logger& ConcurrentTaskWrapper::logger() {
    static Poco::Logger& instance = Poco::Logger::get("ConcurrentTaskWrapper");
    return instance;
}

ConcurrentTaskWrapper::ConcurrentTaskWrapper(BaseTask* task, FinishedHandler onFinished)
    : task(task), onFinished(std::move(onFinished)) {}

ConcurrentTaskWrapper::~ConcurrentTaskWrapper() = default;

void ConcurrentTaskWrapper::run() {
    if (task == nullptr) return;
    bool delivered = false;
    try {
        task->runTask();
        std::unique_ptr<TaskResult> result = task->createResult();
        delivered = true;
        if (onFinished) onFinished(std::move(result));
        return;
    } catch (const std::exception& e) {
        poco_error_f2(logger(), "test failed for task: %s\n%s", task->name(), std::string(e.what()));
        SentryHelper::captureException(e);
    } catch (...) {
        poco_error_f1(logger(), "test failed for task: %s\nnon exception thrown during test execution", task->name());
    }
    // The task has ended without a result: let the run count it as finished.
    if (!delivered && onFinished) {
        try {
            onFinished(nullptr);
        } catch (const std::exception& e) {
            poco_error_f2(logger(), "test failed for task: %s\n%s", task->name(), std::string(e.what()));
            SentryHelper::captureException(e);
        } catch (...) {
            poco_error_f1(logger(), "test failed for task: %s\nnon exception thrown during test execution",
                          task->name());
        }
    }
}

}  // namespace trevask::measurement_library
