// The task runner without a network: groups, pool, result collection,
// per-type set-up and clean-up, QoS progress.

#include "EngineTestSupport.h"

#include "TaskRunner.h"
#include "helper/SysInfoCollector.h"
#include "service/MeasurementExecutorSettings.h"

#include <Poco/Thread.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <thread>

using namespace engine_test;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// A one-shot event with a bounded wait.
class Event {
public:
    void set() {
        {
            std::lock_guard lock(mutex);
            isSet = true;
        }
        changed.notify_all();
    }
    bool wait(std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return isSet; });
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    bool isSet = false;
};

// Lets n threads meet; each waits (bounded) until all have arrived.
class Meeting {
public:
    explicit Meeting(int n) : expected(n) {}
    bool arriveAndWait(std::chrono::milliseconds timeout) {
        std::unique_lock lock(mutex);
        ++arrived;
        changed.notify_all();
        return changed.wait_for(lock, timeout, [&] { return arrived >= expected; });
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    int expected;
    int arrived = 0;
};

// Threads of this process.
int threadCount() {
    int n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) ++n;
    return n;
}

struct Span {
    Clock::time_point start;
    Clock::time_point end;
};

class TaskRunnerTest : public ::testing::Test {
protected:
    TaskRunnerTest() { settings.agentUuid = "agent-1"; }

    ScriptedTask* add(std::uint32_t group, std::string uid, const std::string& name,
                      std::function<void(ScriptedTask&)> body = {}, std::string type = "test") {
        auto task = std::make_unique<ScriptedTask>(name, std::move(body));
        task->setConfiguration(configs.add(group, std::move(uid), std::move(type)));
        auto* raw = task.get();
        tasks.push_back(std::move(task));
        return raw;
    }

    std::vector<std::unique_ptr<TaskResult>> run(TaskRunner& runner) {
        runner.configure(&settings);
        runner.setTasks(std::move(tasks));
        return runner.run(collector);
    }

    static std::vector<std::string> uids(const std::vector<std::unique_ptr<TaskResult>>& results) {
        std::vector<std::string> out;
        for (const auto& r : results) out.push_back(r->qos_test_uid);
        return out;
    }

    MeasurementExecutorSettings settings;
    Configurations configs;
    std::vector<std::unique_ptr<BaseTask>> tasks;
    SysInfoCollector collector;
};

}  // namespace

TEST_F(TaskRunnerTest, GroupsRunInAscendingOrderEachJoinedBeforeTheNext) {
    LogCapture log("TaskRunner");
    std::mutex mutex;
    std::map<std::string, Span> spans;
    std::vector<std::string> threadNames;
    Meeting group50(2);
    std::atomic<int> met{0};
    auto body = [&](bool meet) {
        return [&, meet](ScriptedTask& t) {
            const auto start = Clock::now();
            if (meet && group50.arriveAndWait(3000ms)) ++met;
            std::this_thread::sleep_for(20ms);
            std::lock_guard lock(mutex);
            spans[t.getConfiguration()->qos_test_uid] = {start, Clock::now()};
            threadNames.push_back(Poco::Thread::current() ? Poco::Thread::current()->name() : "");
        };
    };
    add(50, "501", "A", body(true));
    std::atomic<int> poolThreads{0};
    add(0, "1", "B", [&, inner = body(false)](ScriptedTask& t) {
        poolThreads = threadCount();
        inner(t);
    });
    add(50, "502", "C", body(true));
    add(10, "101", "D", body(false));

    const int threadsBefore = threadCount();
    TaskRunner runner;
    const auto results = run(runner);

    ASSERT_EQ(results.size(), 4u);
    EXPECT_EQ(results[0]->qos_test_uid, "1");
    EXPECT_EQ(results[1]->qos_test_uid, "101");
    EXPECT_EQ(met.load(), 2) << "the two tasks of group 50 did not run at the same time";
    // The pool starts its minimum of threads at once.
    EXPECT_GE(poolThreads.load() - threadsBefore, TaskRunner::kPoolMinThreads);
    EXPECT_LE(spans["1"].end, spans["101"].start);
    EXPECT_LE(spans["101"].end, spans["501"].start);
    EXPECT_LE(spans["101"].end, spans["502"].start);
    for (const auto& name : threadNames) EXPECT_EQ(name.rfind("TaskRunnerPool", 0), 0u) << name;

    EXPECT_EQ(log.count("#tasks: 4"), 1u);
    EXPECT_EQ(log.count("starting tasks w/concurrency: 10, needs qos service: no"), 1u);
    EXPECT_EQ(log.count("starting tasks w/concurrency: 50, needs qos service: no"), 1u);
    EXPECT_EQ(log.count("starting tasks w/concurrency: 0"), 0u);
    EXPECT_EQ(log.count("waiting for last tasks w/concurrency: 50"), 1u);
    const auto lines = log.lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "Starting run");
    EXPECT_EQ(lines.back(), "Cleaning up after running tasks");
}

TEST_F(TaskRunnerTest, PoolGrowsToItsMaximumAndRefusesBeyondIt) {
    LogCapture log("TaskRunner");
    Event release;
    std::atomic<int> concurrent{0};
    std::atomic<int> peak{0};
    const int count = TaskRunner::kPoolMaxThreads + 1;
    for (int i = 0; i < count; ++i) {
        add(0, std::to_string(i + 1), "HOLD", [&](ScriptedTask&) {
            const int now = ++concurrent;
            int seen = peak.load();
            while (now > seen && !peak.compare_exchange_weak(seen, now)) {
            }
            release.wait(10000ms);
            --concurrent;
        });
    }
    TaskRunner runner;
    std::vector<std::unique_ptr<TaskResult>> results;
    std::thread worker([&] { results = run(runner); });
    // The last start is refused while every pool thread is busy.
    const auto until = Clock::now() + 10s;
    while (log.count("No thread available") == 0 && Clock::now() < until) std::this_thread::sleep_for(5ms);
    release.set();
    worker.join();

    EXPECT_EQ(log.count("test failed for task: HOLD\nNo thread available"), 1u);
    EXPECT_EQ(results.size(), static_cast<std::size_t>(TaskRunner::kPoolMaxThreads));
    EXPECT_EQ(peak.load(), TaskRunner::kPoolMaxThreads);
}

TEST_F(TaskRunnerTest, ResultsArriveInCompletionOrderOneAtATime) {
    Event secondCollected;
    Event thirdCollected;
    add(0, "1", "T", [&](ScriptedTask&) { ASSERT_TRUE(thirdCollected.wait(5000ms)); });
    add(0, "2", "T");
    add(0, "3", "T", [&](ScriptedTask&) { ASSERT_TRUE(secondCollected.wait(5000ms)); });

    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    std::vector<TaskResult*> reported;
    TaskRunner runner;
    runner.resultCallback = [&](TaskResult* result) {
        if (++inside > 1) overlapped = true;
        reported.push_back(result);
        std::this_thread::sleep_for(5ms);  // widen the window for an overlap
        if (result->qos_test_uid == "2") secondCollected.set();
        if (result->qos_test_uid == "3") thirdCollected.set();
        --inside;
    };
    const auto results = run(runner);

    EXPECT_EQ(uids(results), (std::vector<std::string>{"2", "3", "1"}));
    ASSERT_EQ(reported.size(), results.size());
    for (std::size_t i = 0; i < results.size(); ++i) EXPECT_EQ(reported[i], results[i].get());
    EXPECT_FALSE(overlapped);
}

TEST_F(TaskRunnerTest, TypeSetUpAndCleanUpRunOncePerRun) {
    CrashReports reports;
    LogCapture log("TaskRunner");
    std::mutex mutex;
    std::vector<std::string> events;
    auto note = [&](std::string e) {
        std::lock_guard lock(mutex);
        events.push_back(std::move(e));
    };
    for (auto [group, uid] : {std::pair{0u, "1"}, std::pair{5u, "2"}}) {
        auto* dns = add(group, uid, "DNS", [&](ScriptedTask&) { note("run DNS"); });
        dns->onInitialize = [&] { note("init DNS"); };
        dns->onTearDown = [&] { note("teardown DNS"); };
    }
    auto* bad = add(5, "3", "BAD", [&](ScriptedTask&) { note("run BAD"); });
    bad->onInitialize = [] { throw std::runtime_error("set-up marker-x failed"); };
    bad->onTearDown = [&] { note("teardown BAD"); };

    TaskRunner runner;
    const auto results = run(runner);

    EXPECT_EQ(results.size(), 3u);
    std::map<std::string, int> counts;
    for (const auto& e : events) ++counts[e];
    EXPECT_EQ(counts["init DNS"], 1);
    EXPECT_EQ(counts["run DNS"], 2);
    EXPECT_EQ(counts["teardown DNS"], 1);
    EXPECT_EQ(counts["run BAD"], 1);  // a failed set-up does not stop its task
    EXPECT_EQ(counts["teardown BAD"], 1);
    ASSERT_EQ(events.size(), 6u);
    EXPECT_EQ(events.front(), "init DNS");
    EXPECT_TRUE(events[4].rfind("teardown", 0) == 0 && events[5].rfind("teardown", 0) == 0);
    EXPECT_EQ(log.count("error in initializeTaskType of task: BAD\nset-up marker-x failed"), 1u);
    EXPECT_EQ(reports.count("set-up marker-x failed"), 1u);
}

TEST_F(TaskRunnerTest, TaskWhoseResultFailsRunsButDeliversNothing) {
    CrashReports reports;
    LogCapture log("ConcurrentTaskWrapper");
    QosProgressRecorder progress;
    auto* bad = add(0, "abc", "DNS");
    add(0, "2", "DNS");
    auto* throwing = add(1, "3", "UDP");
    throwing->onCreateResult = [] { throw 7; };

    TaskRunner runner;  // no result callback
    const auto results = run(runner);

    EXPECT_TRUE(bad->bodyRan);
    EXPECT_TRUE(throwing->bodyRan);
    EXPECT_EQ(uids(results), (std::vector<std::string>{"2"}));
    EXPECT_EQ(log.count("test failed for task: DNS\ninvalid stoi argument"), 1u);
    EXPECT_EQ(log.count("test failed for task: UDP\nnon exception thrown during test execution"), 1u);
    EXPECT_EQ(reports.count("invalid stoi argument"), 1u);
    // Tasks that ended without a result still count as finished.
    const auto updates = progress.updates();
    ASSERT_FALSE(updates.empty());
    EXPECT_EQ(updates.back().progress, 1.0);
}

TEST_F(TaskRunnerTest, EmptyRunReturnsNothing) {
    LogCapture log("TaskRunner");
    int calls = 0;
    auto saved = trevask::vela::intermediateMeasurementCallback.get();
    trevask::vela::intermediateMeasurementCallback = [&](const trevask::vela::IntermediateMeasurementCallback&) {
        ++calls;
    };
    TaskRunner runner;
    const auto results = run(runner);
    EXPECT_TRUE(results.empty());
    EXPECT_EQ(log.count("#tasks: 0"), 1u);
    EXPECT_EQ(log.count("waiting for last tasks w/concurrency: 0"), 1u);
    trevask::vela::intermediateMeasurementCallback(trevask::vela::IntermediateMeasurementCallback{});
    EXPECT_EQ(calls, 1);
    trevask::vela::intermediateMeasurementCallback.set(saved);
}

// Every task is counted under its framework name, whatever the type text
// of its configuration says (a program task carries an empty one, the
// external speed-test client its own), so progress reaches 1.
TEST_F(TaskRunnerTest, QosProgressFollowsTheRunToOne) {
    QosProgressRecorder progress;
    add(0, "1", "TCP", {}, "tcp");
    add(0, "2", "NATIVE_VELA", {}, "native_vela");
    add(1, "3", "TCP", {}, "tcp");
    add(1, "4", "PROGRAM", {}, "");
    add(2, "5", "OOKLA_SPEEDTEST_CLI", {}, "speedtest_cli");

    auto saved = trevask::vela::intermediateMeasurementCallback.get();
    auto host = [](const trevask::vela::IntermediateMeasurementCallback&) {};
    trevask::vela::intermediateMeasurementCallback = host;
    TaskRunner runner;
    const auto results = run(runner);
    ASSERT_EQ(results.size(), 5u);
    // The speed test's traffic hook is gone again after the run.
    EXPECT_FALSE(collector.isTrackingTraffic());
    EXPECT_EQ(trevask::vela::intermediateMeasurementCallback.get().target_type(), typeid(host));
    trevask::vela::intermediateMeasurementCallback.set(saved);

    const auto updates = progress.updates();
    // One after registration, then one per QoS start and one per QoS result.
    ASSERT_EQ(updates.size(), 1u + 4u + 4u);
    EXPECT_EQ(updates.front().qos_test_state, "NOT_STARTED");
    EXPECT_EQ(updates.front().progress, 0.0);
    EXPECT_EQ(updates.front().started_qos_types,
              (std::vector<std::string>{"TCP", "PROGRAM", "OOKLA_SPEEDTEST_CLI"}));
    double last = 0;
    for (std::size_t i = 1; i < updates.size(); ++i) {
        EXPECT_EQ(updates[i].qos_test_state, "QOS_RUNNING");
        EXPECT_GE(updates[i].progress, last);
        last = updates[i].progress;
        EXPECT_EQ(updates[i].qos_type_to_progress.count("NATIVE_VELA"), 0u);
    }
    EXPECT_EQ(updates.back().progress, 1.0);
    EXPECT_EQ(updates.back().finished_qos_types,
              (std::vector<std::string>{"OOKLA_SPEEDTEST_CLI", "PROGRAM", "TCP"}));
}

TEST_F(TaskRunnerTest, FailingProgressListenerCostsNoResult) {
    auto saved = trevask::vela::qosProgressCallback.get();
    trevask::vela::qosProgressCallback = [](std::shared_ptr<trevask::vela::QosProgressUpdate>) {
        throw std::runtime_error("listener down");
    };
    add(0, "1", "TCP");
    add(1, "2", "UDP");
    TaskRunner runner;
    const auto results = run(runner);
    trevask::vela::qosProgressCallback.set(saved);
    EXPECT_EQ(uids(results), (std::vector<std::string>{"1", "2"}));
}

TEST(TaskRunnerToken, TokenLineCarriesTheAgentAndTheFixedSuffix) {
    const std::string line = TaskRunner::tokenLine("0b5e6a4c-1111-2222-3333-444455556666");
    EXPECT_EQ(line, "TOKEN 0b5e6a4c-1111-2222-3333-444455556666_1672531200_Zq7pRt3MvK9sLw2XyN8cHd5FgJa\\u003d");
    EXPECT_EQ(std::string(TaskRunner::kTokenSuffix).size(), 45u);
}
