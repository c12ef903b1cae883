// The agent executable driven by the command-line UI: start-up, calls over
// the UI socket, and the end of the process when the UI asks to quit.

#include "AgentHarness.h"

using namespace bridge_test;

namespace {

TEST(AgentProcess, ServesTheUiAndExitsWithZeroWhenAskedToQuit) {
    PrivateDir dir;
    const std::string socket = dir.file("ui.sock");
    Child agent({agentBinary(), "ui-arg"}, {"LUMIVEX_UI_SOCKET=" + socket, "LUMIVEX_DPI=144"}, dir.path(),
                dir.file("agent.out"), dir.file("agent.err"));
    ASSERT_TRUE(waitForFile(socket, 10s)) << readFile(dir.file("agent.err"));
    std::vector<std::string> steps;
    for (auto s : {call("at.trevask.lumivex/system", "requestWindowScale", "null"),
                   call("at.trevask.lumivex/vela", "registerAgent", R"({"url":5})"),
                   call("at.trevask.lumivex/sentry", "configureSentry", R"({"dsn":""})"),
                   call("at.trevask.lumivex/nobody", "anything", "{}")}) {
        steps.insert(steps.end(), s.begin(), s.end());
    }
    steps.push_back("--quit");
    DriverRun run = runDriver(socket, steps);
    ASSERT_TRUE(run.status && run.status->exited) << run.output;
    EXPECT_EQ(run.status->code, 0) << run.output;
    ASSERT_EQ(run.lines.size(), 4u) << run.output;
    EXPECT_EQ(text(run.lines[0].at("reply")), "success");
    EXPECT_EQ(run.lines[0].at("value"), boost::json::value(1.5));
    EXPECT_EQ(text(run.lines[1].at("code")), "Invalid url passed");
    EXPECT_EQ(text(run.lines[1].at("message")), "");
    EXPECT_EQ(text(run.lines[2].at("code")), "Empty dsn passed");
    EXPECT_EQ(text(run.lines[3].at("reply")), "notImplemented");

    auto status = agent.wait(20s);
    ASSERT_TRUE(status);
    EXPECT_TRUE(status->exited && status->code == 0) << status->text();
    EXPECT_FALSE(exists(socket));
    EXPECT_NE(readFile(dir.file("agent.out")).find("Calling init\n"), std::string::npos);
}

// Status 3 of the shared exit-status table: the agent could not start.
TEST(AgentProcess, ExitsWithThreeWhenTheWindowCannotBeCreated) {
    PrivateDir dir;
    // A socket path in a folder that does not exist cannot be bound.
    Child agent({agentBinary()}, {"LUMIVEX_UI_SOCKET=/nonexistent-folder/ui.sock"}, dir.path(), dir.file("agent.out"),
                dir.file("agent.err"));
    auto status = agent.wait(10s);
    ASSERT_TRUE(status);
    EXPECT_TRUE(status->exited && status->code == 3) << status->text();
}

}  // namespace
