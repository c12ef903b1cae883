#pragma once
// The "PROGRAM" task: runs one program of the control document and reports
// its output as text. Built-in task names fetch a report from a server over
// HTTP or collect the machine's system information; any other name runs the
// configured program with its arguments through the shell.

#include "tasks/BaseTask.h"

#include <array>
#include <memory>
#include <string>

namespace trevask::measurement_library {

struct TaskConfiguration;
struct TaskResult;

class ProgramTask : public BaseTask {
public:
    static constexpr const char* kTaskName = "PROGRAM";

    ProgramTask();

    static bool accepts(TaskConfiguration* configuration);
    static std::unique_ptr<BaseTask> create(TaskConfiguration* configuration);

    void doRunTask() override;
    std::unique_ptr<TaskResult> createResult() override;

    // The commands that gather the machine's system information, in order:
    // OS and kernel, file systems, processor.
    static const std::array<const char*, 3>& systemInfoCommands();

private:
    std::string resultText;
    std::string output;
};

}  // namespace trevask::measurement_library
