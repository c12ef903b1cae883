#include "InformationCollectorChannel.h"

#include "ServerResponse.h"
#include "Workers.h"

#include "helper/system/InformationCallback.h"
#include "service/InformationCollectorService.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <iostream>

namespace trevask {

std::unique_ptr<EncodableEventChannel> informationCollectorStream;

namespace {

using measurement_library::InformationCallback;
using measurement_sdk::InformationCollectorService;

// The UI's one sampler, for the whole process.
InformationCollectorService& informationCollectorService() {
    static InformationCollectorService service;
    return service;
}

WorkerSet& agentIpWorkers() {
    static WorkerSet workers;
    return workers;
}

void sendOnStream(const std::string& text) {
    if (informationCollectorStream) informationCollectorStream->send(text);
}

// printf "%f" of the fraction, or null when it is not a finite number.
std::string fraction(float value) {
    if (!std::isfinite(value)) return "null";
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%f", static_cast<double>(value));
    return buffer;
}

}  // namespace

std::vector<std::string> informationMessages(const InformationCallback& sample) {
    std::vector<std::string> texts;
    if (sample.traffic) {
        const std::uint64_t rx = sample.traffic->rxBytes.value_or(0);
        const std::uint64_t tx = sample.traffic->txBytes.value_or(0);
        if (rx != 0 || tx != 0) {
            // "duration" is the sampling period in ms, so the bit counts are per second.
            texts.push_back("{\"type\": \"TRAFFIC_MESSAGE\", \"message\": {\"txBytes\": " + std::to_string(tx) +
                            ", \"txBps\": " + std::to_string(tx * 8) + ", \"rxBytes\": " + std::to_string(rx) +
                            ", \"rxBps\": " + std::to_string(rx * 8) + ", \"duration\": 1000}}");
        }
    }
    if (sample.providerName || sample.networkTypeId) {
        std::string text = "{\"type\": \"NETWORK_MESSAGE\", \"message\": {";
        if (sample.providerName) text += "\"providerName\": \"" + escapeJsonText(*sample.providerName) + "\"";
        if (sample.providerName && sample.networkTypeId) text += ", ";
        if (sample.networkTypeId) text += "\"network_type_id\": " + std::to_string(*sample.networkTypeId);
        text += "}}";
        texts.push_back(std::move(text));
    }
    if (sample.technology) {
        texts.push_back("{\"type\": \"SIGNAL_MESSAGE\", \"message\": {\"signal\": null, \"technology\": \"" +
                        escapeJsonText(*sample.technology) + "\"}}");
    }
    if (sample.cpuRam) {
        std::string text = "{\"type\":\"CPU_RAM_MESSAGE\",\"message\":{";
        if (sample.cpuRam->cpuUsage) text += "\"cpu_usage\":" + fraction(*sample.cpuRam->cpuUsage);
        if (sample.cpuRam->cpuUsage && sample.cpuRam->ramUsage) text += ",";
        if (sample.cpuRam->ramUsage) text += "\"ram_usage\":" + fraction(*sample.cpuRam->ramUsage);
        text += "}}";
        texts.push_back(std::move(text));
    }
    return texts;
}

std::string agentIpMessage(const std::map<std::string, std::string>& status) {
    std::string text = "{\"type\":\"IP_MESSAGE\",\"message\":{\"ipStatus\":{";
    bool first = true;
    for (const auto& [key, value] : status) {
        if (!first) text += ",";
        first = false;
        text += "\"" + escapeJsonText(key) + "\":";
        text += value.empty() ? std::string(" null") : "\"" + escapeJsonText(value) + "\"";
    }
    text += "}}}";
    return text;
}

void sendInformationMessage(std::shared_ptr<InformationCallback> sample) {
    if (!sample) return;
    for (const auto& text : informationMessages(*sample)) sendOnStream(text);
    std::fflush(stdout);
}

void sendAgentIpMessage(const std::optional<std::string>& controllerIpv4,
                        const std::optional<std::string>& controllerIpv6) {
    auto status = informationCollectorService().requestAgentIp(controllerIpv4, controllerIpv6);
    if (status.empty()) return;
    std::string text = agentIpMessage(status);
    std::cout << "sending message: " << text << std::endl;
    sendOnStream(text);
}

void handleRequestAgentIp(std::optional<std::string> controllerIpv4, std::optional<std::string> controllerIpv6) {
    if (!controllerIpv4 && !controllerIpv6) return;
    agentIpWorkers().start(
        [ipv4 = std::move(controllerIpv4), ipv6 = std::move(controllerIpv6)] {
            try {
                sendAgentIpMessage(ipv4, ipv6);
            } catch (const std::exception& e) {
                std::cerr << e.what() << std::endl;
            }
        },
        true);
}

void registerInformationCollectorChannels(flutter::HeadlessEngine* engine) {
    registerMethodChannel(engine, "at.trevask.lumivex/informationCollector", handleInformationCollectorMethodCall);
    informationCollectorStream =
        std::make_unique<EncodableEventChannel>(engine, "at.trevask.lumivex/informationCollector/stream");
}

void handleInformationCollectorMethodCall(const flutter::MethodCall& call,
                                          std::unique_ptr<flutter::MethodResult> result) {
    // This channel reads no url, agent identity or language.
    const std::string& method = call.method_name();
    if (method == "start") {
        informationCollectorService().start(sendInformationMessage);
        result->Success();
    } else if (method == "stop") {
        informationCollectorService().stop();
        result->Success();
    } else if (method == "requestAgentIp") {
        const auto* map = call.arguments() ? call.arguments()->getIf<flutter::EncodableMap>() : nullptr;
        if (map != nullptr) {
            try {
                handleRequestAgentIp(getOptionalString(*map, "controller_ipv4"),
                                     getOptionalString(*map, "controller_ipv6"));
            } catch (const std::exception& e) {
                // No thread for the worker: the check is skipped.
                std::cerr << e.what() << std::endl;
            }
        }
        // The outcome arrives on the stream.
        result->Success();
    } else {
        result->NotImplemented();
    }
}

void stopInformationCollector() {
    informationCollectorService().stop();
    agentIpWorkers().waitAll();
}

}  // namespace trevask
