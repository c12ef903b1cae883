// Whole task runner runs of QoS tasks with absurd values against the QoS
// test server: the run ends within the sum of its concurrency groups'
// time-outs plus a small margin, every task delivers its result with a clear
// status, and memory stays below 100 MiB.

#include "HostileTaskSupport.h"

#include <map>

#include "TaskRunner.h"
#include "helper/SysInfoCollector.h"
#include "service/MeasurementExecutorSettings.h"
#include "tasks/SipTask.h"
#include "tasks/TcpTask.h"
#include "tasks/UdpTask.h"
#include "tasks/VoipTask.h"

using namespace hostile_test;
using lumivex::test_peers::QosServer;
using lumivex::test_peers::QosServerOptions;

namespace {

// What the run may take beyond the sum of its groups' time-outs.
constexpr auto kRunMargin = 1500ms;

struct RunOutcome {
    std::map<std::string, std::string> statusByUid;
    std::chrono::milliseconds took{0};
};

// Runs the configurations as one measurement's tasks against the server.
RunOutcome runAll(const QosServer& server, std::vector<std::unique_ptr<TaskConfiguration>>& configs) {
    std::vector<std::unique_ptr<BaseTask>> tasks;
    for (auto& config : configs) {
        if (UdpTask::accepts(config.get())) tasks.push_back(UdpTask::create(config.get()));
        else if (VoipTask::accepts(config.get())) tasks.push_back(VoipTask::create(config.get()));
        else if (SipTask::accepts(config.get())) tasks.push_back(SipTask::create(config.get()));
        else if (TcpTask::accepts(config.get())) tasks.push_back(TcpTask::create(config.get()));
    }
    MeasurementExecutorSettings settings;
    settings.agentUuid = kAgentUuid;
    settings.qosServerHost = "127.0.0.1";
    settings.qosServerPort = server.controlPort();
    TaskRunner runner;
    runner.configure(&settings);
    runner.setTasks(std::move(tasks));
    SysInfoCollector collector;

    RunOutcome outcome;
    const auto begin = std::chrono::steady_clock::now();
    testing::internal::CaptureStdout();
    const auto results = runner.run(collector);
    testing::internal::GetCapturedStdout();
    outcome.took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begin);
    for (const auto& result : results) outcome.statusByUid[result->qos_test_uid] = result->status;
    return outcome;
}

template <typename Config>
std::unique_ptr<TaskConfiguration> inGroup(std::unique_ptr<Config> config, std::uint32_t group, const char* uid) {
    config->concurrency_group = group;
    config->qos_test_uid = uid;
    return config;
}

}  // namespace

TEST(AbsurdRun, EndsWithinTheSumOfItsGroupsTimeOuts) {
    QosPeer peer;  // its server serves the run; its own control connection is not used
    std::vector<std::unique_ptr<TaskConfiguration>> configs;
    // Group 1, time-outs of 2 s.
    configs.push_back(inGroup(voipConfig(peer, kQuintillionNs, "1", 2s), 1, "1"));
    configs.push_back(inGroup(udpConfig(peer, kBillion, "0", 2s), 1, "2"));
    configs.push_back(inGroup(sipConfig(peer, kBillion, "0", 2s), 1, "3"));
    // Group 2, time-outs of 1 s; the TCP test is an ordinary one.
    configs.push_back(inGroup(udpConfig(peer, kBillion, kQuintillionNs, 1s), 2, "4"));
    configs.push_back(inGroup(tcpConfig(peer, 1s), 2, "5"));

    const auto outcome = runAll(peer.server, configs);

    EXPECT_LT(outcome.took, 2s + 1s + kRunMargin);
    const std::map<std::string, std::string> expected = {
        {"1", "TIMEOUT"}, {"2", "TIMEOUT"}, {"3", "TIMEOUT"}, {"4", "TIMEOUT"}, {"5", "OK"}};
    EXPECT_EQ(outcome.statusByUid, expected);
    expectMemoryBounded();
}

// A QoS server that falls silent after its greeting: the handshake is held
// to the first task's time-out, and every task then ends at its own.
TEST(AbsurdRun, SilentControlServerHoldsTheRunNoLongerThanItsTimeOuts) {
    QosServerOptions options;
    options.silence = QosServerOptions::Silence::AfterGreeting;
    QosServer server(options);
    server.start();
    QosPeer ports;  // only lends its port numbers to the configurations
    std::vector<std::unique_ptr<TaskConfiguration>> configs;
    configs.push_back(inGroup(voipConfig(ports, kQuintillionNs, "20000000", 1s), 0, "1"));
    configs.push_back(inGroup(udpConfig(ports, kBillion, "0", 1s), 0, "2"));
    configs.push_back(inGroup(sipConfig(ports, kBillion, kQuintillionNs, 1s), 0, "3"));

    const auto outcome = runAll(server, configs);

    // The handshake (1 s) and the group (1 s).
    EXPECT_LT(outcome.took, 1s + 1s + kRunMargin);
    const std::map<std::string, std::string> expected = {{"1", "TIMEOUT"}, {"2", "TIMEOUT"}, {"3", "TIMEOUT"}};
    EXPECT_EQ(outcome.statusByUid, expected);
    expectMemoryBounded();
}
