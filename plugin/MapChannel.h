#pragma once
// The map channel "at.trevask.lumivex/map": the back end's map tile options
// and the measurement markers around a point, each one synchronous request
// on the platform thread answered with the response body.

#include "platform/flutter/HeadlessEngine.h"
#include "platform/flutter/MethodChannel.h"

#include <memory>

namespace trevask {

void registerMapChannel(flutter::HeadlessEngine* engine);
void handleMapMethodCall(const flutter::MethodCall& call, std::unique_ptr<flutter::MethodResult> result);

}  // namespace trevask
