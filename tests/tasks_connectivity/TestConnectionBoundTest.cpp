// The test connections of the TCP and non-transparent proxy tasks wait for
// all that is left of the task's own time-out: a server that answers late,
// but within it, passes.

#include "TaskTestSupport.h"

#include "model/QosTaskConfigurations.h"
#include "model/result/ConnectivityTaskResults.h"
#include "tasks/NonTransparentProxyTask.h"
#include "tasks/TcpTask.h"

#include <future>

using namespace task_test;
using namespace std::chrono_literals;
using lumivex::test_peers::QosServerOptions;

// The server echoes at 12 s; both tasks have 20 s. Run side by side, so the
// test takes the 12 s once.
TEST(TestConnectionBound, LateAnswerWithinTheTaskTimeoutPasses) {
    QosServerOptions options;
    options.testReplyDelay = 12000ms;
    QosPeer peer(options);
    const auto ports = peer.server.tcpTestPorts();

    TcpTaskConfiguration tcpConfig;
    tcpConfig.qostest = "tcp";
    tcpConfig.qos_test_uid = "41";
    tcpConfig.out_port = std::to_string(ports.at(0));
    tcpConfig.server_addr = "127.0.0.1";
    tcpConfig.timeout = nanos(20000ms);
    NonTransparentProxyTaskConfiguration ntpConfig;
    ntpConfig.qostest = "non_transparent_proxy";
    ntpConfig.qos_test_uid = "42";
    ntpConfig.port = std::to_string(ports.at(1));
    ntpConfig.request = "GET /late HTTP/1.1";
    ntpConfig.server_addr = "127.0.0.1";
    ntpConfig.timeout = nanos(20000ms);

    auto tcpTask = TcpTask::create(&tcpConfig);
    auto ntpTask = NonTransparentProxyTask::create(&ntpConfig);
    auto run = [&peer](BaseTask& task) {
        task.setControlConnection(peer.control.get());
        const auto begin = std::chrono::steady_clock::now();
        task.runTask();
        return std::chrono::steady_clock::now() - begin;
    };
    auto tcpTook = std::async(std::launch::async, run, std::ref(*tcpTask));
    auto ntpTook = std::async(std::launch::async, run, std::ref(*ntpTask));
    for (auto* took : {&tcpTook, &ntpTook}) {
        const auto elapsed = took->get();
        EXPECT_GE(elapsed, 12000ms);
        EXPECT_LT(elapsed, 20000ms);
    }

    auto tcpResult = tcpTask->createResult();
    const auto& tcp = dynamic_cast<const TcpTaskResult&>(*tcpResult);
    EXPECT_EQ(tcp.status, "OK");
    EXPECT_EQ(tcp.tcp_result_out_response, "PING");
    auto ntpResult = ntpTask->createResult();
    const auto& ntp = dynamic_cast<const NonTransparentProxyTaskResult&>(*ntpResult);
    EXPECT_EQ(ntp.status, "OK");
    EXPECT_EQ(ntp.nontransproxy_result_response, "GET /late HTTP/1.1");
}
