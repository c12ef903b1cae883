#include "service/VelaService.h"

#include "helper/SentryHelper.h"
#include "model/AgentApiResponses.h"
#include "model/RequestInfo.h"
#include "service/RequestInfoBuilder.h"
#include "model/StartMeasurementParameters.h"
#include "service/MeasurementExecutorService.h"
#include "service/MeasurementExecutorSettings.h"
#include "model/RegistrationRequest.h"
#include "service/RequestService.h"

#include <Poco/Logger.h>

#include <map>

namespace trevask::measurement_sdk {

using namespace trevask::measurement_library;

namespace {

const std::string& registrationPath() {
    static const std::string path = "/measurement-agents";
    return path;
}

constexpr std::uint32_t kRegistrationTimeoutMs = 10000;

}  // namespace

VelaService::VelaService() : requestService(RequestService::getInstance()) {}

Poco::Logger& VelaService::logger() {
    static Poco::Logger& instance = Poco::Logger::get("VelaService");
    return instance;
}

std::optional<std::string> VelaService::registerAgent(const std::string& url,
                                                      const std::optional<std::string>& agentUuid,
                                                      std::uint16_t tcVersionAccepted, bool isTcAccepted,
                                                      const std::optional<std::string>& groupName,
                                                      const std::optional<std::string>& lang) {
    auto transaction = SentryHelper::startTransaction("VelaService::registerAgent", "registerAgent");
    RegistrationRequest request;
    request.deserialize_type = RegistrationRequest::kType;
    request.termsAndConditionsAccepted = isTcAccepted;
    request.termsAndConditionsAcceptedVersion = tcVersionAccepted;
    request.groupName = groupName;
    buildRequestInfo(request.requestInfo, agentUuid.value_or(std::string()), lang);

    std::map<std::string, std::string> query;
    if (lang) query["lang"] = *lang;

    auto response = requestService->performDtoRequest(url + registrationPath(), "POST", request,
                                                      RequestService::Query(std::move(query)),
                                                      kRegistrationTimeoutMs);
    SentryHelper::finishTransaction(transaction);
    if (!response) return std::nullopt;
    return response->body;
}

std::unique_ptr<MeasurementExecutorSettings> VelaService::buildExecutorSettings(
    const StartMeasurementParameters& params) {
    auto settings = std::make_unique<MeasurementExecutorSettings>();
    settings->agentUuid = params.agentUuid;
    settings->controllerUrl = params.controllerUrl;
    // The report is logged ("Sending result: %s") and attached to the send span.
    settings->logResult = true;
    settings->startParameters = std::make_shared<StartMeasurementParameters>(params);
    if (params.overrideCollectorUrl) settings->overrideCollectorUrl = *params.overrideCollectorUrl;
    return settings;
}

std::unique_ptr<MeasurementResultResponse> VelaService::startMeasurement(const StartMeasurementParameters& params) {
    try {
        if (logger().information()) {
            logger().information("is anonymous mode: %b", params.anonymousModeEnabled);
            logger().information("certified measurement uuid: %s",
                                 params.certifiedMeasurementUuid.value_or(std::string("n/a")));
            logger().information("override collector url?: %s",
                                 params.overrideCollectorUrl.value_or(std::string("no")));
        }
    } catch (...) {
    }

    failure_.clear();
    keptReportPath_.clear();
    std::unique_ptr<MeasurementExecutorSettings> settings;
    try {
        auto& executor = MeasurementExecutorService::getInstance();
        settings = buildExecutorSettings(params);
        auto answer = executor.executeFullMeasurement(settings.get(), true, true, true);
        if (!answer) {
            failure_ = settings->failure.empty() ? std::string("the measurement produced no result")
                                                 : settings->failure;
            keptReportPath_ = settings->keptReportPath;
        }
        return answer;
    } catch (const std::exception& e) {
        logger().error("error running measurement: %s", std::string(e.what()));
        SentryHelper::captureException(e, "");
        failure_ = settings && !settings->failure.empty() ? settings->failure + "; " + e.what() : e.what();
        if (settings) keptReportPath_ = settings->keptReportPath;
        return nullptr;
    }
}

}  // namespace trevask::measurement_sdk
