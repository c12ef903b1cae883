#include "tasks/NonTransparentProxyTask.h"

#include "QosControlConnection.h"
#include "TcpConnection.h"
#include "model/QosTaskConfigurations.h"
#include "model/result/ConnectivityTaskResults.h"
#include "tasks/StandardConversions.h"
#include "tasks/TaskClock.h"
#include "tasks/TaskException.h"
#include "tasks/TcpTask.h"

#include <Poco/Logger.h>

#include <chrono>

namespace trevask::measurement_library {

namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

Poco::Logger& NonTransparentProxyTask::logger() {
    static Poco::Logger& instance = Poco::Logger::get("NonTransparentProxyTask");
    return instance;
}

NonTransparentProxyTask::NonTransparentProxyTask() : BaseTask(kTypeKey) {}

std::unique_ptr<BaseTask> NonTransparentProxyTask::create(TaskConfiguration* configuration) {
    auto task = std::make_unique<NonTransparentProxyTask>();
    task->setConfiguration(configuration);
    return task;
}

bool NonTransparentProxyTask::accepts(TaskConfiguration* configuration) {
    return dynamic_cast<NonTransparentProxyTaskConfiguration*>(configuration) != nullptr;
}

void NonTransparentProxyTask::doRunTask() {
    if (configuration == nullptr) throw TaskException("No configuration provided");
    auto* config = dynamic_cast<NonTransparentProxyTaskConfiguration*>(configuration);
    if (config == nullptr) throw TaskException("Configuration is not a Non Transparent Proxy Task configuration");
    if (config->port.empty()) throw TaskException("port is not configured");

    const auto begin = Clock::now();
    auto wait = std::make_shared<ReplyWaitState>();
    std::unique_lock lock(wait->mutex);
    controlConnection->sendRequest("NTPTEST " + config->port, config->qos_test_uid, okReplyHandler(wait));

    const std::chrono::nanoseconds timeout{parseStoll(config->timeout)};
    const auto deadline = taskDeadline(begin, timeout);
    if (!wait->received && timeout.count() > 0) {
        wait->replied.wait_until(lock, deadline, [&] { return wait->received; });
    }
    if (!wait->received) throw TaskTimeoutException("Timeout waiting for QoS server result");
    const bool consented = wait->ok;
    lock.unlock();
    if (!consented) {
        status = TaskStatus::Error;
        return;
    }

    TcpConnection connection(config->server_addr, parseStoi(config->port), false, "ntp_" + config->qos_test_uid);
    // The test connection shares the task's time-out: a path that accepts
    // and never answers cannot hold the task's thread.
    connection.setDeadline(deadline);
    // A test connection that could not be made, or whose read failed or ran
    // out of time, fails the test even for an empty request, whose empty
    // "answer" would otherwise match.
    bool answered = connection.connect();
    if (answered) {
        connection.sendMessage(config->request);
        proxyResponse = connection.readLine();
        answered = !connection.lastReadFailed();
    }
    status = answered && proxyResponse == config->request ? TaskStatus::Ok : TaskStatus::Error;
    poco_information_f3(logger(), "Ending %s with qos uid %s: %s", std::string(kTypeKey), config->qos_test_uid,
                        taskStatusToString(status));
}

std::unique_ptr<TaskResult> NonTransparentProxyTask::createResult() {
    auto result = std::make_unique<NonTransparentProxyTaskResult>();
    fillResult(result.get());
    result->nontransproxy_result = result->status;
    result->nontransproxy_result_response = proxyResponse;
    if (auto* config = dynamic_cast<NonTransparentProxyTaskConfiguration*>(configuration)) {
        result->nontransproxy_objective_port =
            config->port.empty() ? 0 : static_cast<std::uint16_t>(parseStoi(config->port));
        result->nontransproxy_objective_request = config->request;
    }
    return result;
}

}  // namespace trevask::measurement_library
