#pragma once
// The crash-reporter channel "at.trevask.lumivex/sentry": the UI starts,
// updates and closes the crash reporter.

#include "platform/flutter/HeadlessEngine.h"
#include "platform/flutter/MethodChannel.h"

#include <memory>

namespace trevask {

void registerSentryChannel(flutter::HeadlessEngine* engine);
void handleSentryMethodCall(const flutter::MethodCall& call, std::unique_ptr<flutter::MethodResult> result);

}  // namespace trevask
