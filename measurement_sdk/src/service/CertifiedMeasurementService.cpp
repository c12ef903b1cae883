#include "service/CertifiedMeasurementService.h"

#include "helper/SentryHelper.h"
#include "model/CertifiedMeasurementDtos.h"
#include "model/JsonMembers.h"
#include "service/RequestInfoBuilder.h"
#include "service/RequestService.h"
#include "service/ServiceQuery.h"

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include <memory>

namespace trevask::measurement_sdk {

using namespace trevask::measurement_library;

namespace {

constexpr std::uint32_t kCompletionTimeoutMs = 30000;

const std::string& agentsPath() {
    static const std::string path = "/measurement-agents/";
    return path;
}

std::string address(const std::string& url, const std::string& agentUuid, const char* suffix) {
    return url + agentsPath() + agentUuid + suffix;
}

// Ends the transaction on every path, also when reading the UI's values throws.
class TransactionScope {
public:
    TransactionScope(const char* name, const char* operation)
        : transaction_(SentryHelper::startTransaction(name, operation)) {}
    ~TransactionScope() { SentryHelper::finishTransaction(transaction_); }
    TransactionScope(const TransactionScope&) = delete;
    TransactionScope& operator=(const TransactionScope&) = delete;

private:
    SentryTransaction transaction_;
};

// The UI's JSON text as the record's "data" member. The text is parsed on
// its own, so it can only ever be the "data" value: text that closes the
// object early and carries further members is a syntax error rather than
// a way to add a top-level "request_info".
boost::json::value wrapAsData(const std::string& text) {
    boost::json::object root;
    root["data"] = parseJson(text);
    return root;
}

std::optional<std::string> bodyOf(std::optional<StringResponse> response) {
    if (!response) return std::nullopt;
    return std::move(response->body);
}

}  // namespace

CertifiedMeasurementService::CertifiedMeasurementService() : requestService(RequestService::getInstance()) {}
CertifiedMeasurementService::CertifiedMeasurementService(RequestService* service) : requestService(service) {}

std::optional<std::string> CertifiedMeasurementService::getCertifiedMeasurementSettings(
    const std::string& url, const std::string& agentUuid, const std::optional<std::string>& lang) {
    TransactionScope transaction("CertifiedMeasurementService::getCertifiedMeasurementSettings",
                                 "getCertifiedMeasurementSettings");
    return bodyOf(requestService->performStringRequest(address(url, agentUuid, "/certified-measurement-settings"),
                                                       "GET", std::string(), RequestService::Query(langQuery(lang)),
                                                       kServiceTimeoutMs));
}

std::optional<std::string> CertifiedMeasurementService::createCertifiedMeasurement(
    const std::string& url, const std::string& agentUuid, const std::string& formValues,
    const std::optional<std::string>& lang) {
    TransactionScope transaction("CertifiedMeasurementService::createCertifiedMeasurement",
                                 "createCertifiedMeasurement");
    auto record = std::make_unique<CertifiedMeasurementFormSubmitDto>(
        CertifiedMeasurementFormSubmitDtoReader(wrapAsData(formValues)));
    buildRequestInfo(record->request_info, agentUuid, lang);
    if (!agentUuid.empty()) record->agent_uuid = agentUuid;
    QueryMap query;
    if (lang) {
        record->request_info.language = *lang;
        query["lang"] = *lang;
    }
    return bodyOf(requestService->performDtoRequest(address(url, agentUuid, "/certified-measurement"), "POST",
                                                    *record, RequestService::Query(std::move(query)),
                                                    kServiceTimeoutMs));
}

std::optional<std::string> CertifiedMeasurementService::getCertifiedMeasurement(
    const std::string& url, const std::string& agentUuid, const std::optional<std::string>& lang) {
    TransactionScope transaction("CertifiedMeasurementService::getCertifiedMeasurement", "getCertifiedMeasurement");
    return bodyOf(requestService->performStringRequest(address(url, agentUuid, "/certified-measurement"), "GET",
                                                       std::string(), RequestService::Query(langQuery(lang)),
                                                       kServiceTimeoutMs));
}

std::optional<std::string> CertifiedMeasurementService::canPerformCertifiedMeasurement(
    const std::string& url, const std::string& agentUuid, const std::string& json,
    const std::optional<std::string>& lang) {
    TransactionScope transaction("CertifiedMeasurementService::canPerformCertifiedMeasurement",
                                 "canPerformCertifiedMeasurement");
    auto record = std::make_unique<CertifiedMeasurementInitiationDto>(
        CertifiedMeasurementInitiationDtoReader(wrapAsData(json)));
    buildRequestInfo(record->request_info, agentUuid, lang);
    QueryMap query;
    if (lang) {
        record->request_info.language = *lang;
        query["lang"] = *lang;
    }
    return bodyOf(requestService->performDtoRequest(address(url, agentUuid, "/certified-measurement/measurements"),
                                                    "POST", *record, RequestService::Query(std::move(query)),
                                                    kServiceTimeoutMs));
}

std::optional<std::string> CertifiedMeasurementService::completeCertifiedMeasurement(
    const std::string& url, const std::string& agentUuid, bool sendComplaintToProvider,
    const std::optional<std::string>& lang) {
    TransactionScope transaction("CertifiedMeasurementService::completeCertifiedMeasurement",
                                 "completeCertifiedMeasurement");
    auto record = std::make_unique<CertifiedMeasurementCompletionRequest>();
    buildRequestInfo(record->request_info, agentUuid, lang);
    QueryMap query;
    if (lang) {
        record->request_info.language = *lang;
        query["lang"] = *lang;
    }
    if (sendComplaintToProvider) query["send_complaint_to_provider"] = "true";
    return bodyOf(requestService->performDtoRequest(address(url, agentUuid, "/certified-measurement"), "PUT", *record,
                                                    RequestService::Query(std::move(query)), kCompletionTimeoutMs));
}

std::optional<std::string> CertifiedMeasurementService::abortCertifiedMeasurement(
    const std::string& url, const std::string& agentUuid, const std::optional<std::string>& lang) {
    TransactionScope transaction("CertifiedMeasurementService::abortCertifiedMeasurement",
                                 "abortCertifiedMeasurement");
    return bodyOf(requestService->performStringRequest(address(url, agentUuid, "/certified-measurement"), "DELETE",
                                                       std::string(), RequestService::Query(langQuery(lang)),
                                                       kServiceTimeoutMs));
}

std::optional<std::string> CertifiedMeasurementService::getCertifiedMeasurementHistory(
    const std::string& url, const std::string& agentUuid, const std::optional<std::string>& lang,
    const std::optional<std::int32_t>& page, const std::optional<std::int32_t>& size) {
    TransactionScope transaction("CertifiedMeasurementService::getCertifiedMeasurementHistory",
                                 "getCertifiedMeasurementHistory");
    auto query = langQuery(lang);
    addQueryInt(query, "page", page);
    addQueryInt(query, "size", size);
    return bodyOf(requestService->performStringRequest(address(url, agentUuid, "/past-certified-measurements"), "GET",
                                                       std::string(), RequestService::Query(std::move(query)),
                                                       kServiceTimeoutMs));
}

}  // namespace trevask::measurement_sdk
