#include "service/InformationCollectorService.h"

#include "helper/SentryHelper.h"
#include "service/AgentIpService.h"

namespace trevask::measurement_sdk {

using namespace trevask::measurement_library;

namespace {

constexpr std::uint64_t kSamplePeriodMs = 1000;
// The three operations are reported under one transaction name.
constexpr const char* kTransactionName = "InformationCollectorService::start";

}  // namespace

void InformationCollectorService::start(InformationCallbackFunction callback) {
    auto transaction = SentryHelper::startTransaction(kTransactionName, "start");
    sampler_.start(callback, kSamplePeriodMs);
    SentryHelper::finishTransaction(transaction);
}

void InformationCollectorService::stop() {
    auto transaction = SentryHelper::startTransaction(kTransactionName, "stop");
    sampler_.stop();
    SentryHelper::finishTransaction(transaction);
}

std::map<std::string, std::string> InformationCollectorService::requestAgentIp(
    const std::optional<std::string>& controllerIpv4, const std::optional<std::string>& controllerIpv6) {
    auto transaction = SentryHelper::startTransaction(kTransactionName, "requestAgentIp");
    auto result = checkAgentIp(controllerIpv4, controllerIpv6);
    SentryHelper::finishTransaction(transaction);
    return result;
}

}  // namespace trevask::measurement_sdk
