// The four tasks in one concurrency group of a task runner run, sharing the
// runner's control connection to the QoS test server.

#include "TaskTestSupport.h"

#include "HttpTestServer.h"
#include "TaskRunner.h"
#include "helper/CommandLineHelper.h"
#include "helper/SysInfoCollector.h"
#include "model/QosTaskConfigurations.h"
#include "model/SpeedTaskConfigurations.h"
#include "model/result/ConnectivityTaskResults.h"
#include "model/result/ProgramTaskResults.h"
#include "service/MeasurementExecutorSettings.h"
#include "tasks/HttpProxyTask.h"
#include "tasks/NonTransparentProxyTask.h"
#include "tasks/OoklaSpeedtestCliTask.h"
#include "tasks/UdpTask.h"

#include <map>

using namespace task_test;
using namespace std::chrono_literals;
using lumivex::test::HttpTestServer;
using lumivex::test::ScriptedReply;
using lumivex::test_peers::QosServer;

TEST(ConnectivityTasks, OneGroupOfARunnerRun) {
    QosServer qos;
    qos.start();
    HttpTestServer http;
    http.start();
    http.on("GET", "/object", ScriptedReply::text(200, "payload"));

    auto udp = std::make_unique<UdpTaskConfiguration>();
    udp->qostest = "udp";
    udp->qos_test_uid = "1";
    udp->out_port = std::to_string(qos.udpTestPorts().at(0));
    udp->out_num_packets = "3";
    udp->delay = "5000000";
    udp->timeout = nanos(3000ms);
    udp->server_addr = "127.0.0.1";
    udp->agentUuid = kAgentUuid;

    auto ntp = std::make_unique<NonTransparentProxyTaskConfiguration>();
    ntp->qostest = "non_transparent_proxy";
    ntp->qos_test_uid = "2";
    ntp->port = std::to_string(qos.tcpTestPorts().at(0));
    ntp->request = "HELLO proxy";
    ntp->timeout = nanos(3000ms);
    ntp->server_addr = "127.0.0.1";

    auto httpOk = std::make_unique<HttpProxyTaskConfiguration>();
    httpOk->qostest = "http_proxy";
    httpOk->qos_test_uid = "3";
    httpOk->url = http.baseUrl() + "/object";
    auto httpNoUrl = std::make_unique<HttpProxyTaskConfiguration>();
    httpNoUrl->qostest = "http_proxy";
    httpNoUrl->qos_test_uid = "4";

    // Not installed here: ends in ERROR and still delivers its result.
    auto ookla = std::make_unique<OoklaSpeedtestCliTaskConfiguration>();
    ookla->qostest = "OOKLA_SPEEDTEST_CLI";
    ookla->qos_test_uid = "5";
    CommandLineHelper::setEnvironment({{"OOKLA_SPEEDTEST_CLI", "/nonexistent/speedtest"}});

    std::vector<std::unique_ptr<BaseTask>> tasks;
    tasks.push_back(UdpTask::create(udp.get()));
    tasks.push_back(NonTransparentProxyTask::create(ntp.get()));
    tasks.push_back(HttpProxyTask::create(httpOk.get()));
    tasks.push_back(HttpProxyTask::create(httpNoUrl.get()));
    tasks.push_back(OoklaSpeedtestCliTask::create(ookla.get()));

    MeasurementExecutorSettings settings;
    settings.agentUuid = kAgentUuid;
    settings.qosServerHost = "127.0.0.1";
    settings.qosServerPort = qos.controlPort();
    TaskRunner runner;
    SysInfoCollector collector;
    runner.configure(&settings);
    runner.setTasks(std::move(tasks));
    const auto results = runner.run(collector);
    CommandLineHelper::setEnvironment({});

    std::map<std::string, const TaskResult*> byUid;
    for (const auto& r : results) byUid[r->qos_test_uid] = r.get();
    ASSERT_EQ(byUid.size(), 4u);  // the HTTP task without URL delivers none
    EXPECT_EQ(byUid.count("4"), 0u);
    EXPECT_EQ(byUid["1"]->status, "OK");
    EXPECT_EQ(dynamic_cast<const UdpTaskResult&>(*byUid["1"]).udp_result_out_num_packets, 3u);
    EXPECT_EQ(byUid["2"]->status, "OK");
    EXPECT_EQ(dynamic_cast<const NonTransparentProxyTaskResult&>(*byUid["2"]).nontransproxy_result_response,
              "HELLO proxy");
    EXPECT_EQ(dynamic_cast<const HttpProxyTaskResult&>(*byUid["3"]).http_result_status, "200");
    EXPECT_EQ(byUid["5"]->status, "ERROR");
    EXPECT_NE(dynamic_cast<const OoklaSpeedtestCliTaskResult*>(byUid["5"]), nullptr);
}
