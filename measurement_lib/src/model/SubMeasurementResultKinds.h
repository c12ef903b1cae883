#pragma once
// The QoS and program sub-results of an LMAP report result entry. Both point
// at task result records that the task runner owns; they never own them.

#include "model/SubMeasurementResult.h"

#include <vector>

namespace trevask::measurement_library {

struct TaskResult;

struct QoSMeasurementResult : SubMeasurementResult {
    static constexpr const char* kType = "qos_result";
    QoSMeasurementResult() : SubMeasurementResult(kType) {}
    ~QoSMeasurementResult() override = default;

    std::vector<TaskResult*> results;  // not owned; a null entry is written as null
};

struct ProgramTaskMeasurementResult : SubMeasurementResult {
    static constexpr const char* kType = "program_task_result";
    ProgramTaskMeasurementResult() : SubMeasurementResult(kType) {}
    ~ProgramTaskMeasurementResult() override = default;

    TaskResult* result = nullptr;  // not owned
};

}  // namespace trevask::measurement_library
