#pragma once
// Stand-in for running a command through the command interpreter inside a
// job object: "/bin/sh -c COMMAND" in a process group of its own. When the
// call returns, normally or by time-out, every process left in the group is
// killed, so grandchildren do not outlive the call.

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

namespace lumivex::platform {

// Each captured stream keeps at most this many bytes; the rest is read and
// dropped (ShellRun::discardedBytes).
inline constexpr std::size_t kMaxCapturedOutput = 4 * 1024 * 1024;

struct ShellRun {
    // The captured streams; no value when not complete within the grace time
    // after the child ended or was killed.
    std::optional<std::string> standardOutput;
    std::optional<std::string> standardError;
    int exitCode = 0;   // the child's exit code; 1 when it was killed at the time-out;
                        // 128 + signal when a signal ended it
    bool killed = false;              // still running at the time-out
    std::chrono::nanoseconds elapsed{};  // from start until the child ended or was killed
    std::size_t discardedBytes = 0;      // output beyond kMaxCapturedOutput, both streams
};

// Runs the command. stdinText is written to the child's standard input
// (closed when empty). The pipes are read until they close or the time-out
// passes; output is then awaited for at most `grace`. Throws
// std::system_error when the child cannot be started.
ShellRun runShellCommand(const std::string& command, std::chrono::nanoseconds timeout, const std::string& stdinText,
                         std::chrono::milliseconds grace = std::chrono::milliseconds(100));

// The running executable's own path; empty when it cannot be determined.
std::filesystem::path executablePath();

}  // namespace lumivex::platform
