#pragma once
// The agent's measurement counts by month, asked of the back end with a
// request record in the {"data", "request_info"} envelope.

#include <cstdint>
#include <optional>
#include <string>

namespace trevask::measurement_library {
class RequestService;
}

namespace trevask::measurement_sdk {

class MonthlyMeasurementService {
public:
    MonthlyMeasurementService();
    // Over the given request service (the process-wide one by default).
    explicit MonthlyMeasurementService(measurement_library::RequestService* service);

    // POST url + "/measurement-agents/{agentUuid}/measurement-count". The
    // response body for any HTTP status; no value when no response was read
    // or the body could not be built.
    std::optional<std::string> postMeasurementCount(const std::string& url, const std::string& agentUuid,
                                                    const std::optional<std::int32_t>& year,
                                                    const std::optional<std::int32_t>& month,
                                                    const std::optional<std::string>& lang);

private:
    measurement_library::RequestService* requestService;
};

}  // namespace trevask::measurement_sdk
