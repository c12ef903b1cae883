#pragma once
// Runs one full measurement: configures the back-end connection, obtains the
// LMAP control document (file and/or controller, registering the agent
// first when it has no UUID), plans the tasks, runs them on a task runner
// while the system sampler records CPU and memory, builds the LMAP report and
// posts it to the collector. A process-wide singleton; every operation is
// synchronous and runs on the caller's thread.

#include "service/TaskFactory.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace Poco {
class Logger;
}

namespace trevask::measurement_library {

struct MeasurementExecutorSettings;
struct StartMeasurementParameters;
struct TaskResult;
struct LmapControlDto;
class MeasurementResultResponse;

struct MeasurementProgress {
    std::vector<const TaskResult*>& results;
    float progress = 0;
};

class MeasurementExecutorService {
public:
    // The singleton, made on first use; configured when settings are given.
    static MeasurementExecutorService& getInstance(MeasurementExecutorSettings* settings = nullptr);

    // Copies share the start parameters and the settings pointer; a run binds
    // its result handler to such a copy.
    MeasurementExecutorService(const MeasurementExecutorService&) = default;
    MeasurementExecutorService& operator=(const MeasurementExecutorService&) = default;

    void configure(MeasurementExecutorSettings* settings);

    // Throws std::runtime_error "No lmap control dto loaded. Refusing
    // measurement execution" or "No valid tasks found. No measurements
    // executed". An empty answer when the run produced no collector answer.
    std::unique_ptr<MeasurementResultResponse> executeFullMeasurement(MeasurementExecutorSettings* settings,
                                                                      bool reconfigure, bool forceReload,
                                                                      bool useController);

    void loadLmapControlDto(MeasurementExecutorSettings* settings, bool useController, bool forceReload);

    // The task configurations of a control document. Every configuration it
    // creates is kept by the document, so the list stays valid as long as
    // the document lives.
    std::vector<TaskConfiguration*> parseIntoTaskConfiguration(LmapControlDto* document);

    // An empty answer on every failure, also when a run is already current.
    std::unique_ptr<MeasurementResultResponse> executeMeasurements(MeasurementExecutorSettings* settings,
                                                                   std::vector<TaskConfiguration*> configurations,
                                                                   std::string collectorUrl, std::string extraData);

    // The runner's result handler (bound only when progressCallback is set).
    void newTaskResultReady(const TaskResult* result);

    // Tasks for the configurations, in their order, from the first entry of
    // the table that accepts each.
    static std::vector<std::unique_ptr<BaseTask>> createTasks(const TaskFactoryTable& table,
                                                              const std::vector<TaskConfiguration*>& configurations);
    // The factory table (built on first use).
    static const TaskFactoryTable& buildTaskFactories();

    // True while a run is current (from the runner's creation to its end).
    static bool isRunning();

    std::function<void(MeasurementProgress&)> progressCallback;

    static Poco::Logger& logger();

private:
    MeasurementExecutorService() = default;

    std::uint32_t taskCount = 0;
    std::vector<const TaskResult*> results;
    std::shared_ptr<StartMeasurementParameters> startParameters;
    MeasurementExecutorSettings* settings = nullptr;
};

// Ascending concurrency group; equal groups keep their order.
void sortTaskConfigurations(std::vector<TaskConfiguration*>& configurations);

}  // namespace trevask::measurement_library
