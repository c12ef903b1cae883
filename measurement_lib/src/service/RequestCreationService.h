#pragma once
// Builds what the agent sends to its back end: the registration request, the
// control document that asks the controller for tasks, and the LMAP report of
// a run, each with the client description. Holds the agent's identity and a
// few machine facts read once.

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace Poco {
class Logger;
}

namespace trevask::measurement_library {

struct RequestInfo;
class RegistrationRequest;
struct LmapControlDto;
struct LmapReportDto;
struct TaskResult;
struct MeasurementExecutorSettings;

class RequestCreationService {
public:
    static RequestCreationService& getInstance();

    RequestCreationService(const RequestCreationService&) = delete;
    RequestCreationService& operator=(const RequestCreationService&) = delete;

    // Replaces both; an absent argument makes the member absent.
    void setAgentUuid(std::optional<std::string> agentUuid,
                      std::optional<std::string> measurementPeerIdentifier = std::nullopt);
    const std::optional<std::string>& getAgentUuid() const { return agentUuid; }

    void createClientInfo(RequestInfo& info) const;
    std::unique_ptr<RegistrationRequest> createRegistrationRequest() const;
    // `settings` may be null.
    std::unique_ptr<LmapControlDto> createLmapControlDto(const MeasurementExecutorSettings* settings) const;
    // No report (after an error line and a crash report) without an agent UUID.
    std::unique_ptr<LmapReportDto> createLmapReportDto(std::vector<TaskResult*> results,
                                                       const MeasurementExecutorSettings* settings) const;

    static Poco::Logger& logger();

private:
    RequestCreationService();

    std::optional<std::string> agentUuid;
    std::optional<std::string> measurementPeerIdentifier;
    std::optional<std::string> hostname;
    std::optional<std::string> imageBuildTimestamp;
    std::optional<std::string> osName;
    std::optional<std::string> osVersion;
    std::optional<std::string> osPlatform;
    std::optional<std::string> model;
    std::optional<std::string> codeName;
};

// "%Y-%m-%dT%H:%M:%S" of a time point, in UTC or local time, without a zone.
std::string formatReportTime(std::chrono::system_clock::time_point time, bool utc);

}  // namespace trevask::measurement_library
