#pragma once
// The SIP call test: places the configured number of short calls against the
// SIP test port of the QoS server, each announced over the run's control
// connection ("SIPTEST <port>"): INVITE, expect TRYING then RINGING, hold the
// call, BYE, expect OK. Reports the shares of calls that rang and that were
// completed, and the dropped-call rate.
//
// Construction: SipTask::create(configuration) with a SipTaskConfiguration;
// the runner then sets the control connection.

#include "tasks/BaseTask.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>

namespace Poco {
class Logger;
}

namespace trevask::measurement_library {

class TcpConnection;
struct SipTaskConfiguration;

class SipTask : public BaseTask {
public:
    static constexpr const char* kTypeKey = "SIP";

    SipTask();
    ~SipTask() override;

    static std::unique_ptr<BaseTask> create(TaskConfiguration* configuration);
    static bool accepts(TaskConfiguration* configuration);

    void doRunTask() override;
    std::unique_ptr<TaskResult> createResult() override;
    bool needsControlConnection() const override { return true; }

    uint32_t getRingingCount() const { return ringingCount; }
    uint32_t getCompletedCount() const { return completedCount; }

    // Logs under the name "SipTask".
    static Poco::Logger& logger();

private:
    // One call attempt; runs on a thread of its own. Every blocking step
    // (reply wait, connect, reads, writes, the call's hold time) ends by the
    // iteration's deadline; a call held longer than that is hung up shortly
    // before it (BYE), and the attempt counts as TIMEOUT.
    void runSingleTest(const SipTaskConfiguration& config, std::chrono::steady_clock::time_point deadline);

    std::atomic<uint32_t> ringingCount{0};
    std::atomic<uint32_t> completedCount{0};
    // Connection of the current attempt; each attempt replaces it.
    std::unique_ptr<TcpConnection> sipConnection;
    // The outcome as the attempts and the iteration loop decide it; written
    // from both threads, copied into `status` when the run ends.
    std::atomic<TaskStatus> runStatus{TaskStatus::NotFinished};
};

}  // namespace trevask::measurement_library
