// The TCP test task and the runner's QoS control connection against the
// QoS test server on loopback.

#include "EngineTestSupport.h"

#include "QosServer.h"
#include "common/RawTcpPeer.h"
#include "TaskRunner.h"
#include "helper/SysInfoCollector.h"
#include "model/result/ConnectivityTaskResults.h"
#include "service/MeasurementExecutorSettings.h"
#include "tasks/TcpTask.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <optional>

using namespace engine_test;
using namespace std::chrono_literals;
using lumivex::test_peers::QosServer;
using lumivex::test_peers::QosServerOptions;
using lumivex::test_peers::RawTcpPeer;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kAgent = "5d1c3a7e-0000-4000-8000-00000000abcd";

// A loopback port on which nothing listens.
std::uint16_t closedPort() {
    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor acceptor(io, {boost::asio::ip::make_address("127.0.0.1"), 0});
    return acceptor.local_endpoint().port();
}

std::string nanos(std::chrono::milliseconds ms) {
    return std::to_string(std::chrono::duration_cast<std::chrono::nanoseconds>(ms).count());
}

// One run of the task runner against a QoS server.
struct QosRun {
    MeasurementExecutorSettings settings;
    Configurations configs;
    std::vector<std::unique_ptr<BaseTask>> tasks;
    std::vector<BaseTask*> taskPointers;  // valid while runner lives
    TaskRunner runner;
    SysInfoCollector collector;

    QosRun(const std::string& host, std::uint16_t port) {
        settings.agentUuid = kAgent;
        settings.qosServerHost = host;
        settings.qosServerPort = port;
    }
    BaseTask* addTcp(std::uint32_t group, std::string uid, std::uint16_t outPort, std::string serverAddr,
                     std::chrono::milliseconds timeout) {
        tasks.push_back(TcpTask::create(
            configs.addTcp(group, std::move(uid), std::to_string(outPort), std::move(serverAddr), nanos(timeout))));
        taskPointers.push_back(tasks.back().get());
        return tasks.back().get();
    }
    void add(std::unique_ptr<BaseTask> task) {
        taskPointers.push_back(task.get());
        tasks.push_back(std::move(task));
    }
    std::vector<std::unique_ptr<TaskResult>> run() {
        runner.configure(&settings);
        runner.setTasks(std::move(tasks));
        return runner.run(collector);
    }
};

const TcpTaskResult& asTcp(const std::unique_ptr<TaskResult>& result) {
    auto* tcp = dynamic_cast<const TcpTaskResult*>(result.get());
    if (tcp == nullptr) throw std::runtime_error("not a TCP result");
    return *tcp;
}

}  // namespace

// The outcomes of the TCP test, one run each.
TEST(TcpTask, OutcomesAgainstTheQosServer) {
    struct Case {
        const char* label;
        std::function<void(QosServerOptions&)> server;
        bool crEcho;           // the test port is a scripted peer echoing "PING\r"
        bool nobodyListening;  // the server consents, but the test address has no listener
        std::chrono::milliseconds timeout;
        std::string resultStatus;
        TaskStatus taskStatus;
        bool outMembers;
    };
    const std::vector<Case> cases = {
        {"passes", {}, false, false, 3000ms, "OK", TaskStatus::Ok, true},
        {"refused", [](QosServerOptions& o) { o.refuse = {"TCPTEST"}; }, false, false, 3000ms, "ERROR",
         TaskStatus::Error, false},
        {"no answer in time", [](QosServerOptions& o) { o.replyDelay = 1500ms; }, false, false, 300ms, "TIMEOUT",
         TaskStatus::Timeout, false},
        {"echo ends in CR", {}, true, false, 3000ms, "ERROR", TaskStatus::Ok, false},
        {"test connection refused", {}, false, true, 3000ms, "ERROR", TaskStatus::Ok, false},
        {"test connection silent", [](QosServerOptions& o) { o.silentTestConnections = true; }, false, false, 400ms,
         "ERROR", TaskStatus::Ok, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        QosServerOptions options;
        // With a scripted test peer on 127.0.0.1 the server listens elsewhere,
        // so that it can open the same port number on demand.
        if (c.crEcho) options.bindAddress = "127.0.0.2";
        if (c.server) c.server(options);
        QosServer server(options);
        server.start();
        std::optional<RawTcpPeer> peer;
        std::uint16_t outPort = server.tcpTestPorts().at(0);
        std::string testAddress = "127.0.0.1";
        if (c.crEcho) {
            peer.emplace(RawTcpPeer::Options{{"PING\r\n"}, 0ms, false, 5000ms});
            outPort = peer->port();
        }
        if (c.nobodyListening) {
            outPort = closedPort();
            testAddress = "127.0.0.3";
        }

        QosRun run(options.bindAddress, server.controlPort());
        BaseTask* task = run.addTcp(0, "21", outPort, testAddress, c.timeout);
        const auto begin = Clock::now();
        const auto results = run.run();
        const auto took = Clock::now() - begin;

        ASSERT_EQ(results.size(), 1u);
        const auto& result = asTcp(results[0]);
        EXPECT_EQ(result.status, c.resultStatus);
        EXPECT_EQ(task->getStatus(), c.taskStatus);
        EXPECT_EQ(result.objective_id, 21);
        EXPECT_EQ(result.objective_task_type, "tcp");
        EXPECT_FALSE(result.error_message);
        if (c.outMembers) {
            EXPECT_EQ(result.tcp_result_out, "OK");
            EXPECT_EQ(result.tcp_result_out_response, "PING");
            EXPECT_EQ(result.tcp_objective_out_port, outPort);
        } else {
            EXPECT_EQ(result.tcp_result_out, "");
            EXPECT_EQ(result.tcp_result_out_response, "");
            EXPECT_EQ(result.tcp_objective_out_port, 0);
        }
        EXPECT_EQ(result.tcp_objective_in_port, 0);
        EXPECT_LT(took, c.timeout + 2s);
        if (c.crEcho) {
            EXPECT_EQ(peer->received(5, 2000ms), "PING\n");
        }
    }
}

TEST(TcpTask, ConfigurationFaultsEndInError) {
    Configurations configs;
    auto* noPort = configs.addTcp(0, "1", "", "127.0.0.1", "1000");
    auto* other = configs.add(0, "2", "udp");
    QosControlConnection unconnected("127.0.0.1", 1, false, "TOKEN x");
    struct Case {
        TaskConfiguration* config;
        std::string out;
    };
    for (const auto& c : {Case{nullptr, "TaskException No configuration provided\n"},
                          Case{other, "TaskException Configuration is not a Tcp Task configuration\n"},
                          Case{noPort, "TaskException out_port is not configured, in_port is not supported yet\n"}}) {
        auto task = TcpTask::create(c.config);
        task->setControlConnection(&unconnected);
        testing::internal::CaptureStdout();
        task->runTask();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out);
        EXPECT_EQ(task->getStatus(), TaskStatus::Error);
        EXPECT_EQ(task->createResult()->status, "ERROR");
    }
    EXPECT_TRUE(TcpTask::accepts(noPort));
    EXPECT_FALSE(TcpTask::accepts(other));
    EXPECT_FALSE(TcpTask::accepts(nullptr));
}

TEST(TcpTask, ZeroTimeoutEndsAtOnce) {
    QosServerOptions options;
    options.replyDelay = 200ms;
    QosServer server(options);
    server.start();
    QosRun run("127.0.0.1", server.controlPort());
    BaseTask* task = run.addTcp(0, "3", server.tcpTestPorts().at(0), "127.0.0.1", 0ms);
    const auto results = run.run();
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0]->status, "TIMEOUT");
    EXPECT_EQ(task->getStatus(), TaskStatus::Timeout);
    EXPECT_TRUE(server.waitForControlLines(3, 2000ms));
    EXPECT_EQ(server.controlLines().at(2), "TCPTEST OUT " + std::to_string(server.tcpTestPorts().at(0)) + " +ID3");
}

// The control connection is opened once, lazily, right before the first
// task that needs it; tasks of later groups share it.
TEST(TaskRunnerQos, ControlConnectionIsOpenedOnceWhenFirstNeeded) {
    QosProgressRecorder progress;
    QosServer server;
    server.start();
    QosRun run("127.0.0.1", server.controlPort());
    std::atomic<int> connectionsSeenByFirstGroup{-1};
    auto first = std::make_unique<ScriptedTask>(
        "DNS", [&](ScriptedTask&) { connectionsSeenByFirstGroup = server.controlConnections(); });
    first->setConfiguration(run.configs.add(0, "1", "dns"));
    run.add(std::move(first));
    const auto ports = server.tcpTestPorts();
    run.addTcp(1, "11", ports.at(0), "127.0.0.1", 3000ms);
    run.addTcp(1, "12", ports.at(1), "127.0.0.1", 3000ms);
    run.addTcp(2, "13", ports.at(0), "127.0.0.1", 3000ms);
    const auto results = run.run();

    EXPECT_EQ(connectionsSeenByFirstGroup.load(), 0);
    EXPECT_EQ(server.controlConnections(), 1);
    ASSERT_EQ(results.size(), 4u);
    for (const auto& r : results)
        if (r->objective_task_type == "tcp") {
            EXPECT_EQ(r->status, "OK") << r->qos_test_uid;
        }
    const auto lines = server.controlLines();
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(lines[0], std::string("TOKEN ") + kAgent + TaskRunner::kTokenSuffix);
    EXPECT_EQ(lines[1], "REQUEST CONN TIMEOUT 600000");

    // Registration, then one update per start and one per result of the four tasks.
    const auto updates = progress.updates();
    ASSERT_EQ(updates.size(), 9u);
    EXPECT_EQ(updates.front().qos_test_state, "NOT_STARTED");
    EXPECT_EQ(updates.front().progress, 0.0);
    EXPECT_EQ(updates.front().started_qos_types, (std::vector<std::string>{"DNS", "TCP"}));
    EXPECT_EQ(updates.back().qos_type_to_progress, (std::map<std::string, float>{{"DNS", 1.f}, {"TCP", 1.f}}));
    EXPECT_EQ(updates.back().progress, 1.0);
    EXPECT_EQ(updates.back().finished_qos_types, (std::vector<std::string>{"DNS", "TCP"}));
}

TEST(TaskRunnerQos, RunWithoutQosTasksNeverConnects) {
    QosServer server;
    server.start();
    QosRun run("127.0.0.1", server.controlPort());
    auto task = std::make_unique<ScriptedTask>("PROGRAM");
    task->setConfiguration(run.configs.add(0, "1", ""));
    run.add(std::move(task));
    EXPECT_EQ(run.run().size(), 1u);
    EXPECT_EQ(server.controlConnections(), 0);
}

// A control connection that cannot be made is tried once and holds the
// runner no longer than its bound; every QoS task then times out.
TEST(TaskRunnerQos, UnusableControlConnectionIsTriedOnceWithinItsBound) {
    struct Case {
        const char* label;
        std::optional<QosServerOptions::Silence> silence;  // none: nothing listens
        int expectedConnections;
    };
    for (const auto& c : {Case{"refused", std::nullopt, 0},
                          Case{"silent after accept", QosServerOptions::Silence::AfterAccept, 1},
                          Case{"silent after token", QosServerOptions::Silence::AfterToken, 1}}) {
        SCOPED_TRACE(c.label);
        QosServerOptions options;
        if (c.silence) options.silence = *c.silence;
        QosServer server(options);
        server.start();
        LogCapture log("QosControlConnection");
        QosRun run("127.0.0.1", c.silence ? server.controlPort() : closedPort());
        run.runner.setControlConnectionTimeout(300ms);
        const auto ports = server.tcpTestPorts();
        BaseTask* a = run.addTcp(0, "31", ports.at(0), "127.0.0.1", 250ms);
        BaseTask* b = run.addTcp(1, "32", ports.at(1), "127.0.0.1", 250ms);

        const auto begin = Clock::now();
        const auto results = run.run();
        const auto took = Clock::now() - begin;

        EXPECT_EQ(log.count("Connecting Qos control connection..."), 1u);
        EXPECT_EQ(server.controlConnections(), c.expectedConnections);
        ASSERT_EQ(results.size(), 2u);
        for (const auto& r : results) EXPECT_EQ(r->status, "TIMEOUT");
        EXPECT_EQ(a->getStatus(), TaskStatus::Timeout);
        EXPECT_EQ(b->getStatus(), TaskStatus::Timeout);
        // Bound of the handshake plus the two groups' time-outs, with slack.
        EXPECT_LT(took, 300ms + 2 * 250ms + 1500ms);
    }
}
