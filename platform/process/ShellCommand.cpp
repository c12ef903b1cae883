#include "platform/process/ShellCommand.h"

#include <boost/asio/buffer.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/process/async_pipe.hpp>
#include <boost/process/args.hpp>
#include <boost/process/async.hpp>
#include <boost/process/child.hpp>
#include <boost/process/exe.hpp>
#include <boost/process/group.hpp>
#include <boost/process/io.hpp>

#include <signal.h>
#include <sys/wait.h>

#include <array>
#include <thread>
#include <vector>

namespace lumivex::platform {

namespace bp = boost::process;

namespace {

// Keeps SIGPIPE away from this thread while it writes the child's input: a
// child that exits without reading must give EPIPE, not end the agent. Any
// SIGPIPE raised meanwhile is consumed before the old mask returns.
struct SigpipeBlock {
    sigset_t previous{};
    SigpipeBlock() {
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, &previous);
    }
    ~SigpipeBlock() {
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        timespec zero{};
        while (sigtimedwait(&pipe, nullptr, &zero) > 0) {
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }
};

// Kills what is left of the group however the call ends.
struct GroupGuard {
    bp::group& group;
    ~GroupGuard() {
        std::error_code ec;
        group.terminate(ec);
    }
};

// Reads one of the child's output streams until it closes. Keeps at most
// kMaxCapturedOutput bytes and drains the rest, so a command that writes
// without end neither grows our memory nor blocks on a full pipe.
struct Capture {
    bp::async_pipe pipe;
    std::string text;
    std::size_t discarded = 0;
    bool closed = false;
    std::array<char, 16 * 1024> chunk{};

    explicit Capture(boost::asio::io_context& io) : pipe(io) {}

    void read() {
        pipe.async_read_some(boost::asio::buffer(chunk), [this](const boost::system::error_code& ec, std::size_t n) {
            std::size_t keep = std::min(n, kMaxCapturedOutput - text.size());
            text.append(chunk.data(), keep);
            discarded += n - keep;
            if (ec) {
                closed = true;
                return;
            }
            read();
        });
    }

    std::optional<std::string> take() { return closed ? std::optional<std::string>(std::move(text)) : std::nullopt; }
};

}  // namespace

ShellRun runShellCommand(const std::string& command, std::chrono::nanoseconds timeout, const std::string& stdinText,
                         std::chrono::milliseconds grace) {
    ShellRun run;
    boost::asio::io_context io;
    bp::group group;
    GroupGuard guard{group};
    Capture out(io);
    Capture err(io);
    std::vector<std::string> args{"-c", command};

    auto start = std::chrono::steady_clock::now();
    bp::child child;
    if (stdinText.empty()) {
        child = bp::child(bp::exe = "/bin/sh", bp::args = args, bp::std_in.close(), bp::std_out > out.pipe,
                          bp::std_err > err.pipe, io, group);
    } else {
        child = bp::child(bp::exe = "/bin/sh", bp::args = args, bp::std_in < boost::asio::buffer(stdinText),
                          bp::std_out > out.pipe, bp::std_err > err.pipe, io, group);
    }

    out.read();
    err.read();

    // After the spawn, so the child does not inherit the blocked signal.
    SigpipeBlock sigpipeBlock;
    auto deadline = start + std::max(timeout, std::chrono::nanoseconds(0));
    if (timeout > std::chrono::nanoseconds(0)) io.run_until(deadline);

    // The pipes may close a moment before the child has exited: give it
    // until the deadline to do so.
    std::error_code ec;
    auto pause = std::chrono::microseconds(200);
    while (child.running(ec) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::min<std::chrono::nanoseconds>(pause, deadline - std::chrono::steady_clock::now()));
        pause = std::min(pause * 2, std::chrono::microseconds(5000));
    }
    if (child.running(ec)) {
        run.killed = true;
        group.terminate(ec);
    }
    child.wait(ec);
    run.elapsed = std::chrono::steady_clock::now() - start;
    if (run.killed) {
        run.exitCode = 1;
    } else {
        int native = child.native_exit_code();
        if (WIFEXITED(native)) run.exitCode = WEXITSTATUS(native);
        else if (WIFSIGNALED(native)) run.exitCode = 128 + WTERMSIG(native);
        else run.exitCode = child.exit_code();
    }
    // A grandchild may still hold the pipes; ending the group closes them.
    group.terminate(ec);
    io.restart();
    io.run_for(grace);
    run.standardOutput = out.take();
    run.standardError = err.take();
    run.discardedBytes = out.discarded + err.discarded;
    return run;
}

std::filesystem::path executablePath() {
    std::error_code ec;
    auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::path() : path;
}

}  // namespace lumivex::platform
