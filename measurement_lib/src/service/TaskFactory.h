#pragma once
// The task factory table: for each configuration kind that a task of this
// agent runs, a predicate that recognises the kind and a factory that makes
// the task. Configurations that no entry accepts get no task.

#include "model/TaskConfiguration.h"

#include <functional>
#include <memory>
#include <vector>

namespace trevask::measurement_library {

class BaseTask;

struct TaskFactoryEntry {
    std::function<bool(TaskConfiguration*)> accepts;
    std::function<std::unique_ptr<BaseTask>(TaskConfiguration*)> create;
};

using TaskFactoryTable = std::vector<TaskFactoryEntry>;

// The process-wide table, built on first use (thread-safe) and never
// changed. Rows in order: native speed test, TCP, UDP, non-transparent
// proxy, traceroute, SIP, VoIP, DNS, HTTP proxy, program, and the vendor's
// speed-test command-line client.
const TaskFactoryTable& taskFactories();

// The catch-all that gathers the configurations no entry accepted; it is
// offered to the table too, and no entry takes it. Owns nothing.
struct JavaTaskConfiguration : TaskConfiguration {
    JavaTaskConfiguration() { timeout = "360000000000"; }
    std::vector<TaskConfiguration*> configurations;
};

}  // namespace trevask::measurement_library
