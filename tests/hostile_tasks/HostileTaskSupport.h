#pragma once
// Helpers of the tests that give the QoS tasks the values a hostile or broken
// control document could hold: configurations against a QoS test server,
// one bounded run of a task, and the process's memory as /proc tells it.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>

#include "QosControlConnection.h"
#include "QosServer.h"
#include "TaskTestSupport.h"
#include "model/QosTaskConfigurations.h"
#include "model/result/TaskResult.h"
#include "tasks/BaseTask.h"

namespace hostile_test {

using namespace trevask::measurement_library;
using namespace std::chrono_literals;

using task_test::kAgentUuid;
// Larger than any count or duration a task could get through in a test.
constexpr const char* kBillion = "1000000000";
constexpr const char* kQuintillionNs = "1000000000000000000";  // 10^18 ns, about 31 years
constexpr const char* kLargestNs = "9223372036854775807";      // the largest signed 64-bit value

// Memory use has to stay below this whatever a configuration asks for.
constexpr std::int64_t kMemoryBoundKiB = 100 * 1024;

inline std::string nanos(std::chrono::nanoseconds duration) { return std::to_string(duration.count()); }

// A field of /proc/self/status in KiB ("VmRSS", "VmHWM"); -1 when not found.
inline std::int64_t procStatusKiB(const std::string& field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field + ":", 0) == 0) return std::stoll(line.substr(field.size() + 1));
    }
    return -1;
}

// The process's resident memory now and at its peak must stay below the bound.
inline void expectMemoryBounded() {
    const auto rss = procStatusKiB("VmRSS");
    const auto peak = procStatusKiB("VmHWM");
    ASSERT_GT(rss, 0);
    std::cout << "memory: VmRSS " << rss << " KiB, VmHWM " << peak << " KiB" << std::endl;
    EXPECT_LT(rss, kMemoryBoundKiB) << "VmRSS " << rss << " KiB";
    EXPECT_LT(peak, kMemoryBoundKiB) << "VmHWM " << peak << " KiB";
}

// A started QoS test server and the run's control connection to it.
struct QosPeer {
    explicit QosPeer(lumivex::test_peers::QosServerOptions options = {}) : server(options) {
        server.start();
        control = std::make_unique<QosControlConnection>("127.0.0.1", server.controlPort(), false,
                                                         "TOKEN test-agent", std::chrono::seconds(2));
        connected = control->connect();
    }
    lumivex::test_peers::QosServer server;
    std::unique_ptr<QosControlConnection> control;
    bool connected = false;
};

inline void fillBase(TaskConfiguration& config, const char* type, const char* uid, std::chrono::nanoseconds timeout) {
    config.qostest = type;
    config.qos_test_uid = uid;
    config.timeout = nanos(timeout);
    config.server_addr = "127.0.0.1";
    config.agentUuid = kAgentUuid;
}

inline std::unique_ptr<UdpTaskConfiguration> udpConfig(const QosPeer& peer, std::string packets, std::string delay,
                                                       std::chrono::nanoseconds timeout) {
    auto config = std::make_unique<UdpTaskConfiguration>();
    fillBase(*config, "udp", "11", timeout);
    config->out_port = std::to_string(peer.server.udpTestPorts().at(0));
    config->out_num_packets = std::move(packets);
    config->delay = std::move(delay);
    return config;
}

inline std::unique_ptr<VoipTaskConfiguration> voipConfig(const QosPeer& peer, std::string callDuration,
                                                         std::string delay, std::chrono::nanoseconds timeout) {
    auto config = std::make_unique<VoipTaskConfiguration>();
    fillBase(*config, "voip", "12", timeout);
    config->out_port = std::to_string(peer.server.udpTestPorts().at(1));
    config->call_duration = std::move(callDuration);
    config->delay = std::move(delay);
    return config;
}

inline std::unique_ptr<SipTaskConfiguration> sipConfig(const QosPeer& peer, std::string count,
                                                       std::string callDuration, std::chrono::nanoseconds timeout) {
    auto config = std::make_unique<SipTaskConfiguration>();
    fillBase(*config, "sip", "13", timeout);
    config->port = std::to_string(peer.server.tcpTestPorts().at(0));
    config->count = std::move(count);
    config->call_duration = std::move(callDuration);
    config->from = "agent@lumivex.test";
    config->to = "server@lumivex.test";
    return config;
}

inline std::unique_ptr<TcpTaskConfiguration> tcpConfig(const QosPeer& peer, std::chrono::nanoseconds timeout) {
    auto config = std::make_unique<TcpTaskConfiguration>();
    fillBase(*config, "tcp", "14", timeout);
    config->out_port = std::to_string(peer.server.tcpTestPorts().at(1));
    return config;
}

inline std::unique_ptr<NonTransparentProxyTaskConfiguration> ntpConfig(const QosPeer& peer,
                                                                       std::chrono::nanoseconds timeout) {
    auto config = std::make_unique<NonTransparentProxyTaskConfiguration>();
    fillBase(*config, "non_transparent_proxy", "15", timeout);
    config->port = std::to_string(peer.server.tcpTestPorts().at(1));
    config->request = "GET / HTTP/1.1";
    return config;
}

// One run of a task through its frame: the connectivity tests' own helper.
using task_test::Outcome;
using task_test::runTask;

}  // namespace hostile_test
