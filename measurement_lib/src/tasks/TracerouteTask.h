#pragma once
// The traceroute test: runs the system's "ping" once per time-to-live, from 1
// upwards, and reads from its text output which router (or the destination)
// answered. Needs no QoS control connection. Each probe is an external
// command run with the command runner's default time-out.
//
// Two command forms are kept side by side: the Windows one ("ping -n 1 -i
// TTL", English output) and the Linux iputils one ("ping -n -c 1 -t TTL -W 1");
// buildPingCommand and parsePingOutput use the form of the running platform.

#include "model/result/DnsTracerouteTaskResults.h"
#include "tasks/BaseTask.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace Poco {
class Logger;
}

namespace trevask::measurement_library {

class TracerouteTask : public BaseTask {
public:
    static constexpr const char* kTypeKey = "TRACEROUTE";
    static constexpr std::uint16_t kDefaultMaxHops = 30;
    // The largest time-to-live an IP header can carry; higher counts probe
    // no further than this.
    static constexpr int kMaxTimeToLive = 255;

    TracerouteTask();
    ~TracerouteTask() override;

    static std::unique_ptr<BaseTask> create(TaskConfiguration* configuration);
    static bool accepts(TaskConfiguration* configuration);

    void doRunTask() override;
    // No result when the run failed before probing.
    std::unique_ptr<TaskResult> createResult() override;

    // One probe: runs the ping command and parses its output; the hop's time
    // is how long the whole command took. No value when the command gave no
    // output or no answering address.
    std::optional<TracerouteHop> probeHop(const std::string& host, int timeToLive);

    // This platform's command and parser.
    static std::string buildPingCommand(const std::string& host, int timeToLive);
    static std::optional<TracerouteHop> parsePingOutput(const std::string& output);

    // "ping -n 1 -i " TTL, two blanks, host.
    static std::string buildWindowsPingCommand(const std::string& host, int timeToLive);
    // "Reply from ADDRESS"; intermediate when "TTL expired in transit" occurs.
    static std::optional<TracerouteHop> parseWindowsPingOutput(const std::string& output);
    // "ping -n -c 1 -t TTL -W 1 host", its exit status cleared (see .cpp).
    static std::string buildLinuxPingCommand(const std::string& host, int timeToLive);
    // "N bytes from ADDRESS:" or "From ADDRESS ..."; intermediate when the
    // output reports a time-to-live (hop limit) expiry.
    static std::optional<TracerouteHop> parseLinuxPingOutput(const std::string& output);

    // Host names and IPv4/IPv6 literals only: letters, digits, '.', '-', ':'
    // and '_', not starting with '-'. The host goes into a shell command, so
    // anything else is refused.
    static bool isAcceptableHost(const std::string& host);

    // Logs under the name "TracerouteTask".
    static Poco::Logger& logger();

protected:
    // Runs one probe command; no value when it failed or printed nothing.
    // A seam for tests that replay captured outputs.
    virtual std::optional<std::string> runProbeCommand(const std::string& command);

private:
    std::unique_ptr<TracerouteTaskResult> tracerouteResult;
};

}  // namespace trevask::measurement_library
