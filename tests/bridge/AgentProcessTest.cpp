// The agent executable driven by the command-line UI: start-up, calls over
// the UI socket, and the end of the process when the UI asks to quit.

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <string>
#include <unistd.h>

namespace {

std::string run(const std::string& command) {
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return out;
    std::array<char, 4096> buffer;
    while (std::size_t n = std::fread(buffer.data(), 1, buffer.size(), pipe)) out.append(buffer.data(), n);
    int status = ::pclose(pipe);
    out += "\nstatus=" + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    return out;
}

TEST(AgentProcess, ServesTheUiAndExitsWithZeroWhenAskedToQuit) {
    const std::string bin = LUMIVEX_BINARY_DIR;
    const std::string socket = "/tmp/lumivex-agent-test-" + std::to_string(::getpid()) + ".sock";
    // Both processes are bounded by `timeout`; the agent's exit code is echoed.
    std::string command = "cd /tmp && (LUMIVEX_UI_SOCKET=" + socket + " LUMIVEX_DPI=144 timeout 10 " + bin +
                          "/runner/lumivex ui-arg >/dev/null 2>&1; echo agent=$?) & " + "timeout 10 " + bin +
                          "/tests/peers/ui_driver/ui_driver --socket " + socket +
                          " --timeout-ms 3000"
                          " --call at.trevask.lumivex/system requestWindowScale null"
                          " --call at.trevask.lumivex/vela registerAgent '{\"url\":5}'"
                          " --call at.trevask.lumivex/sentry configureSentry '{\"dsn\":\"\"}'"
                          " --call at.trevask.lumivex/history getHistory '{}'"
                          " --quit; echo driver=$?; wait";
    std::string out = run(command);
    EXPECT_NE(out.find(R"("method":"requestWindowScale","reply":"success","value":1.5E0)"), std::string::npos) << out;
    EXPECT_NE(out.find(R"("code":"Invalid url passed","message":"")"), std::string::npos) << out;
    EXPECT_NE(out.find(R"("code":"Empty dsn passed")"), std::string::npos) << out;
    EXPECT_NE(out.find(R"("method":"getHistory","reply":"notImplemented")"), std::string::npos) << out;
    EXPECT_NE(out.find("driver=0"), std::string::npos) << out;
    EXPECT_NE(out.find("agent=0"), std::string::npos) << out;
}

TEST(AgentProcess, ExitsWithOneWhenTheWindowCannotBeCreated) {
    const std::string bin = LUMIVEX_BINARY_DIR;
    // A socket path in a folder that does not exist cannot be bound.
    std::string out = run("LUMIVEX_UI_SOCKET=/nonexistent-folder/ui.sock timeout 10 " + bin +
                          "/runner/lumivex >/dev/null 2>&1");
    EXPECT_NE(out.find("status=1"), std::string::npos) << out;
}

}  // namespace
