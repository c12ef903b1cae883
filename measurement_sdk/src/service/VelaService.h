#pragma once
// The service behind the measurement channel's two heavy calls: registering
// the agent with the back end, and running one full measurement through the
// measurement executor. Both run on worker threads, never on the UI thread.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace Poco {
class Logger;
}

namespace trevask::measurement_library {
class RequestService;
class MeasurementResultResponse;
struct MeasurementExecutorSettings;
struct StartMeasurementParameters;
}  // namespace trevask::measurement_library

namespace trevask::measurement_sdk {

class VelaService {
public:
    VelaService();

    // POSTs the registration to url + "/measurement-agents" (query "lang"
    // when given). The response body for any status; no value when no
    // response was read.
    std::optional<std::string> registerAgent(const std::string& url, const std::optional<std::string>& agentUuid,
                                             std::uint16_t tcVersionAccepted, bool isTcAccepted,
                                             const std::optional<std::string>& groupName,
                                             const std::optional<std::string>& lang);

    // Runs one full measurement and returns the collector's answer; empty
    // when the measurement failed or produced no answer, and lastFailure()
    // then says why (the failed steps with HTTP status and the back end's
    // error message, and where an undelivered report was kept). A start
    // while another measurement starts or runs is refused before anything
    // is fetched.
    std::unique_ptr<measurement_library::MeasurementResultResponse> startMeasurement(
        const measurement_library::StartMeasurementParameters& params);

    static std::unique_ptr<measurement_library::MeasurementExecutorSettings> buildExecutorSettings(
        const measurement_library::StartMeasurementParameters& params);

    static Poco::Logger& logger();

    // Why the last startMeasurement gave no answer; empty after one that did.
    const std::string& lastFailure() const { return failure_; }
    // Where the last startMeasurement kept a report the collector did not
    // accept; empty when none was kept.
    const std::string& keptReportPath() const { return keptReportPath_; }

private:
    measurement_library::RequestService* requestService;
    std::string failure_;
    std::string keptReportPath_;
};

}  // namespace trevask::measurement_sdk
