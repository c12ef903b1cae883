#pragma once
// The information-collector channel "at.trevask.lumivex/informationCollector"
// and its stream: the UI starts and stops the live system sampler and asks
// for the agent's public-address check; samples and the address status
// travel back as JSON texts on "at.trevask.lumivex/informationCollector/stream".

#include "EventChannels.h"

#include "platform/flutter/HeadlessEngine.h"
#include "platform/flutter/MethodChannel.h"

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace trevask::measurement_library {
struct InformationCallback;
}

namespace trevask {

extern std::unique_ptr<EncodableEventChannel> informationCollectorStream;

void registerInformationCollectorChannels(flutter::HeadlessEngine* engine);
void handleInformationCollectorMethodCall(const flutter::MethodCall& call,
                                          std::unique_ptr<flutter::MethodResult> result);

// Sends the texts of one sample (called on the sampler's thread).
void sendInformationMessage(std::shared_ptr<measurement_library::InformationCallback> sample);
// Starts the agent-IP worker when either URL is given. The worker waits for
// the one started before it, so their messages keep their order; the
// platform thread never waits.
void handleRequestAgentIp(std::optional<std::string> controllerIpv4, std::optional<std::string> controllerIpv6);
void sendAgentIpMessage(const std::optional<std::string>& controllerIpv4,
                        const std::optional<std::string>& controllerIpv6);

// The texts of one sample, in sending order (traffic, network, signal,
// CPU and memory), each only when the sample holds its part.
std::vector<std::string> informationMessages(const measurement_library::InformationCallback& sample);
// The IP_MESSAGE text of a status map; empty values are written as null.
std::string agentIpMessage(const std::map<std::string, std::string>& status);

// At exit: stops the UI's sampler and waits for the agent-IP workers.
void stopInformationCollector();

}  // namespace trevask
