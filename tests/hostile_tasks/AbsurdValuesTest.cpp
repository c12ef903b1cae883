// QoS tasks given counts, durations, pauses and time-outs no real test asks
// for, against the QoS test server: each ends at its own time-out (bound
// stated per case) with a clear status, and memory stays below 100 MiB.

#include "HostileTaskSupport.h"

#include <functional>
#include <optional>
#include <thread>
#include <vector>

#include "model/result/ConnectivityTaskResults.h"
#include "model/result/TelephonyTaskResults.h"
#include "tasks/NonTransparentProxyTask.h"
#include "tasks/SipTask.h"
#include "tasks/TcpTask.h"
#include "tasks/TracerouteTask.h"
#include "tasks/TaskClock.h"
#include "tasks/UdpTask.h"
#include "tasks/VoipTask.h"

using namespace hostile_test;

namespace {

// Time-out of the cases that must be cut off, and what a run may take past it.
constexpr auto kTimeout = 2s;
constexpr auto kMargin = 1500ms;

struct Made {
    std::unique_ptr<TaskConfiguration> config;
    std::unique_ptr<BaseTask> task;
};

template <typename Config>
Made make(std::unique_ptr<Config> config, std::unique_ptr<BaseTask> (*create)(TaskConfiguration*)) {
    Made made;
    made.task = create(config.get());
    made.config = std::move(config);
    return made;
}

struct Case {
    const char* label;
    std::function<Made(const QosPeer&)> build;
    TaskStatus status;         // of the task
    std::string resultStatus;  // the result record's status text
    std::chrono::milliseconds bound;
};

}  // namespace

TEST(AbsurdValues, EveryTaskEndsAtItsTimeOutWithBoundedMemory) {
    const auto cutOff = std::chrono::duration_cast<std::chrono::milliseconds>(kTimeout + kMargin);
    const std::vector<Case> cases = {
        {"VoIP call of 10^18 ns",
         [](const QosPeer& p) { return make(voipConfig(p, kQuintillionNs, "20000000", kTimeout), &VoipTask::create); },
         TaskStatus::Timeout, "TIMEOUT", cutOff},
        {"VoIP call of 10^18 ns, one packet per ns",
         [](const QosPeer& p) { return make(voipConfig(p, kQuintillionNs, "1", kTimeout), &VoipTask::create); },
         TaskStatus::Timeout, "TIMEOUT", cutOff},
        {"VoIP pause of 10^18 ns",
         [](const QosPeer& p) { return make(voipConfig(p, kLargestNs, kQuintillionNs, kTimeout), &VoipTask::create); },
         TaskStatus::Timeout, "TIMEOUT", cutOff},
        {"SIP count 10^9, calls without hold time",
         [](const QosPeer& p) { return make(sipConfig(p, kBillion, "0", kTimeout), &SipTask::create); },
         TaskStatus::Timeout, "TIMEOUT", cutOff},
        {"SIP count 10^9, calls of 10^18 ns",
         [](const QosPeer& p) { return make(sipConfig(p, kBillion, kQuintillionNs, kTimeout), &SipTask::create); },
         TaskStatus::Timeout, "TIMEOUT", cutOff},
        {"UDP 10^9 packets without pause",
         [](const QosPeer& p) { return make(udpConfig(p, kBillion, "0", kTimeout), &UdpTask::create); },
         TaskStatus::Timeout, "TIMEOUT", cutOff},
        {"UDP 10^9 packets, 1 ns apart",
         [](const QosPeer& p) { return make(udpConfig(p, kBillion, "1", kTimeout), &UdpTask::create); },
         TaskStatus::Timeout, "TIMEOUT", cutOff},
        {"UDP pause of 10^18 ns",
         [](const QosPeer& p) { return make(udpConfig(p, kBillion, kQuintillionNs, kTimeout), &UdpTask::create); },
         TaskStatus::Timeout, "TIMEOUT", cutOff},
        // The largest time-out must neither overflow into one already past
        // nor hold a test that the server answers at once.
        {"UDP with the largest time-out",
         [](const QosPeer& p) {
             return make(udpConfig(p, "3", "1000000", std::chrono::nanoseconds(std::stoll(kLargestNs))),
                         &UdpTask::create);
         },
         TaskStatus::Ok, "OK", 3000ms},
        {"VoIP with the largest time-out",
         [](const QosPeer& p) {
             return make(voipConfig(p, "100000000", "20000000", std::chrono::nanoseconds(std::stoll(kLargestNs))),
                         &VoipTask::create);
         },
         TaskStatus::Ok, "OK", 3000ms},
        {"SIP with the largest time-out",
         [](const QosPeer& p) {
             return make(sipConfig(p, "2", "0", std::chrono::nanoseconds(std::stoll(kLargestNs))), &SipTask::create);
         },
         TaskStatus::Ok, "OK", 3000ms},
        {"TCP with the largest time-out",
         [](const QosPeer& p) {
             return make(tcpConfig(p, std::chrono::nanoseconds(std::stoll(kLargestNs))), &TcpTask::create);
         },
         TaskStatus::Ok, "OK", 3000ms},
        {"proxy test with the largest time-out",
         [](const QosPeer& p) {
             return make(ntpConfig(p, std::chrono::nanoseconds(std::stoll(kLargestNs))),
                         &NonTransparentProxyTask::create);
         },
         TaskStatus::Ok, "OK", 3000ms},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        QosPeer peer;
        ASSERT_TRUE(peer.connected);
        auto made = c.build(peer);
        const auto outcome = runTask(*made.task, peer.control.get());

        EXPECT_EQ(taskStatusToString(outcome.status), taskStatusToString(c.status));
        EXPECT_LT(outcome.took, c.bound);
        ASSERT_NE(outcome.result, nullptr) << outcome.resultFailure;
        EXPECT_EQ(outcome.result->status, c.resultStatus);
        expectMemoryBounded();
    }
}

// The calls a SIP test with a count of 10^9 made before its time-out, and
// the rates, which still count the configured number of calls.
TEST(AbsurdValues, SipCountOfABillionCallsUntilItsTimeOut) {
    QosPeer peer;
    ASSERT_TRUE(peer.connected);
    auto config = sipConfig(peer, kBillion, "0", kTimeout);
    SipTask task;
    task.setConfiguration(config.get());
    const auto outcome = runTask(task, peer.control.get());

    EXPECT_EQ(outcome.status, TaskStatus::Timeout);
    EXPECT_LT(outcome.took, kTimeout + kMargin);
    EXPECT_GT(task.getCompletedCount(), 0u);
    EXPECT_LT(task.getCompletedCount(), 1000000u);
    const auto* result = dynamic_cast<const SipTaskResult*>(outcome.result.get());
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(result->sip_result, "TIMEOUT");
    EXPECT_EQ(result->sip_objective_count, kBillion);
    EXPECT_LT(result->sip_result_ccsr, 0.01f);
    EXPECT_GT(result->sip_result_dcr, 0.99f);
    expectMemoryBounded();
}

// A time-out beyond the longest one a task honours is cut to it: a silent
// server holds a task for kMaxTaskTimeout at most, never for the years the
// configuration asks for. (Shown on the deadline itself; waiting 600 s is
// no test.)
TEST(AbsurdValues, TaskDeadlineIsCappedAndNeverOverflows) {
    const auto now = std::chrono::steady_clock::now();
    EXPECT_EQ(taskDeadline(now, std::chrono::nanoseconds(std::stoll(kLargestNs))), now + kMaxTaskTimeout);
    EXPECT_EQ(taskDeadline(now, std::chrono::nanoseconds(std::stoll(kQuintillionNs))), now + kMaxTaskTimeout);
    EXPECT_EQ(taskDeadline(now, 2s), now + 2s);
    EXPECT_EQ(taskDeadline(now, -5s), now);
}

namespace {

// Every probe takes 200 ms and finds no router, as on a path that drops them.
class SilentPathTraceroute : public TracerouteTask {
protected:
    std::optional<std::string> runProbeCommand(const std::string&) override {
        std::this_thread::sleep_for(200ms);
        return std::nullopt;
    }
};

}  // namespace

// A hop count of 65535 on a path where no probe is answered: the probes stop
// at the task's time-out (1 s), with the hops found so far.
TEST(AbsurdValues, TracerouteStopsProbingAtItsTimeOut) {
    TracerouteTaskConfiguration config;
    config.qostest = "traceroute";
    config.qos_test_uid = "16";
    config.targetHost = "192.0.2.1";
    config.max_hops = "65535";
    config.timeout = nanos(1s);
    SilentPathTraceroute task;
    task.setConfiguration(&config);
    const auto outcome = runTask(task, nullptr);

    EXPECT_EQ(outcome.status, TaskStatus::Timeout);
    EXPECT_LT(outcome.took, 1s + 400ms);
    const auto* result = dynamic_cast<const TracerouteTaskResult*>(outcome.result.get());
    ASSERT_NE(result, nullptr) << outcome.resultFailure;
    EXPECT_EQ(result->status, "TIMEOUT");
    EXPECT_EQ(result->traceroute_result_hops, std::optional<std::uint64_t>(0));
}
