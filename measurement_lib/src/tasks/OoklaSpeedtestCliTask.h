#pragma once
// Runs the vendor's speed-test command-line client as an external program,
// asks it for JSON output and keeps that output as the result text. Serves
// the "OOKLA_SPEEDTEST_CLI" and "OOKLA_SPEEDTEST_EMBEDDED" configurations;
// only the kind of result differs. It needs no QoS control connection.

#include "tasks/BaseTask.h"

#include <memory>
#include <string>

namespace Poco {
class Logger;
}

namespace trevask::measurement_library {

struct OoklaSpeedtestCliTaskConfiguration;

class OoklaSpeedtestCliTask : public BaseTask {
public:
    static constexpr const char* kTypeKey = "OOKLA_SPEEDTEST_CLI";
    static constexpr const char* kEmbeddedType = "OOKLA_SPEEDTEST_EMBEDDED";
    // The program looked for beside the agent.
    static constexpr const char* kProgramName = "speedtest";
    // Configured value naming the program when none is found beside the agent.
    static constexpr const char* kProgramKey = "OOKLA_SPEEDTEST_CLI";
    static constexpr const char* kDefaultProgramPath = "/usr/bin/speedtest";
    static constexpr const char* kFixedOptions = " --accept-license --accept-gdpr -P 8 -f json";

    OoklaSpeedtestCliTask();

    static std::unique_ptr<BaseTask> create(TaskConfiguration* configuration);
    static bool accepts(TaskConfiguration* configuration);

    void doRunTask() override;
    std::unique_ptr<TaskResult> createResult() override;

    // The program beside the agent, else the configured value of
    // kProgramKey, else kDefaultProgramPath.
    static std::string programPath();
    // The program path, the fixed options, then "-s", "-o", "-I" and "-i"
    // with each present optional text (also when empty), single blanks in
    // between. An option text that the shell would not take as one plain
    // word is quoted, so that no text from the control document can add
    // commands or arguments.
    static std::string buildCommandLine(const std::string& programPath,
                                        const OoklaSpeedtestCliTaskConfiguration& configuration);
    // `text` unchanged when it consists only of characters that the shell
    // takes literally in a word, else single-quoted.
    static std::string shellWord(const std::string& text);

    // Logs under the name "OoklaSpeedtestCliTask".
    static Poco::Logger& logger();

private:
    std::string output;  // the client's standard output
};

}  // namespace trevask::measurement_library
