// The task frame: statuses, crash reports, log lines and the shared result
// members.

#include "EngineTestSupport.h"

#include "tasks/TaskException.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

using namespace engine_test;

namespace {

struct FrameCase {
    const char* label;
    std::function<void(ScriptedTask&)> body;
    TaskStatus expected;
    std::string stdoutText;  // what the frame writes to standard output
    std::string marker;      // text of the failure, searched in the crash reports
    std::size_t reports;     // crash reports the run adds
};

}  // namespace

TEST(BaseTask, FrameTurnsEveryOutcomeIntoOneStatus) {
    CrashReports reports;
    const std::vector<FrameCase> cases = {
        {"returns", [](ScriptedTask&) {}, TaskStatus::Ok, "", "", 0},
        {"sets error", [](ScriptedTask& t) { t.setStatus(TaskStatus::Error); }, TaskStatus::Error, "", "", 0},
        {"sets timeout", [](ScriptedTask& t) { t.setStatus(TaskStatus::Timeout); }, TaskStatus::Timeout, "", "", 0},
        {"timeout exception", [](ScriptedTask&) { throw TaskTimeoutException("marker-a gave up"); },
         TaskStatus::Timeout, "TaskTimeoutException marker-a gave up\n", "marker-a", 0},
        {"task exception", [](ScriptedTask&) { throw TaskException("marker-b failed"); }, TaskStatus::Error,
         "TaskException marker-b failed\n", "marker-b", 1},
        {"std exception", [](ScriptedTask&) { throw std::runtime_error("marker-c broke"); }, TaskStatus::Error,
         "std::exception marker-c broke\n", "marker-c", 1},
        {"int", [](ScriptedTask&) { throw 42; }, TaskStatus::Error, "... (unknown error) \n", "", 0},
    };
    int uid = 1;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        Configurations configs;
        ScriptedTask task("TEST", c.body);
        task.setConfiguration(configs.add(0, std::to_string(uid++)));
        const std::size_t reportsBefore = reports.total();
        testing::internal::CaptureStdout();
        task.runTask();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.stdoutText);
        EXPECT_EQ(reports.total() - reportsBefore, c.reports);
        EXPECT_EQ(task.getStatus(), c.expected);
        EXPECT_FLOAT_EQ(task.progress(), 1.0f);
        // The progress notifications (each holding the task) were released.
        EXPECT_EQ(task.referenceCount(), 1);
        EXPECT_GE(task.getDurationNs(), 0);
        if (!c.marker.empty()) {
            EXPECT_EQ(reports.count(c.marker), c.reports);
        }
    }
}

TEST(BaseTask, MissingControlConnectionFailsBeforeTheBody) {
    CrashReports reports;
    LogCapture log("BaseTask");
    Configurations configs;
    ScriptedTask task("TCP");
    task.needsConnection = true;
    task.setConfiguration(configs.add(0, "4711"));
    testing::internal::CaptureStdout();
    task.runTask();
    const std::string out = testing::internal::GetCapturedStdout();

    EXPECT_FALSE(task.bodyRan);
    EXPECT_EQ(task.getStatus(), TaskStatus::Error);
    EXPECT_EQ(out, "TaskException No QoS control connection set for task TCP, uid: 4711\n");
    // Once where it is raised, once where the frame catches it.
    EXPECT_EQ(reports.count("No QoS control connection set for task TCP, uid: 4711"), 2u);
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "Starting task TCP (id: 4711)");
    EXPECT_EQ(lines[1], "Task TCP (id: 4711) took " + std::to_string(task.getDurationNs() / 1000000) +
                            " ms, status/error: ERROR");
}

TEST(BaseTask, EndLineShowsWholeMillisecondsTruncated) {
    LogCapture log("BaseTask");
    Configurations configs;
    ScriptedTask task("SLEEP", [](ScriptedTask&) { std::this_thread::sleep_for(std::chrono::microseconds(2500)); });
    task.setConfiguration(configs.add(0, "9"));
    task.runTask();
    ASSERT_GE(task.getDurationNs(), 2500000);
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], "Task SLEEP (id: 9) took " + std::to_string(task.getDurationNs() / 1000000) +
                            " ms, status/error: OK");
}

TEST(BaseTask, FillResultCopiesTheSharedMembers) {
    Configurations configs;
    auto* config = configs.add(7, "17abc", "tcp");
    config->timeout = "2500000000";
    ScriptedTask task("TCP", [](ScriptedTask& t) { t.setStatus(TaskStatus::Timeout); });
    task.setConfiguration(config);
    task.runTask();

    TaskResult result;
    task.fillResult(&result);
    EXPECT_EQ(result.objective_id, 17);
    EXPECT_EQ(result.qos_test_uid, "17abc");
    EXPECT_EQ(result.objective_concurrency_group, 7u);
    EXPECT_EQ(result.objective_task_type, "tcp");
    EXPECT_EQ(result.test_type, "tcp");
    EXPECT_EQ(result.timeout_ns, 2500000000);
    EXPECT_EQ(result.status, "TIMEOUT");
    EXPECT_EQ(result.start_time_ns, static_cast<std::uint64_t>(task.getStartTimeNs()));
    EXPECT_EQ(result.duration_ns, static_cast<std::uint64_t>(task.getDurationNs()));
    EXPECT_FALSE(result.error_message);

    task.fillResult(nullptr);  // left alone
}

TEST(BaseTask, FillResultConversionsOfUidAndTimeout) {
    struct Case {
        std::string uid;
        std::string timeout;
        std::string error;  // empty: no failure
        std::int32_t objectiveId;
        std::int64_t timeoutNs;
    };
    const std::vector<Case> cases = {
        {"", "", "", 0, 0},  // both left at their defaults
        {" 42", "100", "", 42, 100},
        {"-5", "100", "", -5, 100},  // the objective id is signed
        {"-2147483648", "", "", -2147483647 - 1, 0},
        {"-2147483649", "100", "stoi argument out of range", 0, 0},
        {"abc", "100", "invalid stoi argument", 0, 0},
        {"99999999999", "100", "stoi argument out of range", 0, 0},
        {"5", "soon", "invalid stoll argument", 5, 0},
        {"5", "99999999999999999999", "stoll argument out of range", 5, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("uid '" + c.uid + "', timeout '" + c.timeout + "'");
        Configurations configs;
        auto* config = configs.add(0, c.uid);
        config->timeout = c.timeout;
        ScriptedTask task("TEST");
        task.setConfiguration(config);
        TaskResult result;
        if (c.error.empty()) {
            task.fillResult(&result);
            EXPECT_EQ(result.objective_id, c.objectiveId);
            EXPECT_EQ(result.qos_test_uid, c.uid);
            EXPECT_EQ(result.timeout_ns, c.timeoutNs);
            EXPECT_EQ(result.status, "UNKNOWN");  // not run yet
        } else {
            try {
                task.fillResult(&result);
                ADD_FAILURE() << "no exception";
            } catch (const std::exception& e) {
                EXPECT_EQ(std::string(e.what()), c.error);
            }
        }
    }
}

TEST(BaseTask, StatusTexts) {
    EXPECT_EQ(taskStatusToString(TaskStatus::Ok), "OK");
    EXPECT_EQ(taskStatusToString(TaskStatus::Error), "ERROR");
    EXPECT_EQ(taskStatusToString(TaskStatus::Timeout), "TIMEOUT");
    EXPECT_EQ(taskStatusToString(TaskStatus::NotFinished), "UNKNOWN");
    EXPECT_EQ(taskStatusToString(static_cast<TaskStatus>(7)), "UNKNOWN");
}
