#pragma once
// The UI's entry into the crash reporter: configure it, update the agent's
// identity and context, close it. "n/a" stands in for a missing agent UUID.

#include <map>
#include <optional>
#include <string>

namespace trevask::measurement_sdk {

class SentryService {
public:
    static void configureSentry(const std::string& dsn, const std::optional<std::string>& agentUuid, bool debug);
    // A given map replaces the stored context options (an empty one too);
    // no map clears them. Then the reporter's scope is rebuilt.
    static void updateSentryContext(const std::optional<std::string>& agentUuid,
                                    const std::optional<std::map<std::string, std::string>>& contextOptions);
    static void closeSentry();
};

}  // namespace trevask::measurement_sdk
