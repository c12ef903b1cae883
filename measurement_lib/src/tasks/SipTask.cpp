#include "tasks/SipTask.h"

#include "TcpConnection.h"
#include "helper/SentryHelper.h"
#include "model/QosTaskConfigurations.h"
#include "model/result/TelephonyTaskResults.h"
#include "tasks/SipMessage.h"
#include "tasks/StandardConversions.h"
#include "tasks/TaskClock.h"
#include "tasks/TaskException.h"
#include "tasks/TcpTask.h"

#include <Poco/Logger.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace trevask::measurement_library {

namespace {

using Clock = std::chrono::steady_clock;

// A count read like std::stoul into 32 bits: larger values are out of range.
uint32_t parseCount(const std::string& text) {
    const unsigned long value = parseStoul(text);
    if (value > std::numeric_limits<uint32_t>::max()) throw std::out_of_range("stoul argument out of range");
    return static_cast<uint32_t>(value);
}

// The instant a call must be hung up to leave its BYE exchange time before
// the iteration's deadline: a quarter of the time left after RINGING, at
// most kByeReserve, is kept for it.
constexpr std::chrono::milliseconds kByeReserve{1000};

Clock::time_point hangUpBy(Clock::time_point ringing, Clock::time_point deadline) {
    if (deadline <= ringing) return deadline;
    const auto left = deadline - ringing;
    return deadline - std::min<Clock::duration>(left / 4, kByeReserve);
}

// Whether one attempt has ended; shared by the attempt's thread and the
// iteration loop waiting for it.
struct AttemptState {
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false;
};

bool isFailure(TaskStatus status) { return status == TaskStatus::Error || status == TaskStatus::Timeout; }

}  // namespace

Poco::Logger& SipTask::logger() {
    static Poco::Logger& instance = Poco::Logger::get("SipTask");
    return instance;
}

SipTask::SipTask() : BaseTask(kTypeKey) {}

SipTask::~SipTask() = default;

std::unique_ptr<BaseTask> SipTask::create(TaskConfiguration* configuration) {
    auto task = std::make_unique<SipTask>();
    task->setConfiguration(configuration);
    return task;
}

bool SipTask::accepts(TaskConfiguration* configuration) {
    return dynamic_cast<SipTaskConfiguration*>(configuration) != nullptr;
}

void SipTask::doRunTask() {
    if (configuration == nullptr) throw TaskException("No configuration provided");
    auto* config = dynamic_cast<SipTaskConfiguration*>(configuration);
    if (config == nullptr) throw TaskException("Configuration is not a SIP Task configuration");
    if (config->server_addr.empty() || config->port.empty() || config->count.empty())
        throw TaskException("No server_addr, port or count provided");

    const uint32_t count = parseCount(config->count);
    const std::string& uid = config->qos_test_uid;
    // The time-out bounds the whole task, not each call: however large the
    // count, the calls end by the task's deadline.
    const auto begin = Clock::now();
    for (uint32_t i = 0; i < count; ++i) {
        poco_information_f2(logger(), "[%s] SIP test iteration: %lu", uid, static_cast<unsigned long>(i));
        if (isFailure(runStatus)) {
            poco_information_f1(logger(), "[%s] previous test iteration was error or timeout, aborting whole task",
                                uid);
            break;
        }
        poco_information_f3(logger(), "[%s] running next iteration %lu, will timeout in %s", uid,
                            static_cast<unsigned long>(i), config->timeout);
        // Read before the attempt starts, so a bad text never leaves a thread behind.
        const std::chrono::nanoseconds timeout{parseStoll(config->timeout)};
        const auto deadline = taskDeadline(begin, timeout);
        if (i > 0 && Clock::now() >= deadline) {
            poco_information_f2(logger(), "[%s] test iteration %lu did timeout, aborting whole task", uid,
                                static_cast<unsigned long>(i));
            runStatus = TaskStatus::Timeout;
            break;
        }

        auto attempt = std::make_shared<AttemptState>();
        std::thread worker([this, config, deadline, attempt] {
            try {
                runSingleTest(*config, deadline);
            } catch (...) {
                runStatus = TaskStatus::Error;
            }
            {
                std::lock_guard lock(attempt->mutex);
                attempt->done = true;
            }
            attempt->ended.notify_all();
        });

        bool ended = false;
        {
            std::unique_lock lock(attempt->mutex);
            if (timeout.count() > 0) attempt->ended.wait_until(lock, deadline, [&] { return attempt->done; });
            ended = attempt->done;
        }
        if (!ended) {
            poco_information_f2(logger(), "[%s] test iteration %lu did timeout, aborting whole task", uid,
                                static_cast<unsigned long>(i));
            runStatus = TaskStatus::Timeout;
            worker.join();
            // The attempt's own steps end by the same deadline and then fail;
            // the iteration's time-out is what the task reports.
            runStatus = TaskStatus::Timeout;
            break;
        }
        worker.join();
    }
    poco_information_f2(logger(), "Ending %s with qos uid %s", std::string(kTypeKey), uid);
    if (runStatus != TaskStatus::NotFinished) status = runStatus;
}

void SipTask::runSingleTest(const SipTaskConfiguration& config, Clock::time_point deadline) {
    // A step that fails once the iteration's time-out has passed failed
    // because of it (its bound is that deadline): that is a TIMEOUT.
    auto fail = [this, deadline] {
        runStatus = Clock::now() >= deadline ? TaskStatus::Timeout : TaskStatus::Error;
    };
    try {
        auto wait = std::make_shared<ReplyWaitState>();
        std::unique_lock lock(wait->mutex);
        controlConnection->sendRequest("SIPTEST " + config.port, config.qos_test_uid, okReplyHandler(wait));
        const long long timeout = parseStoll(config.timeout);
        if (timeout <= 0) {
            runStatus = TaskStatus::Timeout;
            return;
        }
        wait->replied.wait_until(lock, deadline, [&] { return wait->received; });
        if (!wait->received) {
            runStatus = TaskStatus::Timeout;
            return;
        }
        const bool consented = wait->ok;
        lock.unlock();
        if (!consented) {
            runStatus = TaskStatus::Error;
            return;
        }

        sipConnection = std::make_unique<TcpConnection>(config.server_addr, parseStoi(config.port), false,
                                                        "sip_" + config.qos_test_uid);
        // A server that accepts and never answers cannot hold the attempt
        // past the iteration's time-out.
        sipConnection->setDeadline(deadline);
        if (!sipConnection->connect()) {
            fail();
            return;
        }

        auto expect = [this](SipStatus wanted) {
            const auto response = SipResponseMessage::parse(sipConnection->readMultiLine());
            return response.has_value() && response->getStatus() == wanted;
        };

        const SipRequestMessage invite(SipMethod::INVITE, config.from, config.to, config.via);
        sipConnection->sendMessageWithoutEndl(invite.serialize());
        if (!expect(SipStatus::TRYING) || !expect(SipStatus::RINGING)) {
            fail();
            return;
        }
        ++ringingCount;

        const auto holdBegin = Clock::now();
        const std::chrono::nanoseconds callDuration{parseStoll(config.call_duration)};
        const auto callEnd = deadlineAfter(holdBegin, callDuration);
        // A call that outlasts the iteration's time-out is still hung up, so
        // the server's call does not stay open: the BYE goes out early
        // enough for its answer to arrive by the deadline.
        const bool cutShort = callEnd > deadline;
        std::this_thread::sleep_until(cutShort ? hangUpBy(holdBegin, deadline) : callEnd);

        const SipRequestMessage bye(SipMethod::BYE, config.from, config.to, config.via);
        sipConnection->sendMessageWithoutEndl(bye.serialize());
        const auto answer = SipResponseMessage::parse(sipConnection->readMultiLine());
        if (!answer) {
            fail();
            return;
        }
        if (answer->getStatus() == SipStatus::OK) ++completedCount;
        // The call could not be held for its duration within the time-out.
        if (cutShort) runStatus = TaskStatus::Timeout;
    } catch (const std::exception& e) {
        poco_error_f2(logger(), "[%s] SIP test attempt failed: %s", config.qos_test_uid, std::string(e.what()));
        SentryHelper::captureException(e);
        runStatus = TaskStatus::Error;
    }
}

std::unique_ptr<TaskResult> SipTask::createResult() {
    auto result = std::make_unique<SipTaskResult>();
    fillResult(result.get());
    uint32_t count = 0;
    if (auto* config = dynamic_cast<SipTaskConfiguration*>(configuration)) {
        result->sip_objective_port = config->port;
        result->sip_objective_count = config->count;
        result->sip_objective_from = config->from;
        result->sip_objective_to = config->to;
        result->sip_objective_call_duration = config->call_duration;
        result->sip_objective_via = config->via;
        // A count that cannot be read leaves no rates to report: the
        // conversion error goes to the runner, which keeps no result.
        count = parseCount(config->count);
    }
    if (count > 0) {
        result->sip_result_cssr = static_cast<float>(ringingCount.load()) / static_cast<float>(count);
        result->sip_result_ccsr = static_cast<float>(completedCount.load()) / static_cast<float>(count);
    }
    result->sip_result_dcr = 1.0f - result->sip_result_ccsr;
    result->sip_result = result->status;
    return result;
}

}  // namespace trevask::measurement_library
