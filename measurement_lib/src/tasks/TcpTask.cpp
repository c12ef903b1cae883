#include "tasks/TcpTask.h"

#include "TcpConnection.h"
#include "model/QosTaskConfigurations.h"
#include "model/result/ConnectivityTaskResults.h"
#include "tasks/StandardConversions.h"
#include "tasks/TaskClock.h"
#include "tasks/TaskException.h"

#include <Poco/Logger.h>

#include <chrono>

namespace trevask::measurement_library {

Poco::Logger& TcpTask::logger() {
    static Poco::Logger& instance = Poco::Logger::get("TcpTask");
    return instance;
}

QosResponseCallback okReplyHandler(std::shared_ptr<ReplyWaitState> state) {
    return [state = std::move(state)](std::string response, std::string /*id*/) {
        {
            std::lock_guard lock(state->mutex);
            state->received = true;
            state->ok = response == "OK";
        }
        state->replied.notify_all();
    };
}

TcpTask::TcpTask() : BaseTask(kTypeKey) {}

std::unique_ptr<BaseTask> TcpTask::create(TaskConfiguration* configuration) {
    auto task = std::make_unique<TcpTask>();
    task->setConfiguration(configuration);
    return task;
}

bool TcpTask::accepts(TaskConfiguration* configuration) {
    return dynamic_cast<TcpTaskConfiguration*>(configuration) != nullptr;
}

void TcpTask::doRunTask() {
    if (configuration == nullptr) throw TaskException("No configuration provided");
    auto* config = dynamic_cast<TcpTaskConfiguration*>(configuration);
    if (config == nullptr) throw TaskException("Configuration is not a Tcp Task configuration");
    if (config->out_port.empty()) throw TaskException("out_port is not configured, in_port is not supported yet");

    const auto begin = std::chrono::steady_clock::now();
    auto wait = std::make_shared<ReplyWaitState>();
    std::unique_lock lock(wait->mutex);
    controlConnection->sendRequest("TCPTEST OUT " + config->out_port, config->qos_test_uid, okReplyHandler(wait));

    const std::chrono::nanoseconds timeout{parseStoll(config->timeout)};
    const auto deadline = taskDeadline(begin, timeout);
    if (!wait->received && timeout.count() > 0) {
        wait->replied.wait_until(lock, deadline, [&] { return wait->received; });
    }
    if (!wait->received) {
        resultOut = "TIMEOUT";
        throw TaskTimeoutException("Timeout waiting for QoS server result");
    }
    const bool consented = wait->ok;
    lock.unlock();
    if (!consented) {
        status = TaskStatus::Error;
        return;
    }

    {
        TcpConnection connection(config->server_addr, parseStoi(config->out_port), false,
                                 "tcp_" + config->qos_test_uid);
        // The test connection shares the task's time-out: a server that
        // accepts and never echoes cannot hold the task's thread.
        connection.setDeadline(deadline);
        if (connection.connect()) {
            connection.sendMessage("PING");
            resultOutResponse = connection.readLine();
        }
        resultOut = resultOutResponse == "PING" ? "OK" : "ERROR";
        poco_information_f2(logger(), "Ending %s with qos uid %s", std::string(kTypeKey), config->qos_test_uid);
    }
}

std::unique_ptr<TaskResult> TcpTask::createResult() {
    auto result = std::make_unique<TcpTaskResult>();
    fillResult(result.get());
    result->status = directionalStatus(resultOut, resultIn);
    if (resultOut == "OK") {
        result->tcp_result_out = resultOut;
        result->tcp_result_out_response = resultOutResponse;
        auto* config = dynamic_cast<TcpTaskConfiguration*>(configuration);
        if (config != nullptr) result->tcp_objective_out_port = static_cast<std::uint16_t>(parseStoi(config->out_port));
    }
    return result;
}

}  // namespace trevask::measurement_library
