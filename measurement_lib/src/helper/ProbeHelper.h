#pragma once
// The agent's identity texts derived from the machine facts.

#include <optional>
#include <string>

namespace Poco {
class Logger;
}

namespace trevask::measurement_library {

class ProbeHelper {
public:
    // The system UUID, or "000000000000000" when there is none. Never empty.
    static std::string getBoardId();
    // Model, architecture and manufacturer joined by blanks (absent parts empty).
    static std::optional<std::string> getCodeName();
    static std::optional<std::string> getCodeNameForContext();
    static std::optional<std::string> getModel();
    // The "hostname" command's output; absent on failure or empty output.
    static std::optional<std::string> getHostname();
    // Not known on a desktop: always absent.
    static std::optional<std::string> getImageName();
    static std::optional<std::string> getImageBuildTimestamp();
    // Logs under the name "ProbeHelper".
    static Poco::Logger& logger();
};

}  // namespace trevask::measurement_library
