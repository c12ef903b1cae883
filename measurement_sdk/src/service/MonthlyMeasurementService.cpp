#include "service/MonthlyMeasurementService.h"

#include "helper/SentryHelper.h"
#include "model/MeasurementsPerAgentByMonthRequest.h"
#include "service/RequestInfoBuilder.h"
#include "service/RequestService.h"
#include "service/ServiceQuery.h"

#include <memory>

namespace trevask::measurement_sdk {

using namespace trevask::measurement_library;

namespace {

const std::string& measurementCountPath() {
    static const std::string path = "/measurement-agents/{agentUuid}/measurement-count";
    return path;
}

}  // namespace

MonthlyMeasurementService::MonthlyMeasurementService() : requestService(RequestService::getInstance()) {}
MonthlyMeasurementService::MonthlyMeasurementService(RequestService* service) : requestService(service) {}

std::optional<std::string> MonthlyMeasurementService::postMeasurementCount(const std::string& url,
                                                                           const std::string& agentUuid,
                                                                           const std::optional<std::int32_t>& year,
                                                                           const std::optional<std::int32_t>& month,
                                                                           const std::optional<std::string>& lang) {
    auto transaction =
        SentryHelper::startTransaction("MonthlyMeasurementService::postMeasurementCount", "postMeasurementCount");
    std::optional<StringResponse> response;
    try {
        auto request = std::make_unique<MeasurementsPerAgentByMonthRequest>();
        request->year = year;
        request->month = month;
        buildRequestInfo(request->request_info, agentUuid, lang);
        auto address = RequestService::replaceUrlPlaceholders(url + measurementCountPath(), agentUuid, std::nullopt);
        response = requestService->performDtoRequest(address, "POST", *request,
                                                     RequestService::Query(langQuery(lang)), kServiceTimeoutMs);
    } catch (const std::exception& e) {
        // Building the client description reads machine facts; a failure
        // there must not reach the UI thread's caller.
        SentryHelper::captureException(e);
        response.reset();
    }
    SentryHelper::finishTransaction(transaction);
    if (!response) return std::nullopt;
    return std::move(response->body);
}

}  // namespace trevask::measurement_sdk
