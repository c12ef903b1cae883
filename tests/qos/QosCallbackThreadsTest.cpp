// Reply callbacks run on threads of their own that outlive their connection
// but not the process: exit waits for them before static destruction.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include "QosCallbackThreads.h"

extern char** environ;

using namespace std::chrono_literals;
using trevask::measurement_library::QosCallbackThreads;

namespace {

using Clock = std::chrono::steady_clock;

struct ProcessRun {
    bool exited = false;
    int exitCode = -1;
    std::string standardError;
};

// Runs the program with its standard error captured; killed after the bound.
ProcessRun runProgram(const std::string& path, std::chrono::milliseconds bound) {
    ProcessRun run;
    int err[2];
    if (::pipe2(err, O_CLOEXEC) != 0) return run;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(err[1]);
    if (spawned != 0) {
        ::close(err[0]);
        return run;
    }
    const auto until = Clock::now() + bound;
    while (Clock::now() < until) {
        pollfd readable{err[0], POLLIN, 0};
        if (::poll(&readable, 1, 50) <= 0) continue;
        char buffer[4096];
        const ssize_t n = ::read(err[0], buffer, sizeof buffer);
        if (n <= 0) break;  // the process closed its end: it is ending
        run.standardError.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(err[0]);
    int status = 0;
    pid_t done = 0;
    while ((done = ::waitpid(pid, &status, WNOHANG)) == 0 && Clock::now() < until) std::this_thread::sleep_for(10ms);
    if (done == 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        return run;
    }
    run.exited = WIFEXITED(status);
    run.exitCode = run.exited ? WEXITSTATUS(status) : -1;
    return run;
}

}  // namespace

// A reply whose callback is still logging when main returns: exit waits for
// it, its last line goes out, and the process ends cleanly.
TEST(QosCallbackThreads, ExitWaitsForALateReplysCallback) {
    const auto run = runProgram(std::string(LUMIVEX_BINARY_DIR) + "/tests/qos/qos_exit_probe", 20000ms);
    ASSERT_TRUE(run.exited) << run.standardError;
    EXPECT_EQ(run.exitCode, 0) << run.standardError;
    EXPECT_NE(run.standardError.find("callback started"), std::string::npos) << run.standardError;
    EXPECT_NE(run.standardError.find("callback done"), std::string::npos) << run.standardError;
    EXPECT_EQ(run.standardError.find("ERROR: AddressSanitizer"), std::string::npos) << run.standardError;
    EXPECT_EQ(run.standardError.find("runtime error"), std::string::npos) << run.standardError;
}

// Callback threads are counted while they run, and a callback that throws
// leaves the count right.
TEST(QosCallbackThreads, CountsRunningCallbacks) {
    struct Gate {
        std::mutex mutex;
        std::condition_variable changed;
        int entered = 0;
        bool open = false;
    };
    auto gate = std::make_shared<Gate>();
    const std::size_t before = QosCallbackThreads::running();
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(QosCallbackThreads::start([gate, i] {
            std::unique_lock lock(gate->mutex);
            ++gate->entered;
            gate->changed.notify_all();
            gate->changed.wait(lock, [&] { return gate->open; });
            if (i == 0) throw std::runtime_error("callback failure");
        }));
    }
    {
        std::unique_lock lock(gate->mutex);
        ASSERT_TRUE(gate->changed.wait_for(lock, 5s, [&] { return gate->entered == 3; }));
        EXPECT_EQ(QosCallbackThreads::running(), before + 3);
        gate->open = true;
    }
    gate->changed.notify_all();
    const auto until = Clock::now() + 5s;
    while (QosCallbackThreads::running() != before && Clock::now() < until) std::this_thread::sleep_for(1ms);
    EXPECT_EQ(QosCallbackThreads::running(), before);
}
