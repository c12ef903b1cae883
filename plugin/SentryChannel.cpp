#include "SentryChannel.h"

#include "ServerResponse.h"

#include "helper/SentryHelper.h"

#include <iostream>

namespace trevask {
namespace {

using measurement_library::SentryHelper;

// Stands for the crash-reporter service: the reporter's state lives in
// SentryHelper; an absent agent identity is reported as "n/a".
const char* kNoAgentUuid = "n/a";

void configureSentry(const std::string& dsn, const std::optional<std::string>& agentUuid, bool debug) {
    SentryHelper::initialize(dsn, agentUuid.value_or(kNoAgentUuid), debug);
}

void updateSentryContext(const std::optional<std::string>& agentUuid,
                         std::optional<std::map<std::string, std::string>> contextOptions) {
    SentryHelper::setAgentUuid(agentUuid.value_or(kNoAgentUuid), std::move(contextOptions));
}

void closeSentry() {
    SentryHelper::close();
}

}  // namespace

void registerSentryChannel(flutter::HeadlessEngine* engine) {
    flutter::MethodChannel channel(engine->messenger(), "at.trevask.lumivex/sentry",
                                   &flutter::StandardMethodCodec::GetInstance());
    channel.SetMethodCallHandler(handleSentryMethodCall);
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
            configureSentry(*dsn, agentUuid, true);
            result->Success();
        } else if (method == "updateSentryContext") {
            auto context = toStringMap(getOptionalMap(arguments, "contextOptions"));
            std::cout << "updating sentry context" << std::endl;
            updateSentryContext(agentUuid, std::move(context));
            result->Success();
        } else if (method == "closeSentry") {
            closeSentry();
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
