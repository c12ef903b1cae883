#include "helper/CommandLineHelper.h"

#include "helper/ConsoleOutput.h"
#include "helper/SentryHelper.h"
#include "platform/process/ShellCommand.h"

#include <Poco/Format.h>
#include <Poco/Logger.h>

#include <mutex>
#include <shared_mutex>
#include <sstream>
#include <vector>

namespace trevask::measurement_library {

namespace {

// One whole line on standard output from pieces that stream like std::cout
// (paths keep their quotes).
template <typename... Pieces>
void printPieces(const Pieces&... pieces) {
    std::ostringstream line;
    (line << ... << pieces);
    printLine(line.str());
}

}  // namespace

Poco::Logger& CommandLineHelper::logger() {
    static Poco::Logger& instance = Poco::Logger::get("CommandLineHelper");
    return instance;
}

namespace {

std::shared_mutex environmentMutex;
std::map<std::string, std::string>& environment() {
    static std::map<std::string, std::string> values;
    return values;
}

// Lines split at line feeds; a final piece without line feed is a line too.
std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

std::string selectOutput(const std::string& text, const std::string& startMarker, const std::string& endMarker,
                         bool appendNewline) {
    std::string output;
    bool inside = startMarker.empty();
    const char* suffix = appendNewline ? "\n" : "";
    for (const auto& line : splitLines(text)) {
        if (inside) {
            auto end = endMarker.empty() ? std::string::npos : line.find(endMarker);
            if (end != std::string::npos) {
                output += line.substr(0, end) + suffix;
                break;
            }
            output += line + suffix;
        } else {
            auto start = line.find(startMarker);
            if (start == std::string::npos) continue;
            output += line.substr(start + startMarker.size()) + suffix;
            inside = true;
        }
    }
    return output;
}

}  // namespace

std::unique_ptr<CommandLineResult> CommandLineHelper::executeOnCommandLine(std::string command,
                                                                           std::chrono::nanoseconds timeout,
                                                                           std::string stdinText,
                                                                           std::string startMarker,
                                                                           std::string endMarker, bool appendNewline) {
    try {
        auto run = lumivex::platform::runShellCommand(command, timeout, stdinText);
        auto result = std::make_unique<CommandLineResult>();
        result->exitCode = run.exitCode;
        result->timedOut = run.elapsed > timeout;
        if (logger().information()) {
            logger().information(Poco::format("executing cmd: %s, %s %Lu %d", command,
                                              std::string(result->timedOut ? "timed out after" : "took"),
                                              static_cast<Poco::UInt64>(run.elapsed.count()), result->exitCode),
                                 __FILE__, __LINE__);
        }
        if (run.discardedBytes > 0) {
            poco_warning_f2(logger(), "cmd output cut: %s wrote %Lu bytes beyond what is kept", command,
                            static_cast<Poco::UInt64>(run.discardedBytes));
        }
        if (!result->timedOut && result->exitCode != 0) {
            readErrorOutput(run.standardError);
            throw CommandLineException("cmd failed with exit code " + std::to_string(result->exitCode));
        }
        if (run.standardOutput) result->output = selectOutput(*run.standardOutput, startMarker, endMarker, appendNewline);
        result->errorOutput = readErrorOutput(run.standardError);
        return result;
    } catch (const std::exception& e) {
        SentryHelper::captureException(e);
        printPieces("exception on child process execution: ", e.what());
        poco_error_f1(logger(), "exception on child process execution\n%s", std::string(e.what()));
        throw CommandLineException(e.what());
    } catch (...) {
        poco_error(logger(), "non-exception thrown from child process");
        throw CommandLineException("ERROR");
    }
}

std::string CommandLineHelper::executeForOutput(std::string command, std::chrono::nanoseconds timeout,
                                                bool appendNewline) {
    auto result = executeOnCommandLine(std::move(command), timeout, "", "", "", appendNewline);
    if (result->timedOut) throw CommandLineTimeoutException("TIMEOUT");
    return std::move(result->output);
}

std::optional<std::string> CommandLineHelper::tryExecuteForOutput(std::string command, std::chrono::nanoseconds timeout,
                                                                  bool appendNewline) {
    try {
        std::string output = executeForOutput(std::move(command), timeout, appendNewline);
        if (output.empty()) return std::nullopt;
        return output;
    } catch (...) {
        return std::nullopt;
    }
}

std::optional<std::string> CommandLineHelper::tryExecuteForOutputDefaultTimeout(std::string command,
                                                                                bool appendNewline) {
    return tryExecuteForOutput(std::move(command), std::chrono::milliseconds(defaultTimeoutMs), appendNewline);
}

std::string CommandLineHelper::readErrorOutput(std::optional<std::string> pending) {
    std::string text = pending.value_or("");
    for (const auto& line : splitLines(text)) {
        printPieces("stderr: ", line);
        poco_error_f1(logger(), "stderr: %s", line);
    }
    return text;
}

std::optional<std::filesystem::path> CommandLineHelper::findProgram(std::string name) {
    std::filesystem::path folder;
    std::filesystem::path self = lumivex::platform::executablePath();
    if (!self.empty()) {
        folder = self.parent_path();
        printPieces("Using parent path: ", folder);
        poco_information_f1(logger(), "Using parent path %s", folder.string());
    }
    if (auto found = findProgramIn(name, folder)) return found;
    return findProgramIn(name + "-amd64", folder);
}

std::optional<std::filesystem::path> CommandLineHelper::findProgramIn(std::string name,
                                                                      const std::filesystem::path& folder) {
    std::error_code ec;
    std::filesystem::path candidate = folder / name;
    printPieces("Trying: ", candidate);
    poco_information_f1(logger(), "Trying %s", candidate.string());
    if (std::filesystem::exists(candidate, ec)) {
        printPieces("Found ", name, " near self at: ", candidate);
        poco_information(logger(), "Found " + name + " near self at: " + candidate.string());
        return candidate;
    }
    candidate = folder / "data" / "flutter_assets" / "assets" / "bin" / name;
    printPieces("Trying: ", candidate);
    poco_information_f1(logger(), "Trying %s", candidate.string());
    if (std::filesystem::exists(candidate, ec)) {
        printPieces("Found ", name, " in Windows/Linux Flutter assets folder at: ", candidate);
        poco_information(logger(), "Found " + name + " in Windows/Linux Flutter assets folder at: " + candidate.string());
        return candidate;
    }
    printPieces("Did not find ", name, " anywhere near ", folder);
    poco_information_f2(logger(), "Did not find %s anywhere near %s", name, folder.string());
    return std::nullopt;
}

std::string CommandLineHelper::getEnvironmentValue(const std::string& key, std::string defaultValue) {
    std::shared_lock lock(environmentMutex);
    auto it = environment().find(key);
    return it == environment().end() ? std::move(defaultValue) : it->second;
}

void CommandLineHelper::setEnvironment(const std::map<std::string, std::string>& values) {
    std::unique_lock lock(environmentMutex);
    environment() = values;
}

}  // namespace trevask::measurement_library
