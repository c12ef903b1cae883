#pragma once
// The UI's live system information: starts and stops the one sampler the UI
// watches (CPU, memory, traffic, network kind) and runs the agent's
// public-address check.

#include "helper/system/WindowsSystemInformationService.h"

#include <map>
#include <memory>
#include <optional>
#include <string>

namespace trevask::measurement_sdk {

class InformationCollectorService {
public:
    InformationCollectorService() = default;

    // Starts sampling once per second; the callback runs on the sampler's
    // thread. While sampling runs this does nothing (the first callback stays).
    void start(measurement_library::InformationCallbackFunction callback);
    // Ends sampling and waits for the cycle in progress to end.
    void stop();
    // The public-address check of both families (see checkAgentIp).
    std::map<std::string, std::string> requestAgentIp(const std::optional<std::string>& controllerIpv4,
                                                      const std::optional<std::string>& controllerIpv6);

    bool isRunning() const { return sampler_.isRunning(); }

private:
    measurement_library::WindowsSystemInformationService sampler_;
};

}  // namespace trevask::measurement_sdk
