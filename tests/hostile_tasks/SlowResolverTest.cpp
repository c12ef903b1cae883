// Name resolution that never ends: inside a private network namespace whose
// resolv.conf names a UDP socket that takes queries and never answers (and
// asks the system resolver to wait 30 s, five times, per query), a QoS server
// given by host name must not hold a connection, a stream, a task or the
// process beyond its bound. Skipped where namespaces are not permitted.

#include "DnsSandbox.h"
#include "HostileTaskSupport.h"

#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <thread>
#include <vector>

#include <boost/system/system_error.hpp>

#include "NameResolution.h"
#include "TcpConnection.h"
#include "UdpStream.h"
#include "model/result/DnsTracerouteTaskResults.h"
#include "tasks/DnsTask.h"
#include "tasks/NonTransparentProxyTask.h"
#include "tasks/SipTask.h"
#include "tasks/TcpTask.h"
#include "tasks/UdpTask.h"
#include "tasks/VoipTask.h"

using namespace hostile_test;
using lumivex::test::DnsSandbox;
using lumivex::test::SilentUdpPeer;

namespace {

// A name only the silent name server could answer.
constexpr const char* kHangingHost = "qos.hang.test";
// What a bounded wait may take beyond its bound.
constexpr auto kSlack = 700ms;

std::chrono::milliseconds since(std::chrono::steady_clock::time_point begin) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begin);
}

class SlowResolver : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        problem = DnsSandbox::enter();
        if (!problem.empty()) return;
        // Kept for the whole process: lookups given up on stay pending.
        silent = new SilentUdpPeer("127.0.0.2", 53);
        DnsSandbox::writeResolvConf("nameserver 127.0.0.2\noptions timeout:30 attempts:5\n");
    }
    void SetUp() override {
        if (!problem.empty()) GTEST_SKIP() << "no private network namespace here: " << problem;
    }
    static inline std::string problem;
    static inline SilentUdpPeer* silent = nullptr;
};

}  // namespace

TEST_F(SlowResolver, ConnectionsAndStreamsGiveUpAtTheirBound) {
    {
        SCOPED_TRACE("TCP connection with a deadline");
        TcpConnection connection(kHangingHost, 4000, false, "tcp_1");
        connection.setDeadline(std::chrono::steady_clock::now() + 500ms);
        const auto begin = std::chrono::steady_clock::now();
        EXPECT_FALSE(connection.connect());
        const auto took = since(begin);
        EXPECT_GE(took, 450ms);  // the resolver was given its time, and did hang
        EXPECT_LT(took, 500ms + kSlack);
    }
    {
        SCOPED_TRACE("TCP connection with an I/O time-out");
        TcpConnection connection(kHangingHost, 4000, true, "tls_1");
        connection.setIoTimeout(300ms);
        const auto begin = std::chrono::steady_clock::now();
        EXPECT_FALSE(connection.connect());
        EXPECT_LT(since(begin), 300ms + kSlack);
    }
    {
        SCOPED_TRACE("QoS control connection");
        QosControlConnection control(kHangingHost, 5000, false, "TOKEN test-agent", 400ms);
        const auto begin = std::chrono::steady_clock::now();
        EXPECT_FALSE(control.connect());
        EXPECT_LT(since(begin), 400ms + kSlack);
    }
    {
        SCOPED_TRACE("UDP stream");
        const auto begin = std::chrono::steady_clock::now();
        try {
            UdpStream stream(kHangingHost, 5000, begin + 500ms);
            ADD_FAILURE() << "the stream was made";
        } catch (const boost::system::system_error& e) {
            const std::string what = e.what();
            EXPECT_EQ(what.rfind("resolve", 0), 0u) << what;
            EXPECT_NE(what.find("name resolution timed out"), std::string::npos) << what;
        }
        EXPECT_LT(since(begin), 500ms + kSlack);
    }
    {
        SCOPED_TRACE("a numeric address needs no name server");
        lumivex::test_peers::QosServer server;
        server.start();
        TcpConnection connection("127.0.0.1", server.tcpTestPorts().at(0), false, "tcp_2");
        connection.setDeadline(std::chrono::steady_clock::now() + 500ms);
        EXPECT_TRUE(connection.connect());
        UdpStream stream("127.0.0.1", server.udpTestPorts().at(0), std::chrono::steady_clock::now());
        EXPECT_TRUE(stream.isReceiving());
    }
}

// Every QoS task whose server is given by a host name that never resolves
// ends at its time-out (1 s here) with a failure status.
TEST_F(SlowResolver, QosTasksEndAtTheirTimeOut) {
    constexpr auto kTimeout = 1s;
    struct Case {
        const char* label;
        std::function<std::unique_ptr<TaskConfiguration>(const QosPeer&)> build;
        std::unique_ptr<BaseTask> (*create)(TaskConfiguration*);
    };
    const std::vector<Case> cases = {
        {"TCP", [&](const QosPeer& p) { return std::unique_ptr<TaskConfiguration>(tcpConfig(p, kTimeout)); },
         &TcpTask::create},
        {"non-transparent proxy",
         [&](const QosPeer& p) { return std::unique_ptr<TaskConfiguration>(ntpConfig(p, kTimeout)); },
         &NonTransparentProxyTask::create},
        {"SIP", [&](const QosPeer& p) { return std::unique_ptr<TaskConfiguration>(sipConfig(p, "3", "0", kTimeout)); },
         &SipTask::create},
        {"UDP",
         [&](const QosPeer& p) { return std::unique_ptr<TaskConfiguration>(udpConfig(p, "3", "1000000", kTimeout)); },
         &UdpTask::create},
        {"VoIP",
         [&](const QosPeer& p) {
             return std::unique_ptr<TaskConfiguration>(voipConfig(p, "100000000", "20000000", kTimeout));
         },
         &VoipTask::create},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        QosPeer peer;  // the control connection itself goes by address
        ASSERT_TRUE(peer.connected);
        auto config = c.build(peer);
        config->server_addr = kHangingHost;
        auto task = c.create(config.get());
        const auto outcome = runTask(*task, peer.control.get());

        EXPECT_LT(outcome.took, kTimeout + kSlack);
        ASSERT_NE(outcome.result, nullptr) << outcome.resultFailure;
        EXPECT_TRUE(outcome.result->status == "ERROR" || outcome.result->status == "TIMEOUT")
            << outcome.result->status;
    }
    expectMemoryBounded();
}

// A process that ends while a lookup it gave up on is still blocked in the
// resolver exits at once: nothing waits for the lookup's thread.
TEST_F(SlowResolver, ExitDoesNotWaitForAPendingLookup) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        boost::system::error_code error;
        resolveHost(kHangingHost, 80, SocketKind::Stream, std::chrono::steady_clock::now() + 200ms, error);
        std::exit(error == resolutionTimedOut() && pendingLookups() > 0 ? 0 : 3);
    }
    const auto begin = std::chrono::steady_clock::now();
    int status = 0;
    pid_t ended = 0;
    while ((ended = ::waitpid(child, &status, WNOHANG)) == 0 && since(begin) < 5s) std::this_thread::sleep_for(10ms);
    if (ended == 0) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
        FAIL() << "the process did not exit within 5 s";
    }
    EXPECT_LT(since(begin), 200ms + kSlack);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// Lookups still blocked in the resolver are limited: beyond the limit a new
// one fails at once instead of starting yet another thread.
TEST_F(SlowResolver, PendingLookupsAreLimited) {
    std::vector<std::thread> callers;
    for (int i = pendingLookups(); i < kMaxPendingLookups; ++i) {
        callers.emplace_back([] {
            boost::system::error_code error;
            resolveHost(kHangingHost, 80, SocketKind::Datagram, std::chrono::steady_clock::now() + 100ms, error);
        });
    }
    for (auto& caller : callers) caller.join();
    EXPECT_EQ(pendingLookups(), kMaxPendingLookups);

    boost::system::error_code error;
    const auto begin = std::chrono::steady_clock::now();
    const auto endpoints =
        resolveHost(kHangingHost, 80, SocketKind::Stream, std::chrono::steady_clock::now() + 2s, error);
    EXPECT_LT(since(begin), 100ms);
    EXPECT_TRUE(endpoints.empty());
    EXPECT_EQ(error, tooManyLookups());
    EXPECT_EQ(pendingLookups(), kMaxPendingLookups);
    // An address still goes through.
    EXPECT_EQ(resolveHost("127.0.0.1", 80, SocketKind::Stream, std::chrono::steady_clock::now(), error).size(), 1u);
    EXPECT_FALSE(error);
}

// The DNS task against the same name server, whose configuration asks for
// five tries per query: the whole lookup ends at the task's time-out (300 ms),
// reported as a lookup that ran out of time.
TEST_F(SlowResolver, DnsLookupEndsAtTheTaskTimeOut) {
    DnsTaskConfiguration config;
    config.qostest = "dns";
    config.qos_test_uid = "17";
    config.queryHost = kHangingHost;
    config.timeout = nanos(300ms);
    DnsTask task;
    task.setConfiguration(&config);
    task.initializeTaskType();
    const auto outcome = runTask(task, nullptr);
    task.tearDownTaskType();

    EXPECT_EQ(outcome.status, TaskStatus::Ok);
    EXPECT_LT(outcome.took, 300ms + kSlack);
    const auto* result = dynamic_cast<const DnsTaskResult*>(outcome.result.get());
    ASSERT_NE(result, nullptr) << outcome.resultFailure;
    EXPECT_EQ(result->dns_result_info, "OK");
    EXPECT_EQ(result->dns_result_status, "UNKNOWN_CODE");
    EXPECT_EQ(result->dns_result_entries_found, 0u);
}
