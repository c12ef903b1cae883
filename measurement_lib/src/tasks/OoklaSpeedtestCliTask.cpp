#include "tasks/OoklaSpeedtestCliTask.h"

#include "helper/CommandLineHelper.h"
#include "helper/ConsoleOutput.h"
#include "model/SpeedTaskConfigurations.h"
#include "model/result/ExternalToolTaskResults.h"
#include "model/result/ProgramTaskResults.h"
#include "tasks/StandardConversions.h"
#include "tasks/TaskClock.h"
#include "tasks/TaskException.h"

#include <Poco/Logger.h>

#include <algorithm>
#include <chrono>

namespace trevask::measurement_library {

namespace {

bool isPlainWordCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
           c == '.' || c == ',' || c == ':' || c == '/' || c == '@' || c == '%' || c == '+' || c == '=';
}

}  // namespace

Poco::Logger& OoklaSpeedtestCliTask::logger() {
    static Poco::Logger& instance = Poco::Logger::get("OoklaSpeedtestCliTask");
    return instance;
}

OoklaSpeedtestCliTask::OoklaSpeedtestCliTask() : BaseTask(kTypeKey) {}

std::unique_ptr<BaseTask> OoklaSpeedtestCliTask::create(TaskConfiguration* configuration) {
    auto task = std::make_unique<OoklaSpeedtestCliTask>();
    task->setConfiguration(configuration);
    return task;
}

bool OoklaSpeedtestCliTask::accepts(TaskConfiguration* configuration) {
    return dynamic_cast<OoklaSpeedtestCliTaskConfiguration*>(configuration) != nullptr;
}

std::string OoklaSpeedtestCliTask::shellWord(const std::string& text) {
    bool plain = !text.empty();
    for (char c : text) plain = plain && isPlainWordCharacter(c);
    if (plain) return text;
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

std::string OoklaSpeedtestCliTask::programPath() {
    if (auto found = CommandLineHelper::findProgram(kProgramName)) {
        const std::string path = found->string();
        // A path found on disk is one argument whatever characters it holds.
        if (!path.empty()) return shellWord(path);
    }
    // A configured value is the settings' own and may carry more than a path.
    return CommandLineHelper::getEnvironmentValue(kProgramKey, kDefaultProgramPath);
}

std::string OoklaSpeedtestCliTask::buildCommandLine(const std::string& programPath,
                                                    const OoklaSpeedtestCliTaskConfiguration& configuration) {
    std::string command = programPath + kFixedOptions;
    const auto addOption = [&command](const char* option, const std::optional<std::string>& value) {
        if (value) command += std::string(" ") + option + " " + shellWord(*value);
    };
    addOption("-s", configuration.server_id);
    addOption("-o", configuration.server_host);
    addOption("-I", configuration.bind_interface);
    addOption("-i", configuration.bind_ip);
    return command;
}

void OoklaSpeedtestCliTask::doRunTask() {
    if (configuration == nullptr) throw TaskException("No configuration provided");
    auto* config = dynamic_cast<OoklaSpeedtestCliTaskConfiguration*>(configuration);
    if (config == nullptr) throw TaskException("Configuration is not an ookla speedtest cli task configuration");

    const std::string command = buildCommandLine(programPath(), *config);
    // Capped like every task's time-out (an absurd value must neither keep
    // the client running for years nor overflow the runner's deadline).
    const auto timeout = std::min<std::chrono::nanoseconds>(std::chrono::nanoseconds(parseStoll(config->timeout)),
                                                            kMaxTaskTimeout);
    poco_information_f1(logger(), "Running speed-test client: %s", command);
    try {
        output = CommandLineHelper::executeForOutput(command, timeout, false);
    } catch (const CommandLineTimeoutException& e) {
        throw TaskTimeoutException(e.what());
    } catch (const CommandLineException& e) {
        throw TaskException(e.what());
    }
    printLine(output);
}

std::unique_ptr<TaskResult> OoklaSpeedtestCliTask::createResult() {
    const bool embedded = configuration != nullptr && configuration->qostest == kEmbeddedType;
    std::unique_ptr<TaskResult> result;
    if (embedded) {
        auto record = std::make_unique<OoklaSpeedtestEmbeddedTaskResult>();
        if (!output.empty()) record->ookla_speedtest_embedded_result = std::make_unique<std::string>(output);
        result = std::move(record);
    } else {
        auto record = std::make_unique<OoklaSpeedtestCliTaskResult>();
        if (!output.empty()) record->ookla_speedtest_cli_result = std::make_unique<std::string>(output);
        result = std::move(record);
    }
    fillResult(result.get());
    return result;
}

}  // namespace trevask::measurement_library
