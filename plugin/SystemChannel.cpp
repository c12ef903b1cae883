#include "SystemChannel.h"

#include "ServerResponse.h"

#include "platform/flutter/HeadlessWindow.h"

namespace trevask {
namespace {

void handleRequestWindowScale(std::unique_ptr<flutter::MethodResult> result) {
    result->Success(flutter::EncodableValue(win32::windowScale));
}

}  // namespace

void registerSystemChannel(flutter::HeadlessEngine* engine) {
    registerMethodChannel(engine, "at.trevask.lumivex/system", handleSystemMethodCall);
}

void handleSystemMethodCall(const flutter::MethodCall& call, std::unique_ptr<flutter::MethodResult> result) {
    // The arguments are not looked at.
    if (call.method_name() == "requestWindowScale") {
        handleRequestWindowScale(std::move(result));
    } else {
        result->NotImplemented();
    }
}

}  // namespace trevask
