#pragma once
// Runs external commands through the shell with a time-out, captures their
// output and reports failures as exceptions; finds helper programs next to
// the agent; keeps the process-wide map of configured values.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

namespace Poco {
class Logger;
}

namespace trevask::measurement_library {

struct CommandLineResult {
    std::string output;       // the selected standard output
    std::string errorOutput;  // the whole standard error
    int exitCode = 0;
    bool timedOut = false;    // the run took longer than the time-out
};

class CommandLineException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class CommandLineTimeoutException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class CommandLineHelper {
public:
    static constexpr std::int64_t defaultTimeoutMs = 5000;

    // Runs `command` with "/bin/sh -c" in a process group of its own; every
    // process left in the group is killed when the call returns. With a start
    // marker only the output after it is kept, up to the end marker. A
    // time-out is not an error (timedOut is set); a non-zero exit code within
    // the time is. Throws CommandLineException on every failure.
    static std::unique_ptr<CommandLineResult> executeOnCommandLine(std::string command, std::chrono::nanoseconds timeout,
                                                                   std::string stdinText, std::string startMarker,
                                                                   std::string endMarker, bool appendNewline);
    // The output; CommandLineTimeoutException "TIMEOUT" when timed out.
    static std::string executeForOutput(std::string command, std::chrono::nanoseconds timeout, bool appendNewline);
    // Never throws; absent on any failure and for empty output.
    static std::optional<std::string> tryExecuteForOutput(std::string command, std::chrono::nanoseconds timeout,
                                                          bool appendNewline);
    static std::optional<std::string> tryExecuteForOutputDefaultTimeout(std::string command, bool appendNewline);

    // Echoes every line of the pending standard-error text (no value: not
    // ready in time, taken as empty) with "stderr: " and returns the text.
    static std::string readErrorOutput(std::optional<std::string> pending);

    // Looks for NAME, then NAME-amd64, next to the running executable and in
    // its Flutter asset folder ("data/flutter_assets/assets/bin").
    static std::optional<std::filesystem::path> findProgram(std::string name);
    static std::optional<std::filesystem::path> findProgramIn(std::string name, const std::filesystem::path& folder);

    static std::string getEnvironmentValue(const std::string& key, std::string defaultValue);
    static void setEnvironment(const std::map<std::string, std::string>& values);
    // Logs under the name "CommandLineHelper".
    static Poco::Logger& logger();
};

}  // namespace trevask::measurement_library
