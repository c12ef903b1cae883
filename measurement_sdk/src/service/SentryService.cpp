#include "service/SentryService.h"

#include "helper/SentryHelper.h"

namespace trevask::measurement_sdk {

using trevask::measurement_library::SentryHelper;

namespace {

const std::string& missingAgentUuid() {
    static const std::string text = "n/a";
    return text;
}

}  // namespace

void SentryService::configureSentry(const std::string& dsn, const std::optional<std::string>& agentUuid,
                                    bool debug) {
    SentryHelper::initialize(dsn, agentUuid.value_or(missingAgentUuid()), debug);
}

void SentryService::updateSentryContext(const std::optional<std::string>& agentUuid,
                                        const std::optional<std::map<std::string, std::string>>& contextOptions) {
    SentryHelper::setAgentUuid(agentUuid.value_or(missingAgentUuid()), contextOptions);
}

void SentryService::closeSentry() { SentryHelper::close(); }

}  // namespace trevask::measurement_sdk
