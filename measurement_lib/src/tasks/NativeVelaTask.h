#pragma once
// The "NATIVE_VELA" task: runs the speed test inside the process through the
// speed-test client's calling interface (mclient_create, mclient_run,
// mclient_free). It fills the client's configuration record from the task's
// VelaTaskConfiguration and fixed production values, turns the client's
// progress reports into IntermediateMeasurementCallback records for the
// host, reports client errors through errorCallback (code 8), parses the
// client's result JSON and copies it into a VelaTaskResult. It needs no QoS
// control connection.
//
// The client's callbacks are plain functions without a context pointer, so
// the run's texts and stored figures are process-wide: speed-test bodies run
// one at a time in the process (a second speed-test task waits for the
// first to end).
//
// Threads: doRunTask and createResult on the runner's pool thread;
// onClientProgress on a worker thread of the client while mclient_run
// blocks the task's thread; onClientResult and onClientError on the task's
// thread, before mclient_run returns.

#include "tasks/BaseTask.h"

#include "mclient.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace Poco {
class Logger;
}

namespace trevask::measurement_library {

struct SpeedTestOverrides;
struct SprintMeasurementResult;
struct TaskConfiguration;
struct TaskResult;
struct VelaTaskConfiguration;
struct VelaTaskResult;

// The three entry points of the speed-test client. TEST SEAM: tests replace
// them (setClientFunctionsForTesting) to produce failures the real client
// never produces; production always uses the real mclient_* functions.
struct SpeedTestClientFunctions {
    std::function<std::int32_t(const mclient_config*, std::uint32_t, mclient_handle*)> create;
    std::function<std::int32_t(mclient_handle, mclient_progress_fn, mclient_result_fn, mclient_error_fn)> run;
    std::function<void(mclient_handle)> release;
};

class NativeVelaTask : public BaseTask {
public:
    static constexpr const char* kTaskName = "NATIVE_VELA";
    // Code of the errors reported through errorCallback.
    static constexpr std::int32_t kClientErrorCode = 8;
    // Log verbosity handed to the client.
    static constexpr std::uint32_t kClientVerbosity = 2;

    NativeVelaTask();

    // The factory row: a VelaTaskConfiguration.
    static bool accepts(TaskConfiguration* configuration);
    static std::unique_ptr<BaseTask> create(TaskConfiguration* configuration);

    // Runs one speed test; throws TaskException on failure.
    void doRunTask() override;
    // A VelaTaskResult with the common fields and, after a successful run,
    // the parsed figures.
    std::unique_ptr<TaskResult> createResult() override;

    // Copies a parsed client result into the task result; nothing for a
    // null result or a null parsed result. Throws TaskException when the
    // configuration is not a VelaTaskConfiguration, and std::invalid_argument
    // or std::out_of_range for a raw-data connection key that is not a
    // decimal number.
    void fillVelaTaskResult(VelaTaskResult* result, const SprintMeasurementResult* parsed) const;

    // The client configuration record for a task configuration: the
    // configuration's server, TLS switch, phases and token, and the fixed
    // production values for everything else. With overrides (a test seam),
    // their values replace the fixed ones. The record's texts point into the
    // configuration.
    static mclient_config clientConfiguration(const VelaTaskConfiguration& configuration,
                                              const SpeedTestOverrides* overrides = nullptr);

    // The client's callbacks.
    static void onClientProgress(const mclient_progress* progress);
    static void onClientResult(const char* resultJson);
    static void onClientError(const char* errorText);

    // The process-wide texts of the last speed test (kept until the next
    // one starts).
    static std::optional<std::string> lastResultText();
    static std::optional<std::string> lastErrorText();
    // Clears the texts and the stored round-trip time and throughputs.
    static void clearClientState();

    // TEST SEAM: replaces the client's entry points for later speed tests
    // (no value: the real client again). Not for production code.
    static void setClientFunctionsForTesting(std::optional<SpeedTestClientFunctions> functions);

    // Logs under the name "NativeVelaTask".
    static Poco::Logger& logger();

private:
    std::shared_ptr<SprintMeasurementResult> parsedResult;
};

}  // namespace trevask::measurement_library
