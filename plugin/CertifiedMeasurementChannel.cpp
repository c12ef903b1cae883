#include "CertifiedMeasurementChannel.h"

#include "ServerResponse.h"

#include "service/CertifiedMeasurementService.h"

#include <iostream>

namespace trevask {
namespace {

using measurement_sdk::CertifiedMeasurementService;

void serve(const std::string& method, const BackEndArguments& args, flutter::MethodResult& result) {
    CertifiedMeasurementService service(backEndRequestService());
    const std::string& url = args.url;
    const std::string& agentUuid = args.agentUuid;
    std::optional<std::string> body;
    if (method == "getCertifiedMeasurementSettings") {
        body = service.getCertifiedMeasurementSettings(url, agentUuid, args.lang);
    } else if (method == "createCertifiedMeasurement") {
        auto formValues = getOptionalString(args.arguments, "form_values");
        if (!formValues) {
            result.Error("NO_FORM_VALUES", "Failed to create certified measurement, missing form values");
            return;
        }
        body = service.createCertifiedMeasurement(url, agentUuid, *formValues, args.lang);
    } else if (method == "getCertifiedMeasurement") {
        body = service.getCertifiedMeasurement(url, agentUuid, args.lang);
    } else if (method == "canPerformCertifiedMeasurement") {
        auto json = getOptionalString(args.arguments, "json");
        if (!json) {
            result.Error("NO_JSON", "Failed to check if measurement can be performed, missing json");
            return;
        }
        body = service.canPerformCertifiedMeasurement(url, agentUuid, *json, args.lang);
    } else if (method == "completeCertifiedMeasurement") {
        bool complaint = getOptionalBool(args.arguments, "sendComplaintToProvider").value_or(false);
        body = service.completeCertifiedMeasurement(url, agentUuid, complaint, args.lang);
    } else if (method == "abortCertifiedMeasurement") {
        body = service.abortCertifiedMeasurement(url, agentUuid, args.lang);
    } else if (method == "getCertifiedMeasurementHistory") {
        auto page = getOptionalInt(args.arguments, "page");
        auto size = getOptionalInt(args.arguments, "limit");
        body = service.getCertifiedMeasurementHistory(url, agentUuid, args.lang, page, size);
    } else {
        result.NotImplemented();
        return;
    }
    replyWithServerResponse(body, result, true);
}

}  // namespace

void registerCertifiedMeasurementChannel(flutter::HeadlessEngine* engine) {
    registerMethodChannel(engine, "at.trevask.lumivex/certified-measurement", handleCertifiedMeasurementMethodCall);
}

void handleCertifiedMeasurementMethodCall(const flutter::MethodCall& call,
                                          std::unique_ptr<flutter::MethodResult> result) {
    // A form or initiation text that is not a JSON object makes the service
    // throw before it sends anything; that call is answered with the
    // failure's text as code, like the other channels that catch.
    try {
        auto args = checkBackEndArguments(call, *result, {.agentKey = "agent_uuid"});
        if (!args) return;
        serve(call.method_name(), *args, *result);
    } catch (const std::exception& e) {
        std::cerr << e.what() << std::endl;
        result->Error(e.what(), "");
    }
}

}  // namespace trevask
