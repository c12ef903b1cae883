#pragma once
// The history, settings, monthly-measurements and news-entry channels: the
// UI reads and manages the agent's measurement history, drops the agent's
// association with its measurements, asks for the monthly count and reads
// news. Each call is one synchronous back-end request on the platform
// thread, answered with the back end's response.

#include "platform/flutter/HeadlessEngine.h"
#include "platform/flutter/MethodChannel.h"

#include <memory>
#include <optional>
#include <string>

namespace trevask {

void registerHistoryChannel(flutter::HeadlessEngine* engine);
void registerSettingsChannel(flutter::HeadlessEngine* engine);
void registerMonthlyMeasurementsChannel(flutter::HeadlessEngine* engine);
void registerNewsEntryChannel(flutter::HeadlessEngine* engine);

void handleHistoryMethodCall(const flutter::MethodCall& call, std::unique_ptr<flutter::MethodResult> result);
void handleSettingsMethodCall(const flutter::MethodCall& call, std::unique_ptr<flutter::MethodResult> result);
void handleMonthlyMeasurementsMethodCall(const flutter::MethodCall& call,
                                         std::unique_ptr<flutter::MethodResult> result);
void handleNewsEntryMethodCall(const flutter::MethodCall& call, std::unique_ptr<flutter::MethodResult> result);

}  // namespace trevask
