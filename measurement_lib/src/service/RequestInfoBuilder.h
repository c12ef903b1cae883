#pragma once
// Fills the client description that the UI-facing services send with their
// requests.

#include "model/RequestInfo.h"

#include <optional>
#include <string>

namespace trevask::measurement_library {

// The platform family this agent reports in "os_platform".
inline constexpr const char* kOsPlatform = "Linux";

// Sets agent type "DESKTOP", the agent UUID (also when empty), the language
// (lang, else "en_US"), the time zone (the UI's, else "UTC"), the machine's
// OS name, version and model, the platform, API level "v1", the probe's code
// name, no host name, and the UI's app version name, code and git revision
// where the UI gave them. Other members keep what the target held.
void buildRequestInfo(RequestInfo& target, const std::string& agentUuid, const std::optional<std::string>& lang);

}  // namespace trevask::measurement_library
