#include "service/AgentIpService.h"

#include "model/IpResponse.h"
#include "service/RequestService.h"
#include "service/ServiceQuery.h"

#include <Poco/Logger.h>

namespace trevask::measurement_sdk {

using namespace trevask::measurement_library;

namespace {

Poco::Logger& agentIpLogger() {
    static Poco::Logger& instance = Poco::Logger::get("AgentIpService");
    return instance;
}

void checkFamily(std::map<std::string, std::string>& result, const std::string& family,
                 const std::optional<std::string>& base) {
    if (!base) return;
    auto response = RequestService::getInstance()->performTypedRequest<IpResponse>(*base + "/ip", "GET",
                                                                                  std::nullopt, kServiceTimeoutMs);
    if (!response || !response->record) {
        result.emplace(family, "UNKNOWN");
        return;
    }
    const std::string& reported = response->record->ip_address;
    if (reported.empty()) {
        result.emplace(family, "UNKNOWN");
        return;
    }
    result.emplace(family + "_IP", reported);
    // The local address of this very request; the service's most recent
    // address may already belong to another thread's request.
    if (!response->localIp) {
        agentIpLogger().warning("local address of the %s check unknown", family);
        result.emplace(family, "UNKNOWN");
        return;
    }
    result.emplace(family, reported == *response->localIp ? "PUBLIC" : "NAT");
}

}  // namespace

std::map<std::string, std::string> checkAgentIp(const std::optional<std::string>& controllerIpv4,
                                                const std::optional<std::string>& controllerIpv6) {
    std::map<std::string, std::string> result;
    try {
        checkFamily(result, "IPv4", controllerIpv4);
        checkFamily(result, "IPv6", controllerIpv6);
    } catch (const std::exception& e) {
        // Allocation failures and the like; the families not yet decided stay out.
        agentIpLogger().error("agent IP check failed: %s", std::string(e.what()));
    }
    return result;
}

}  // namespace trevask::measurement_sdk
