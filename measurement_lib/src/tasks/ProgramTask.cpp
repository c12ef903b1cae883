#include "tasks/ProgramTask.h"

#include "helper/CommandLineHelper.h"
#include "model/ProgramTaskConfiguration.h"
#include "model/result/ProgramTaskResults.h"
#include "service/RequestService.h"
#include "tasks/TaskException.h"

#include <Poco/Logger.h>

#include <chrono>

namespace trevask::measurement_library {

namespace {

constexpr std::chrono::nanoseconds kCommandTimeout = std::chrono::seconds(10);
constexpr std::uint32_t kServerRequestTimeoutMs = 30000;

Poco::Logger& programLogger() {
    static Poco::Logger& instance = Poco::Logger::get("ProgramTask");
    return instance;
}

}  // namespace

const std::array<const char*, 3>& ProgramTask::systemInfoCommands() {
    static const std::array<const char*, 3> commands{"uname -a; cat /etc/os-release", "df -P", "lscpu"};
    return commands;
}

ProgramTask::ProgramTask() : BaseTask(kTaskName) {}

bool ProgramTask::accepts(TaskConfiguration* configuration) {
    return dynamic_cast<ProgramTaskConfiguration*>(configuration) != nullptr;
}

std::unique_ptr<BaseTask> ProgramTask::create(TaskConfiguration* configuration) {
    auto task = std::make_unique<ProgramTask>();
    task->setConfiguration(configuration);
    return task;
}

void ProgramTask::doRunTask() {
    if (configuration == nullptr) throw TaskException("No configuration provided");
    const auto* program = dynamic_cast<const ProgramTaskConfiguration*>(configuration);
    if (program == nullptr) throw TaskException("Configuration is not a Program Task configuration");

    programLogger().information("Running program task '%s': '%s' with arguments: '%s'", program->taskName,
                                program->program, program->arguments);

    const std::string& name = program->taskName;
    if (name == "PROGRAM_SERVER_TRACEROUTE" || name == "PROGRAM_SERVER_LOAD") {
        auto response = RequestService::getInstance()->performStringRequest(program->arguments, "GET", std::string(),
                                                                            std::nullopt, kServerRequestTimeoutMs);
        if (response) {
            output = response->body;
            resultText = "OK";
        } else {
            resultText = "ERROR";
        }
    } else if (name == "PROGRAM_CLIENT_SYSINFO") {
        for (const char* command : systemInfoCommands()) {
            const std::string commandOutput = CommandLineHelper::executeForOutput(command, kCommandTimeout, true);
            output += "\n";
            output += commandOutput;
        }
        resultText = "OK";
    } else if (!program->program.empty()) {
        auto result = CommandLineHelper::executeOnCommandLine(program->program + " " + program->arguments,
                                                              kCommandTimeout, std::string(), std::string(),
                                                              std::string(), true);
        resultText = result->errorOutput.empty() ? "OK" : "ERROR";
        output = result->output;
    }

    programLogger().information("Result for task %s: %s", program->program, resultText);
}

std::unique_ptr<TaskResult> ProgramTask::createResult() {
    auto result = std::make_unique<ProgramTaskResult>();
    fillResult(result.get());
    result->result = resultText;
    result->output = output;
    if (const auto* program = dynamic_cast<const ProgramTaskConfiguration*>(configuration)) {
        result->task_name = program->taskName;
    }
    return result;
}

}  // namespace trevask::measurement_library
