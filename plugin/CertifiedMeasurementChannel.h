#pragma once
// The certified-measurement channel "at.trevask.lumivex/certified-
// measurement": settings, the registration form, the current certified
// measurement, whether one may run now, completion, abort and the past
// ones, each one synchronous request on the platform thread answered with
// the whole response body.

#include "platform/flutter/HeadlessEngine.h"
#include "platform/flutter/MethodChannel.h"

#include <memory>

namespace trevask {

void registerCertifiedMeasurementChannel(flutter::HeadlessEngine* engine);
void handleCertifiedMeasurementMethodCall(const flutter::MethodCall& call,
                                          std::unique_ptr<flutter::MethodResult> result);

}  // namespace trevask
