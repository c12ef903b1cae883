#include "SentryChannel.h"

#include "ServerResponse.h"

#include "service/SentryService.h"

#include <iostream>

namespace trevask {

using measurement_sdk::SentryService;

void registerSentryChannel(flutter::HeadlessEngine* engine) {
    registerMethodChannel(engine, "at.trevask.lumivex/sentry", handleSentryMethodCall);
}

void handleSentryMethodCall(const flutter::MethodCall& call, std::unique_ptr<flutter::MethodResult> result) {
    try {
        const auto* map = call.arguments() ? call.arguments()->getIf<flutter::EncodableMap>() : nullptr;
        if (map == nullptr) {
            result->Error("Invalid arguments passed", "");
            return;
        }
        flutter::EncodableMap arguments = *map;
        auto agentUuid = getOptionalString(arguments, "agentUuid");
        const std::string& method = call.method_name();
        if (method == "configureSentry") {
            auto dsn = getOptionalString(arguments, "dsn");
            if (!dsn) {
                result->Error("Invalid dsn passed", "");
                return;
            }
            if (dsn->empty()) {
                result->Error("Empty dsn passed", "");
                return;
            }
            std::cout << "configuring sentry" << std::endl;
            SentryService::configureSentry(*dsn, agentUuid, true);
            result->Success();
        } else if (method == "updateSentryContext") {
            auto context = toStringMap(getOptionalMap(arguments, "contextOptions"));
            std::cout << "updating sentry context" << std::endl;
            SentryService::updateSentryContext(agentUuid, context);
            result->Success();
        } else if (method == "closeSentry") {
            SentryService::closeSentry();
            result->Success();
        } else {
            result->NotImplemented();
        }
    } catch (const std::exception& e) {
        std::cerr << e.what() << std::endl;
        result->Error(e.what(), "");
    }
}

}  // namespace trevask
