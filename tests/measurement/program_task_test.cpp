// The program task: built-in server fetches and system information, and
// ordinary programs run through the shell.

#include "BackendServer.h"
#include "model/ProgramTaskConfiguration.h"
#include "model/QosTaskConfigurations.h"
#include "model/result/ProgramTaskResults.h"
#include "tasks/ProgramTask.h"

#include <gtest/gtest.h>

using namespace trevask::measurement_library;

namespace {

struct Outcome {
    std::string status;
    std::string result;
    std::string output;
    std::string taskName;
};

Outcome run(const std::string& name, const std::string& program, const std::string& arguments) {
    ProgramTaskConfiguration configuration;
    configuration.taskName = name;
    configuration.program = program;
    configuration.arguments = arguments;
    configuration.qos_test_uid = "";
    auto task = ProgramTask::create(&configuration);
    task->runTask();
    auto result = task->createResult();
    auto* record = dynamic_cast<ProgramTaskResult*>(result.get());
    if (record == nullptr) return {};
    return {record->status, record->result, record->output, record->task_name};
}

}  // namespace

TEST(ProgramTask, OrdinaryPrograms) {
    const struct {
        const char* name;
        const char* program;
        const char* arguments;
        Outcome expected;
    } cases[] = {
        {"PROGRAM_ECHO", "echo", "hi", {"OK", "OK", "hi\n", "PROGRAM_ECHO"}},
        {"PROGRAM_NOTHING", "", "ignored", {"OK", "", "", "PROGRAM_NOTHING"}},
        {"PROGRAM_STDERR", "echo warn >&2; echo", "out", {"OK", "ERROR", "out\n", "PROGRAM_STDERR"}},
        {"PROGRAM_FAILS", "echo partial; exit", "3", {"ERROR", "", "", "PROGRAM_FAILS"}},
        // The built-in names decide even with a program set.
        {"PROGRAM_SERVER_LOAD", "echo", "not-a-url", {"OK", "ERROR", "", "PROGRAM_SERVER_LOAD"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome outcome = run(c.name, c.program, c.arguments);
        EXPECT_EQ(outcome.status, c.expected.status);
        EXPECT_EQ(outcome.result, c.expected.result);
        EXPECT_EQ(outcome.output, c.expected.output);
        EXPECT_EQ(outcome.taskName, c.expected.taskName);
    }
}

TEST(ProgramTask, ServerReportIsTakenWhateverItsStatus) {
    lumivex::test::BackendServer server;  // answers unknown paths with 404 and a JSON body
    server.start();
    for (const char* name : {"PROGRAM_SERVER_LOAD", "PROGRAM_SERVER_TRACEROUTE"}) {
        const Outcome outcome = run(name, "", server.baseUrl() + "/load?x=1");
        EXPECT_EQ(outcome.result, "OK") << name;
        EXPECT_EQ(outcome.output, R"({"errors":"not found"})") << name;
    }
    const auto seen = server.requests();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].method, "GET");
    EXPECT_EQ(seen[0].path, "/load");
    const std::string gone = server.baseUrl() + "/load";
    server.stop();
    EXPECT_EQ(run("PROGRAM_SERVER_LOAD", "", gone).result, "ERROR");
}

TEST(ProgramTask, SystemInformationRunsTheCommandTable) {
    const Outcome outcome = run("PROGRAM_CLIENT_SYSINFO", "", "");
    EXPECT_EQ(outcome.status, "OK");
    EXPECT_EQ(outcome.result, "OK");
    ASSERT_FALSE(outcome.output.empty());
    EXPECT_EQ(outcome.output.front(), '\n');
    const auto uname = outcome.output.find("Linux");
    const auto df = outcome.output.find("Filesystem");
    const auto lscpu = outcome.output.find("Architecture");
    ASSERT_NE(uname, std::string::npos);
    ASSERT_NE(df, std::string::npos);
    ASSERT_NE(lscpu, std::string::npos);
    EXPECT_LT(uname, df);
    EXPECT_LT(df, lscpu);
}

TEST(ProgramTask, AcceptsOnlyProgramConfigurations) {
    ProgramTaskConfiguration program;
    TcpTaskConfiguration tcp;
    EXPECT_TRUE(ProgramTask::accepts(&program));
    EXPECT_FALSE(ProgramTask::accepts(&tcp));
    EXPECT_FALSE(ProgramTask::accepts(nullptr));
    EXPECT_EQ(ProgramTask::create(&program)->name(), "PROGRAM");

    // A task handed a configuration of another kind ends in ERROR.
    auto task = ProgramTask::create(&tcp);
    task->runTask();
    EXPECT_EQ(task->createResult()->status, "ERROR");
}
