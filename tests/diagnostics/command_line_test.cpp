// External commands through /bin/sh: output selection, failures, time-outs,
// the process group, and the program search.

#include "FreshFolder.h"
#include "helper/CommandLineHelper.h"
#include "platform/process/ShellCommand.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

using trevask::measurement_library::CommandLineException;
using trevask::measurement_library::CommandLineHelper;
using trevask::measurement_library::CommandLineTimeoutException;
using namespace std::chrono_literals;
using diagnostics_test::freshFolder;

namespace {

// True when the process is gone (or only a zombie waiting for its reaper).
bool processEnded(pid_t pid) {
    for (int i = 0; i < 50; ++i) {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string content;
        if (!stat || !std::getline(stat, content)) return true;
        auto close = content.rfind(')');
        if (close != std::string::npos && close + 2 < content.size() && content[close + 2] == 'Z') return true;
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

pid_t readPid(const std::filesystem::path& file) {
    std::ifstream in(file);
    pid_t pid = 0;
    in >> pid;
    return pid;
}

}  // namespace

TEST(CommandLine, OutputBetweenMarkers) {
    const std::string fiveLines =
        "printf 'no markers\\nbefore START after\\nplain\\nhead END tail\\nlast\\n'";
    struct Case {
        std::string command;
        std::string start;
        std::string end;
        bool newline;
        std::string expected;
    } cases[] = {
        {fiveLines, "START", "END", true, " after\nplain\nhead \n"},
        {fiveLines, "START", "END", false, " afterplainhead "},
        {fiveLines, "", "NEVER", true, "no markers\nbefore START after\nplain\nhead END tail\nlast\n"},
        {fiveLines, "NEVER", "", true, ""},
        {fiveLines, "", "", false, "no markersbefore START afterplainhead END taillast"},
        // the end marker is not looked for on the start marker's line
        {"printf 'a START b END c\\nd END e\\n'", "START", "END", true, " b END c\nd \n"},
        {"printf 'no line end'", "", "", true, "no line end\n"},
        {"printf 'crlf\\r\\nx'", "", "", true, "crlf\r\nx\n"},
        {"true", "", "", true, ""},
    };
    for (const auto& c : cases) {
        auto result = CommandLineHelper::executeOnCommandLine(c.command, 5s, "", c.start, c.end, c.newline);
        EXPECT_EQ(result->output, c.expected) << c.command << " [" << c.start << "|" << c.end << "]";
        EXPECT_FALSE(result->timedOut);
        EXPECT_EQ(result->exitCode, 0);
    }
}

TEST(CommandLine, StandardInputAndErrorOutput) {
    auto echo = CommandLineHelper::executeOnCommandLine("cat", 5s, "one\ntwo", "", "", true);
    EXPECT_EQ(echo->output, "one\ntwo\n");

    ::testing::internal::CaptureStdout();
    auto result = CommandLineHelper::executeOnCommandLine("echo out; echo warn1 >&2; echo warn2 >&2", 5s, "", "", "", true);
    std::string printed = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(result->output, "out\n");
    EXPECT_EQ(result->errorOutput, "warn1\nwarn2\n");
    EXPECT_NE(printed.find("stderr: warn1\nstderr: warn2\n"), std::string::npos) << printed;

    // A child that never reads its input must not take the agent down with SIGPIPE.
    std::string big(1 << 20, 'x');
    auto ignored = CommandLineHelper::executeOnCommandLine("exit 0", 5s, big, "", "", true);
    EXPECT_EQ(ignored->exitCode, 0);
}

TEST(CommandLine, NonZeroExitIsAnErrorWithItsCode) {
    struct Case {
        const char* command;
        const char* message;
    } cases[] = {
        {"echo boom >&2; exit 3", "cmd failed with exit code 3"},
        {"no-such-program-lumivex", "cmd failed with exit code 127"},
        {"kill -TERM $$", "cmd failed with exit code 143"},
    };
    for (const auto& c : cases) {
        ::testing::internal::CaptureStdout();
        try {
            CommandLineHelper::executeOnCommandLine(c.command, 5s, "", "", "", true);
            ADD_FAILURE() << "no exception for " << c.command;
        } catch (const CommandLineException& e) {
            EXPECT_STREQ(e.what(), c.message);
        }
        std::string printed = ::testing::internal::GetCapturedStdout();
        EXPECT_NE(printed.find(std::string("exception on child process execution: ") + c.message), std::string::npos);
        if (std::string(c.command).find("boom") != std::string::npos) {
            EXPECT_NE(printed.find("stderr: boom\n"), std::string::npos) << printed;
        }
    }
    EXPECT_THROW(CommandLineHelper::executeForOutput("exit 1", 5s, true), CommandLineException);
    EXPECT_EQ(CommandLineHelper::tryExecuteForOutput("exit 1", 5s, true), std::nullopt);
}

TEST(CommandLine, TimeOutKillsTheCommandAndItsGrandchildren) {
    auto folder = freshFolder("cmd", "timeout");
    auto pidFile = folder / "grandchild";
    auto start = std::chrono::steady_clock::now();
    auto result = CommandLineHelper::executeOnCommandLine(
        "echo started; sleep 30 & echo $! > '" + pidFile.string() + "'; wait", 300ms, "", "", "", true);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(result->timedOut);
    EXPECT_LT(took, 2s);
    EXPECT_EQ(result->output, "started\n");  // what was captured before the time-out
    pid_t grandchild = readPid(pidFile);
    ASSERT_GT(grandchild, 0);
    EXPECT_TRUE(processEnded(grandchild));

    EXPECT_TRUE(CommandLineHelper::executeOnCommandLine("echo quick", 0ns, "", "", "", true)->timedOut);
    try {
        CommandLineHelper::executeForOutput("sleep 5", 200ms, true);
        ADD_FAILURE() << "no time-out";
    } catch (const CommandLineTimeoutException& e) {
        EXPECT_STREQ(e.what(), "TIMEOUT");
    }
    EXPECT_EQ(CommandLineHelper::tryExecuteForOutput("sleep 5", 200ms, true), std::nullopt);
}

TEST(CommandLine, ZeroTimeOutEndsTheCommandAtOnce) {
    // A time-out of zero is not "no limit": the child and what it started are
    // ended at once and the run counts as timed out.
    auto folder = freshFolder("cmd", "zero");
    auto pidFile = folder / "grandchild";
    const std::string command = "sleep 30 & echo $! > '" + pidFile.string() + "'; wait";

    auto start = std::chrono::steady_clock::now();
    auto run = lumivex::platform::runShellCommand("sleep 30", 0ns, "");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_TRUE(run.killed);
    EXPECT_EQ(run.exitCode, 1);

    start = std::chrono::steady_clock::now();
    auto result = CommandLineHelper::executeOnCommandLine(command, 0ns, "", "", "", true);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_TRUE(result->timedOut);
    pid_t grandchild = readPid(pidFile);
    if (grandchild > 0) {  // none when the shell was ended before it started one
        EXPECT_TRUE(processEnded(grandchild));
    }

    start = std::chrono::steady_clock::now();
    EXPECT_THROW(CommandLineHelper::executeForOutput("sleep 30", 0ns, true), CommandLineTimeoutException);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

TEST(CommandLine, ProcessesLeftBehindAreKilledOnReturn) {
    auto folder = freshFolder("cmd", "leftover");
    auto pidFile = folder / "daemon";
    auto result = CommandLineHelper::executeOnCommandLine(
        "sleep 30 > /dev/null 2>&1 < /dev/null & echo $! > '" + pidFile.string() + "'; echo done", 5s, "", "", "", true);
    EXPECT_FALSE(result->timedOut);
    EXPECT_EQ(result->output, "done\n");
    pid_t daemon = readPid(pidFile);
    ASSERT_GT(daemon, 0);
    EXPECT_TRUE(processEnded(daemon));
}

TEST(CommandLine, EndlessOutputIsCutAndDrainedUntilTheTimeOut) {
    // `yes` writes without end: the capture keeps its bound, keeps draining so
    // the command is not held on a full pipe, and the time-out still ends it.
    auto start = std::chrono::steady_clock::now();
    auto run = lumivex::platform::runShellCommand("yes lumivex", 1s, "");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    EXPECT_TRUE(run.killed);
    ASSERT_TRUE(run.standardOutput.has_value());
    EXPECT_EQ(run.standardOutput->size(), lumivex::platform::kMaxCapturedOutput);
    EXPECT_EQ(run.standardOutput->substr(0, 16), "lumivex\nlumivex\n");
    EXPECT_GT(run.discardedBytes, 0u);

    // A command that writes more than the bound and ends on its own still ends
    // normally, with the first bytes kept.
    auto bounded = lumivex::platform::runShellCommand("head -c 6000000 /dev/zero; echo done >&2", 10s, "");
    EXPECT_FALSE(bounded.killed);
    EXPECT_EQ(bounded.exitCode, 0);
    ASSERT_TRUE(bounded.standardOutput && bounded.standardError);
    EXPECT_EQ(bounded.standardOutput->size(), lumivex::platform::kMaxCapturedOutput);
    EXPECT_EQ(bounded.discardedBytes, 6000000u - lumivex::platform::kMaxCapturedOutput);
    EXPECT_EQ(*bounded.standardError, "done\n");
}

TEST(CommandLine, ConvenienceWrappers) {
    EXPECT_EQ(CommandLineHelper::executeForOutput("printf 'a\\nb\\n'", 5s, false), "ab");
    EXPECT_EQ(CommandLineHelper::tryExecuteForOutputDefaultTimeout("printf 'x\\n'", true), "x\n");
    EXPECT_EQ(CommandLineHelper::tryExecuteForOutputDefaultTimeout("true", true), std::nullopt);  // empty output
    EXPECT_EQ(CommandLineHelper::defaultTimeoutMs, 5000);

    EXPECT_EQ(CommandLineHelper::getEnvironmentValue("MISSING", "fallback"), "fallback");
    CommandLineHelper::setEnvironment({{"A", "1"}, {"B", "2"}});
    EXPECT_EQ(CommandLineHelper::getEnvironmentValue("A", "x"), "1");
    CommandLineHelper::setEnvironment({{"B", "3"}});
    EXPECT_EQ(CommandLineHelper::getEnvironmentValue("A", "x"), "x");  // replaced whole
    EXPECT_EQ(CommandLineHelper::getEnvironmentValue("B", "x"), "3");
}

TEST(CommandLine, ConcurrentCommandsKeepTheirOwnOutput) {
    std::vector<std::thread> threads;
    std::atomic<int> good{0};
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([t, &good] {
            for (int i = 0; i < 3; ++i) {
                auto out = CommandLineHelper::executeForOutput("echo " + std::to_string(t * 10 + i), 5s, false);
                good += out == std::to_string(t * 10 + i) ? 1 : 0;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(good.load(), 18);
}

TEST(ProgramSearch, NextToSelfThenAssetsThenAmd64) {
    auto folder = freshFolder("cmd", "programs");
    auto assets = folder / "data" / "flutter_assets" / "assets" / "bin";
    std::filesystem::create_directories(assets);
    std::ofstream(folder / "near").put('x');
    std::ofstream(assets / "bundled").put('x');
    std::ofstream(assets / "near").put('x');

    ::testing::internal::CaptureStdout();
    EXPECT_EQ(CommandLineHelper::findProgramIn("near", folder), folder / "near");
    EXPECT_EQ(CommandLineHelper::findProgramIn("bundled", folder), assets / "bundled");
    EXPECT_EQ(CommandLineHelper::findProgramIn("absent", folder), std::nullopt);
    std::string printed = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(printed.find("Found near near self at: \"" + (folder / "near").string() + "\""), std::string::npos);
    EXPECT_NE(printed.find("Found bundled in Windows/Linux Flutter assets folder at: \"" + (assets / "bundled").string() + "\""),
              std::string::npos);
    EXPECT_NE(printed.find("Did not find absent anywhere near \"" + folder.string() + "\""), std::string::npos);
    EXPECT_EQ(printed.find(".exe"), std::string::npos);

    // findProgram searches beside the running executable, falling back to NAME-amd64.
    auto self = lumivex::platform::executablePath();
    ASSERT_FALSE(self.empty());
    std::string name = "lumivex-probe-" + std::to_string(::getpid());
    auto amd64 = self.parent_path() / (name + "-amd64");
    std::ofstream(amd64).put('x');
    auto found = CommandLineHelper::findProgram(name);
    auto missing = CommandLineHelper::findProgram(name + "-none");
    std::filesystem::remove(amd64);
    EXPECT_EQ(found, amd64);
    EXPECT_EQ(missing, std::nullopt);
}
