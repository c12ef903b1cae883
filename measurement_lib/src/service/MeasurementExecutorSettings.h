#pragma once
// The settings of one measurement, handed to the measurement executor.
// The executor reads them, fills in what the controller tells it, and sets
// up logging from the log fields.

#include "model/StartMeasurementParameters.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace trevask::measurement_library {

class LmapControlDto;

// One log output. `type` is "ColorConsoleChannel", "ConsoleChannel",
// "SimpleFileChannel" or "FileChannel"; any other type is ignored. `path`
// and `rotation` apply to the file channels when not empty.
struct LogChannelConfiguration {
    std::string type;
    std::string path;
    std::string rotation;
};

struct MeasurementExecutorSettings {
    // The agent's UUID; read from agentUuidFile when empty.
    std::string agentUuid;
    // Controller base URL: registration and the control document.
    std::string controllerUrl;
    // Collector base URL, set from the registration answer and the control document.
    std::string collectorUrl;
    // When not empty, the report goes here instead of collectorUrl.
    std::string overrideCollectorUrl;
    // File holding the agent UUID (none when empty).
    std::string agentUuidFile;
    // File holding an LMAP control document (none when empty).
    std::string lmapControlFile;
    // The loaded control document; none until the executor loads one.
    std::shared_ptr<LmapControlDto> lmapControlDto;
    // QoS control server, filled by the executor from the control document.
    std::string qosServerHost;
    std::int32_t qosServerPort = 0;
    bool qosServerTls = false;
    // When not empty, every result of the report carries it.
    std::string resultTag;
    // Log the report (wire form, "Sending result: %s") before it is sent and
    // attach it to the crash reporter's send span as "measurementResult".
    bool logResult = false;
    // Log lines go through the pattern formatter.
    bool useLogPattern = true;
    // Root log level, a POCO priority (7 = debug).
    std::int32_t logLevel = 7;
    // Log outputs; empty means one console channel.
    std::vector<LogChannelConfiguration> logChannels;
    // Send the board-id credentials with controller and collector requests.
    bool useBoardIdAuth = false;
    // Verify a given agent UUID with the controller before use.
    bool verifyAgentUuid = false;
    // Set by the task runner at the start of each run.
    bool runConcurrently = false;
    // Values handed to the command-line helper when the executor is configured.
    std::map<std::string, std::string> environment;
    // The UI parameters of this measurement.
    std::shared_ptr<StartMeasurementParameters> startParameters;

    // Bounds of the whole controller exchanges (registration, control
    // document) and of the report upload, in milliseconds.
    std::int32_t controllerTimeoutMs = 10000;
    std::int32_t collectorTimeoutMs = 300000;

    // Filled by the executor for the caller: why a step failed (the failed
    // back-end steps in their order, "; " between them), and where a report
    // the collector did not accept was kept (empty when none was).
    std::string failure;
    std::string keptReportPath;
};

}  // namespace trevask::measurement_library
