#pragma once
// The measurement channel "at.trevask.lumivex/vela": agent registration,
// measurement start and the UI's configuration, with the three result
// event channels created beside it.

#include "platform/flutter/HeadlessEngine.h"
#include "platform/flutter/MethodChannel.h"

#include <memory>
#include <optional>
#include <string>

namespace trevask {

void registerVelaChannels(flutter::HeadlessEngine* engine);
void handleVelaMethodCall(const flutter::MethodCall& call, std::unique_ptr<flutter::MethodResult> result);

void registerAgentWorker(std::string url, std::optional<std::string> agentUuid, std::optional<std::string> lang,
                         std::unique_ptr<flutter::MethodResult> result, flutter::EncodableMap arguments);
void startMeasurementWorker(std::string parameters, std::unique_ptr<flutter::MethodResult> result);
void storeFlutterConfiguration(std::string appVersionName, std::int32_t appVersionCode, std::string appGitRevision,
                               std::string timezone);

// Waits for every registration and measurement worker (used at exit and by
// tests).
void waitForVelaWorker();

// Starts no more registration and measurement workers (a call that would
// start one is answered with the error "The agent is ending") and waits for
// those running: a measurement under way runs to its end, bounded by its
// tasks' time-outs, and answers its call.
void endVelaWork();

}  // namespace trevask
