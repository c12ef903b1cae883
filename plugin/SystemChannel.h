#pragma once
// The system channel "at.trevask.lumivex/system": the window's display scale.

#include "platform/flutter/HeadlessEngine.h"
#include "platform/flutter/MethodChannel.h"

#include <memory>

namespace trevask {

void registerSystemChannel(flutter::HeadlessEngine* engine);
void handleSystemMethodCall(const flutter::MethodCall& call, std::unique_ptr<flutter::MethodResult> result);

}  // namespace trevask
