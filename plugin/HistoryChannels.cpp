#include "HistoryChannels.h"

#include "ServerResponse.h"

#include "service/HistoryService.h"
#include "service/MonthlyMeasurementService.h"
#include "service/NewsService.h"

namespace trevask {
namespace {

using measurement_sdk::HistoryService;
using measurement_sdk::MonthlyMeasurementService;
using measurement_sdk::NewsService;
using Result = std::unique_ptr<flutter::MethodResult>;

void handleRequestHistory(Result result, const std::string& url, const std::string& agentUuid,
                          const std::optional<std::string>& lang, const flutter::EncodableMap& arguments) {
    auto page = getOptionalInt(arguments, "page");
    // The UI's "limit" is the back end's page size.
    auto size = getOptionalInt(arguments, "limit");
    auto body = HistoryService(backEndRequestService()).requestHistory(url, agentUuid, lang, page, size);
    replyWithServerResponse(body, *result, true);
}

// The three calls about one measurement need its UUID.
template <typename Call>
void handleSingleMeasurement(Result result, const flutter::EncodableMap& arguments, Call call) {
    auto measurementUuid = getOptionalString(arguments, "measurementUuid");
    if (!measurementUuid) {
        result->Error("No measurement uuid provided", "");
        return;
    }
    HistoryService service(backEndRequestService());
    replyWithServerResponse(call(service, *measurementUuid), *result, true);
}

void handleRequestSingleDetailedMeasurement(Result result, const std::string& url, const std::string& agentUuid,
                                            const std::optional<std::string>& lang,
                                            const flutter::EncodableMap& arguments) {
    handleSingleMeasurement(std::move(result), arguments, [&](HistoryService& service, const std::string& uuid) {
        return service.requestSingleDetailedMeasurement(url, agentUuid, uuid, lang);
    });
}

void handleRequestSingleFullMeasurement(Result result, const std::string& url, const std::string& agentUuid,
                                        const std::optional<std::string>& lang,
                                        const flutter::EncodableMap& arguments) {
    handleSingleMeasurement(std::move(result), arguments, [&](HistoryService& service, const std::string& uuid) {
        return service.requestSingleFullMeasurement(url, agentUuid, uuid, lang);
    });
}

void handleDisassociateSingleMeasurement(Result result, const std::string& url, const std::string& agentUuid,
                                         const std::optional<std::string>& lang,
                                         const flutter::EncodableMap& arguments) {
    handleSingleMeasurement(std::move(result), arguments, [&](HistoryService& service, const std::string& uuid) {
        return service.disassociateSingleMeasurement(url, agentUuid, uuid, lang);
    });
}

// Never an error: true when the back end answered at all.
void handleRequestDisassociateAgentUuid(Result result, const std::string& url, const std::string& agentUuid,
                                        const std::optional<std::string>& lang) {
    auto body = HistoryService(backEndRequestService()).disassociateAgent(url, agentUuid, lang);
    result->Success(flutter::EncodableValue(body.has_value()));
}

void handleRequestNews(Result result, const std::string& url, const std::optional<std::string>& datetime,
                       const std::optional<std::string>& lang, const flutter::EncodableMap& arguments) {
    auto page = getOptionalInt(arguments, "page");
    auto size = getOptionalInt(arguments, "limit");
    auto body = NewsService(backEndRequestService()).requestNews(url, datetime, lang, page, size);
    replyWithServerResponse(body, *result, true);
}

}  // namespace

void registerHistoryChannel(flutter::HeadlessEngine* engine) {
    registerMethodChannel(engine, "at.trevask.lumivex/history", handleHistoryMethodCall);
}

void registerSettingsChannel(flutter::HeadlessEngine* engine) {
    registerMethodChannel(engine, "at.trevask.lumivex/settings", handleSettingsMethodCall);
}

void registerMonthlyMeasurementsChannel(flutter::HeadlessEngine* engine) {
    registerMethodChannel(engine, "at.trevask.lumivex/monthly-measurements", handleMonthlyMeasurementsMethodCall);
}

void registerNewsEntryChannel(flutter::HeadlessEngine* engine) {
    registerMethodChannel(engine, "at.trevask.lumivex/news-entry", handleNewsEntryMethodCall);
}

void handleHistoryMethodCall(const flutter::MethodCall& call, Result result) {
    auto args = checkBackEndArguments(call, *result, {.agentKey = "agentUuid"});
    if (!args) return;
    const std::string& method = call.method_name();
    if (method == "requestHistory") {
        handleRequestHistory(std::move(result), args->url, args->agentUuid, args->lang, args->arguments);
    } else if (method == "requestSingleDetailedMeasurement") {
        handleRequestSingleDetailedMeasurement(std::move(result), args->url, args->agentUuid, args->lang,
                                               args->arguments);
    } else if (method == "requestSingleFullMeasurement") {
        handleRequestSingleFullMeasurement(std::move(result), args->url, args->agentUuid, args->lang,
                                           args->arguments);
    } else if (method == "disassociateSingleMeasurement") {
        handleDisassociateSingleMeasurement(std::move(result), args->url, args->agentUuid, args->lang,
                                            args->arguments);
    } else {
        result->NotImplemented();
    }
}

void handleSettingsMethodCall(const flutter::MethodCall& call, Result result) {
    auto args = checkBackEndArguments(call, *result, {.agentKey = "agentUuid"});
    if (!args) return;
    if (call.method_name() == "requestDisassociateAgentUuid") {
        handleRequestDisassociateAgentUuid(std::move(result), args->url, args->agentUuid, args->lang);
    } else {
        result->NotImplemented();
    }
}

void handleMonthlyMeasurementsMethodCall(const flutter::MethodCall& call, Result result) {
    auto args = checkBackEndArguments(call, *result, {.agentKey = "agent_uuid"});
    if (!args) return;
    if (call.method_name() == "requestMonthlyMeasurements") {
        // The channel never passes a year or a month.
        auto body = MonthlyMeasurementService(backEndRequestService())
                        .postMeasurementCount(args->url, args->agentUuid, std::nullopt, std::nullopt, args->lang);
        replyWithBody(body, *result);
    } else {
        result->NotImplemented();
    }
}

void handleNewsEntryMethodCall(const flutter::MethodCall& call, Result result) {
    auto args = checkBackEndArguments(call, *result, {.ownTextKey = "datetime"});
    if (!args) return;
    if (call.method_name() == "requestNews") {
        handleRequestNews(std::move(result), args->url, args->ownText, args->lang, args->arguments);
    } else {
        result->NotImplemented();
    }
}

}  // namespace trevask
