#include "service/HistoryService.h"

#include "helper/SentryHelper.h"
#include "service/RequestService.h"
#include "service/ServiceQuery.h"

namespace trevask::measurement_sdk {

using namespace trevask::measurement_library;

namespace {

const std::string& measurementsPath() {
    static const std::string path = "/measurement-agents/{agentUuid}/measurements";
    return path;
}

const std::string& measurementPath() {
    static const std::string path = "/measurement-agents/{agentUuid}/measurements/{measurementUuid}";
    return path;
}

const std::string& measurementDetailsPath() {
    static const std::string path = "/measurement-agents/{agentUuid}/measurements/{measurementUuid}/details";
    return path;
}

// One history call: transaction around a body-less request.
std::optional<std::string> historyCall(RequestService* service, const char* name, const char* operation,
                                       const std::string& address, const std::string& method, QueryMap query) {
    auto transaction = SentryHelper::startTransaction(name, operation);
    auto response = service->performStringRequest(address, method, std::string(),
                                                  RequestService::Query(std::move(query)), kServiceTimeoutMs);
    SentryHelper::finishTransaction(transaction);
    if (!response) return std::nullopt;
    return std::move(response->body);
}

}  // namespace

HistoryService::HistoryService() : requestService(RequestService::getInstance()) {}
HistoryService::HistoryService(RequestService* service) : requestService(service) {}

std::optional<std::string> HistoryService::disassociateAgent(const std::string& url, const std::string& agentUuid,
                                                             const std::optional<std::string>& lang) {
    auto address = RequestService::replaceUrlPlaceholders(url + measurementsPath(), agentUuid, std::nullopt);
    return historyCall(requestService, "HistoryService::disassociateAgent", "disassociateAgent", address, "DELETE",
                       langQuery(lang));
}

std::optional<std::string> HistoryService::disassociateSingleMeasurement(const std::string& url,
                                                                         const std::string& agentUuid,
                                                                         const std::string& measurementUuid,
                                                                         const std::optional<std::string>& lang) {
    auto address = RequestService::replaceUrlPlaceholders(url + measurementPath(), agentUuid, measurementUuid);
    return historyCall(requestService, "HistoryService::disassociateSingleMeasurement",
                       "disassociateSingleMeasurement", address, "DELETE", langQuery(lang));
}

std::optional<std::string> HistoryService::requestHistory(const std::string& url, const std::string& agentUuid,
                                                          const std::optional<std::string>& lang,
                                                          const std::optional<std::int32_t>& page,
                                                          const std::optional<std::int32_t>& size) {
    auto address = RequestService::replaceUrlPlaceholders(url + measurementsPath(), agentUuid, std::nullopt);
    auto query = langQuery(lang);
    addQueryInt(query, "page", page);
    addQueryInt(query, "size", size);
    return historyCall(requestService, "HistoryService::requestHistory", "requestHistory", address, "GET",
                       std::move(query));
}

std::optional<std::string> HistoryService::requestSingleDetailedMeasurement(const std::string& url,
                                                                            const std::string& agentUuid,
                                                                            const std::string& measurementUuid,
                                                                            const std::optional<std::string>& lang) {
    auto address =
        RequestService::replaceUrlPlaceholders(url + measurementDetailsPath(), agentUuid, measurementUuid);
    return historyCall(requestService, "HistoryService::requestSingleDetailedMeasurement",
                       "requestSingleDetailedMeasurement", address, "GET", langQuery(lang));
}

std::optional<std::string> HistoryService::requestSingleFullMeasurement(const std::string& url,
                                                                        const std::string& agentUuid,
                                                                        const std::string& measurementUuid,
                                                                        const std::optional<std::string>& lang) {
    auto address = RequestService::replaceUrlPlaceholders(url + measurementPath(), agentUuid, measurementUuid);
    return historyCall(requestService, "HistoryService::requestSingleFullMeasurement",
                       "requestSingleFullMeasurement", address, "GET", langQuery(lang));
}

}  // namespace trevask::measurement_sdk
