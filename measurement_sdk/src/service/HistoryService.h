#pragma once
// The agent's measurement history kept by the back end: the paged list, one
// measurement in its detailed and its full form, and the removal of one or
// all measurements from the agent. Each call returns the response body for
// any HTTP status and no value when no response was read.

#include <cstdint>
#include <optional>
#include <string>

namespace trevask::measurement_library {
class RequestService;
}

namespace trevask::measurement_sdk {

class HistoryService {
public:
    HistoryService();
    // Over the given request service (the process-wide one by default).
    explicit HistoryService(measurement_library::RequestService* service);

    std::optional<std::string> disassociateAgent(const std::string& url, const std::string& agentUuid,
                                                 const std::optional<std::string>& lang);
    std::optional<std::string> disassociateSingleMeasurement(const std::string& url, const std::string& agentUuid,
                                                             const std::string& measurementUuid,
                                                             const std::optional<std::string>& lang);
    std::optional<std::string> requestHistory(const std::string& url, const std::string& agentUuid,
                                              const std::optional<std::string>& lang,
                                              const std::optional<std::int32_t>& page,
                                              const std::optional<std::int32_t>& size);
    std::optional<std::string> requestSingleDetailedMeasurement(const std::string& url, const std::string& agentUuid,
                                                                const std::string& measurementUuid,
                                                                const std::optional<std::string>& lang);
    std::optional<std::string> requestSingleFullMeasurement(const std::string& url, const std::string& agentUuid,
                                                            const std::string& measurementUuid,
                                                            const std::optional<std::string>& lang);

private:
    measurement_library::RequestService* requestService;
};

}  // namespace trevask::measurement_sdk
