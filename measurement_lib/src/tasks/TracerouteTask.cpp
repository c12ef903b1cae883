#include "tasks/TracerouteTask.h"

#include "helper/CommandLineHelper.h"
#include "model/QosTaskConfigurations.h"
#include "tasks/StandardConversions.h"
#include "tasks/TaskClock.h"
#include "tasks/TaskException.h"

#include <Poco/Logger.h>

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <exception>

namespace trevask::measurement_library {

namespace {

bool isIpAddress(const std::string& text) {
    unsigned char buffer[16];
    return inet_pton(AF_INET, text.c_str(), buffer) == 1 || inet_pton(AF_INET6, text.c_str(), buffer) == 1;
}

bool isAddressCharacter(char c) {
    return std::isxdigit(static_cast<unsigned char>(c)) != 0 || c == '.' || c == ':';
}

// The IPv4 or IPv6 address that starts at `pos`: the longest run of hex
// digits, dots and colons, without the one colon that both ping flavours
// print right after the address. No value when the run is no address.
std::optional<std::string> addressAt(const std::string& text, std::size_t pos) {
    std::size_t end = pos;
    while (end < text.size() && isAddressCharacter(text[end])) ++end;
    std::string candidate = text.substr(pos, end - pos);
    if (!candidate.empty() && candidate.back() == ':') candidate.pop_back();
    if (candidate.empty() || !isIpAddress(candidate)) return std::nullopt;
    return candidate;
}

// As addressAt, also accepting the "name (address)" form that ping prints
// when it resolves the answering address.
std::optional<std::string> addressOrNamedAddressAt(const std::string& text, std::size_t pos) {
    if (auto address = addressAt(text, pos)) return address;
    const std::size_t blank = text.find(' ', pos);
    if (blank != std::string::npos && blank + 1 < text.size() && text[blank + 1] == '(') {
        return addressAt(text, blank + 2);
    }
    return std::nullopt;
}

}  // namespace

Poco::Logger& TracerouteTask::logger() {
    static Poco::Logger& instance = Poco::Logger::get("TracerouteTask");
    return instance;
}

TracerouteTask::TracerouteTask() : BaseTask(kTypeKey) {}

TracerouteTask::~TracerouteTask() = default;

std::unique_ptr<BaseTask> TracerouteTask::create(TaskConfiguration* configuration) {
    auto task = std::make_unique<TracerouteTask>();
    task->setConfiguration(configuration);
    return task;
}

bool TracerouteTask::accepts(TaskConfiguration* configuration) {
    return dynamic_cast<TracerouteTaskConfiguration*>(configuration) != nullptr;
}

bool TracerouteTask::isAcceptableHost(const std::string& host) {
    if (host.empty() || host.size() > 253 || host.front() == '-') return false;
    return std::all_of(host.begin(), host.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '.' || c == '-' || c == ':' || c == '_';
    });
}

void TracerouteTask::doRunTask() {
    if (configuration == nullptr) throw TaskException("No configuration provided");
    auto* config = dynamic_cast<TracerouteTaskConfiguration*>(configuration);
    if (config == nullptr) throw TaskException("Configuration is not a Traceroute Task configuration");

    std::uint16_t maxHops = kDefaultMaxHops;
    if (!config->max_hops.empty()) {
        try {
            maxHops = static_cast<std::uint16_t>(parseStoi(config->max_hops));
        } catch (const std::exception&) {
            // An unreadable count keeps the default.
        }
    }
    if (!isAcceptableHost(config->targetHost)) {
        throw TaskException("Traceroute host is not a host name or IP address");
    }

    tracerouteResult = std::make_unique<TracerouteTaskResult>();
    tracerouteResult->traceroute_result_status = "OK";
    tracerouteResult->traceroute_objective_host = config->targetHost;
    tracerouteResult->traceroute_objective_max_hops = maxHops;

    // The task's time-out, when it has a usable one, bounds all probes
    // together; without one the longest task time-out does. A probe is not
    // started after the deadline.
    std::chrono::nanoseconds timeout{kMaxTaskTimeout};
    try {
        if (!config->timeout.empty() && parseStoll(config->timeout) > 0)
            timeout = std::chrono::nanoseconds(parseStoll(config->timeout));
    } catch (const std::exception&) {
        // Unreadable: the longest time-out stays.
    }
    const auto deadline = taskDeadline(std::chrono::steady_clock::now(), timeout);

    const int lastTimeToLive = std::min<int>(maxHops, kMaxTimeToLive);
    for (int timeToLive = 1; timeToLive <= lastTimeToLive; ++timeToLive) {
        if (std::chrono::steady_clock::now() >= deadline) {
            poco_information_f2(logger(), "Traceroute to %s stopped at its time-out before hop %s",
                                config->targetHost, std::to_string(timeToLive));
            status = TaskStatus::Timeout;
            break;
        }
        std::optional<TracerouteHop> hop = probeHop(config->targetHost, timeToLive);
        if (!hop) continue;
        const bool intermediate = hop->hop_limit_exceeded;
        tracerouteResult->traceroute_result_details.push_back(std::move(*hop));
        if (!intermediate) break;
    }
    tracerouteResult->traceroute_result_hops = tracerouteResult->traceroute_result_details.size();
    poco_information_f2(logger(), "Traceroute to %s: %s hops", config->targetHost,
                        std::to_string(tracerouteResult->traceroute_result_details.size()));
}

std::unique_ptr<TaskResult> TracerouteTask::createResult() {
    if (!tracerouteResult) return nullptr;
    auto result = std::make_unique<TracerouteTaskResult>(*tracerouteResult);
    fillResult(result.get());
    return result;
}

std::optional<TracerouteHop> TracerouteTask::probeHop(const std::string& host, int timeToLive) {
    const std::int64_t before = monotonicNowNs();
    std::optional<std::string> output = runProbeCommand(buildPingCommand(host, timeToLive));
    const std::int64_t after = monotonicNowNs();
    if (!output) return std::nullopt;
    std::optional<TracerouteHop> hop = parsePingOutput(*output);
    if (hop) hop->time = static_cast<std::uint64_t>(after - before);
    return hop;
}

std::optional<std::string> TracerouteTask::runProbeCommand(const std::string& command) {
    return CommandLineHelper::tryExecuteForOutputDefaultTimeout(command, false);
}

std::string TracerouteTask::buildPingCommand(const std::string& host, int timeToLive) {
#ifdef _WIN32
    return buildWindowsPingCommand(host, timeToLive);
#else
    return buildLinuxPingCommand(host, timeToLive);
#endif
}

std::optional<TracerouteHop> TracerouteTask::parsePingOutput(const std::string& output) {
#ifdef _WIN32
    return parseWindowsPingOutput(output);
#else
    return parseLinuxPingOutput(output);
#endif
}

std::string TracerouteTask::buildWindowsPingCommand(const std::string& host, int timeToLive) {
    return "ping -n 1 -i " + std::to_string(timeToLive) + "  " + host;
}

std::optional<TracerouteHop> TracerouteTask::parseWindowsPingOutput(const std::string& output) {
    static const std::string marker = "Reply from ";
    for (std::size_t at = output.find(marker); at != std::string::npos; at = output.find(marker, at + 1)) {
        std::optional<std::string> address = addressAt(output, at + marker.size());
        if (!address) continue;
        TracerouteHop hop;
        hop.host = std::move(*address);
        hop.hop_limit_exceeded = output.find("TTL expired in transit") != std::string::npos;
        return hop;
    }
    return std::nullopt;
}

std::string TracerouteTask::buildLinuxPingCommand(const std::string& host, int timeToLive) {
    // iputils ping exits with 1 when the only answer was an ICMP error such
    // as "Time to live exceeded"; the command runner drops the output of a
    // command that fails, so the exit status is cleared and the output
    // alone decides.
    return "ping -n -c 1 -t " + std::to_string(timeToLive) + " -W 1 " + host + " || true";
}

std::optional<TracerouteHop> TracerouteTask::parseLinuxPingOutput(const std::string& output) {
    // Searched, not read line by line: the command runner hands the output
    // over with its lines joined.
    static const std::string bytesFrom = " bytes from ";
    static const std::string from = "From ";
    std::size_t searchFrom = 0;
    for (;;) {
        const std::size_t reply = output.find(bytesFrom, searchFrom);
        const std::size_t error = output.find(from, searchFrom);
        if (reply == std::string::npos && error == std::string::npos) return std::nullopt;
        std::optional<std::string> address;
        std::size_t at = 0;
        if (reply != std::string::npos && (error == std::string::npos || reply < error)) {
            at = reply;
            // "64 bytes from": a count must come first.
            if (at > 0 && std::isdigit(static_cast<unsigned char>(output[at - 1])) != 0) {
                address = addressOrNamedAddressAt(output, at + bytesFrom.size());
            }
        } else {
            at = error;
            address = addressOrNamedAddressAt(output, at + from.size());
        }
        if (address) {
            TracerouteHop hop;
            hop.host = std::move(*address);
            hop.hop_limit_exceeded = output.find("Time to live exceeded") != std::string::npos ||
                                     output.find("Time exceeded") != std::string::npos;
            return hop;
        }
        searchFrom = at + 1;
    }
}

}  // namespace trevask::measurement_library
