// The non-transparent proxy task against the QoS test server on loopback,
// with a scripted peer standing in for a proxy that rewrites the line.

#include "TaskTestSupport.h"

#include "common/RawTcpPeer.h"
#include "model/QosTaskConfigurations.h"
#include "model/result/ConnectivityTaskResults.h"
#include "tasks/NonTransparentProxyTask.h"

#include <functional>
#include <optional>
#include <vector>

using namespace task_test;
using namespace std::chrono_literals;
using lumivex::test_peers::QosServerOptions;
using lumivex::test_peers::RawTcpPeer;

namespace {

constexpr const char* kRequest = "GET /proxy-check HTTP/1.1";

std::unique_ptr<NonTransparentProxyTaskConfiguration> ntpConfig(std::string port, std::string request,
                                                                std::chrono::milliseconds timeout,
                                                                std::string address = "127.0.0.1") {
    auto c = std::make_unique<NonTransparentProxyTaskConfiguration>();
    c->qostest = "non_transparent_proxy";
    c->qos_test_uid = "17";
    c->concurrency_group = 2;
    c->port = std::move(port);
    c->request = std::move(request);
    c->timeout = nanos(timeout);
    c->server_addr = std::move(address);
    return c;
}

}  // namespace

TEST(NonTransparentProxyTask, OutcomesAgainstTheQosServer) {
    struct Case {
        const char* label;
        std::function<void(QosServerOptions&)> server;
        std::optional<std::string> proxyAnswer;  // a scripted proxy answers on the test address
        bool nobodyListening;                    // the test address has no listener
        std::string request;
        std::chrono::milliseconds timeout;
        TaskStatus status;
        std::string response;
        std::string printed;
    };
    const std::vector<Case> cases = {
        {"line comes back unchanged", {}, std::nullopt, false, kRequest, 3000ms, TaskStatus::Ok, kRequest, ""},
        {"proxy rewrites the line", {}, "GET http://127.0.0.1/proxy-check HTTP/1.1\n", false, kRequest, 3000ms,
         TaskStatus::Error, "GET http://127.0.0.1/proxy-check HTTP/1.1", ""},
        {"echo ends in CR", [](QosServerOptions& o) { o.testCrlf = true; }, std::nullopt, false, kRequest, 3000ms,
         TaskStatus::Error, std::string(kRequest) + "\r", ""},
        {"test connection silent", [](QosServerOptions& o) { o.silentTestConnections = true; }, std::nullopt, false,
         kRequest, 400ms, TaskStatus::Error, "", ""},
        {"server refuses", [](QosServerOptions& o) { o.refuse = {"NTPTEST"}; }, std::nullopt, false, kRequest, 3000ms,
         TaskStatus::Error, "", ""},
        {"no answer", [](QosServerOptions& o) { o.silence = QosServerOptions::Silence::Commands; }, std::nullopt,
         false, kRequest, 300ms, TaskStatus::Timeout, "",
         "TaskTimeoutException Timeout waiting for QoS server result"},
        {"empty request, test connection refused", {}, std::nullopt, true, "", 3000ms, TaskStatus::Error, "", ""},
        // The connection opens but no line comes back: a failed read, not
        // an empty echo that matches the empty request.
        {"empty request, test connection silent", [](QosServerOptions& o) { o.silentTestConnections = true; },
         std::nullopt, false, "", 400ms, TaskStatus::Error, "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        QosServerOptions options;
        // With a peer of the test's own on 127.0.0.1 (or none), the server
        // listens elsewhere, so that it can open the same port number.
        const bool elsewhere = c.proxyAnswer || c.nobodyListening;
        if (elsewhere) options.bindAddress = "127.0.0.2";
        if (c.server) c.server(options);
        std::optional<RawTcpPeer> proxy;
        if (c.proxyAnswer) proxy.emplace(RawTcpPeer::Options{{*c.proxyAnswer}, 0ms, false, 5000ms});
        QosPeer peer(options);
        const std::uint16_t port = proxy ? proxy->port() : peer.server.tcpTestPorts().at(0);
        auto config = ntpConfig(std::to_string(port), c.request, c.timeout);
        auto task = NonTransparentProxyTask::create(config.get());
        const auto outcome = runTask(*task, peer.control.get());

        EXPECT_EQ(outcome.status, c.status);
        EXPECT_NE(outcome.printed.find(c.printed), std::string::npos) << outcome.printed;
        EXPECT_LT(outcome.took, c.timeout + 1000ms);
        const auto& r = outcome.as<NonTransparentProxyTaskResult>();
        EXPECT_EQ(r.status, taskStatusToString(c.status));
        EXPECT_EQ(r.nontransproxy_result, r.status);
        EXPECT_EQ(r.nontransproxy_result_response, c.response);
        EXPECT_EQ(r.nontransproxy_objective_request, c.request);
        EXPECT_EQ(r.nontransproxy_objective_port, port);
        EXPECT_EQ(r.qos_test_uid, "17");
        EXPECT_EQ(r.objective_concurrency_group, 2u);
        EXPECT_FALSE(r.error_message.has_value());
        EXPECT_EQ(peer.commands().at(0), "NTPTEST " + std::to_string(port) + " +ID17");
    }
}

TEST(NonTransparentProxyTask, ConfigurationFailures) {
    QosPeer peer;
    {
        SCOPED_TRACE("empty port");
        auto config = ntpConfig("", kRequest, 1000ms);
        auto task = NonTransparentProxyTask::create(config.get());
        const auto outcome = runTask(*task, peer.control.get());
        EXPECT_EQ(outcome.status, TaskStatus::Error);
        EXPECT_NE(outcome.printed.find("TaskException port is not configured"), std::string::npos);
        const auto& r = outcome.as<NonTransparentProxyTaskResult>();
        EXPECT_EQ(r.nontransproxy_result, "ERROR");
        EXPECT_EQ(r.nontransproxy_objective_port, 0u);
        EXPECT_EQ(r.nontransproxy_objective_request, kRequest);
    }
    {
        SCOPED_TRACE("no configuration");
        auto task = NonTransparentProxyTask::create(nullptr);
        const auto outcome = runTask(*task, peer.control.get());
        EXPECT_EQ(outcome.status, TaskStatus::Error);
        EXPECT_NE(outcome.printed.find("TaskException No configuration provided"), std::string::npos);
        EXPECT_EQ(outcome.as<NonTransparentProxyTaskResult>().nontransproxy_result, "ERROR");
    }
    {
        SCOPED_TRACE("configuration of another kind");
        UdpTaskConfiguration other;
        auto task = NonTransparentProxyTask::create(&other);
        const auto outcome = runTask(*task, peer.control.get());
        EXPECT_EQ(outcome.status, TaskStatus::Error);
        EXPECT_NE(outcome.printed.find("TaskException Configuration is not a Non Transparent Proxy Task configuration"),
                  std::string::npos);
    }
    {
        SCOPED_TRACE("no control connection");
        auto config = ntpConfig("1234", kRequest, 1000ms);
        auto task = NonTransparentProxyTask::create(config.get());
        const auto outcome = runTask(*task, nullptr);
        EXPECT_EQ(outcome.status, TaskStatus::Error);
        EXPECT_NE(outcome.printed.find("No QoS control connection set for task NON_TRANSPARENT_PROXY, uid: 17"),
                  std::string::npos);
    }
    EXPECT_TRUE(peer.commands().empty());
    EXPECT_TRUE(NonTransparentProxyTask::accepts(ntpConfig("1", "", 1ms).get()));
    EXPECT_FALSE(NonTransparentProxyTask::accepts(nullptr));
}
