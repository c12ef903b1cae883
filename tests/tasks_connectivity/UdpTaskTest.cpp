// The UDP test task against the QoS test server on loopback, and against a
// path that mangles the echoes.

#include "TaskTestSupport.h"

#include "model/QosTaskConfigurations.h"
#include "model/result/ConnectivityTaskResults.h"
#include "model/result/TaskResultWriter.h"
#include "tasks/UdpTask.h"

#include <boost/json.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

using namespace task_test;
using namespace std::chrono_literals;
using lumivex::test_peers::QosServerOptions;

namespace {

std::unique_ptr<UdpTaskConfiguration> udpConfig(std::uint16_t port, std::string packets, std::string delay,
                                                std::chrono::milliseconds timeout, std::string address = "127.0.0.1") {
    auto c = std::make_unique<UdpTaskConfiguration>();
    c->qostest = "udp";
    c->qos_test_uid = "42";
    c->concurrency_group = 3;
    c->out_port = std::to_string(port);
    c->out_num_packets = std::move(packets);
    c->delay = std::move(delay);
    c->timeout = nanos(timeout);
    c->server_addr = std::move(address);
    c->agentUuid = kAgentUuid;
    return c;
}

Outcome runUdp(UdpTaskConfiguration& config, QosPeer& peer) {
    auto task = UdpTask::create(&config);
    return runTask(*task, peer.control.get());
}

// A UDP peer on 127.0.0.1 standing in for a path between agent and server:
// every datagram it receives is answered with what `answer` makes of it.
class ManglingUdpPath {
public:
    using Answer = std::function<std::vector<std::string>(const std::string& datagram)>;

    explicit ManglingUdpPath(Answer answer) : answer(std::move(answer)) {
        fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            throw std::runtime_error("bind failed");
        socklen_t length = sizeof address;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
        timeval wait{0, 50000};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        thread = std::thread([this] { serve(); });
    }
    ~ManglingUdpPath() {
        stopping = true;
        thread.join();
        ::close(fd);
    }

    std::uint16_t port = 0;

private:
    void serve() {
        char buffer[2048];
        while (!stopping) {
            sockaddr_in from{};
            socklen_t length = sizeof from;
            const auto n = ::recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
            if (n <= 0) continue;
            for (const auto& reply : answer(std::string(buffer, static_cast<std::size_t>(n))))
                ::sendto(fd, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), length);
        }
    }

    Answer answer;
    int fd = -1;
    std::atomic<bool> stopping{false};
    std::thread thread;
};

}  // namespace

TEST(UdpTask, DatagramLayoutAndServerCount) {
    const auto packet = UdpTask::buildPacket(257, kAgentUuid, 0x0102030405060708ULL);
    EXPECT_EQ(packet[0], 3);
    EXPECT_EQ(packet[1], 1);  // 257 modulo 256
    EXPECT_EQ(std::string(packet.begin() + 2, packet.begin() + 38), kAgentUuid);
    EXPECT_EQ(std::vector<int>(packet.begin() + 38, packet.end()), (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8}));
    const auto shortId = UdpTask::buildPacket(0, "abc", 0);
    EXPECT_EQ(shortId[4], 'c');
    EXPECT_EQ(shortId[5], 0);

    const std::vector<std::pair<std::string, std::optional<std::uint32_t>>> replies = {
        {"RCV 5 5", 5u},
        {"RCV 7 9 {\"jitter\":1}", 7u},
        {"RCV 3 ", 3u},
        {"RCV 4294967295 1", 4294967295u},
        {"RCV 4294967296 1", std::nullopt},  // does not fit
        {"RCV  5", std::nullopt},            // first number empty
        {"RCV 5", std::nullopt},             // no second number
        {"ERR", std::nullopt},
        {"", std::nullopt},
        {"x RCV 12x 3 RCV 4 8", 4u},  // the first place that matches
        {std::string(100000, 'R') + "RCV 6 6", 6u},
    };
    for (const auto& [reply, expected] : replies) {
        SCOPED_TRACE(reply.substr(0, 40));
        EXPECT_EQ(UdpTask::parseServerReceived(reply), expected);
    }
}

TEST(UdpTask, AllEchoedPassesWithEveryFigure) {
    QosPeer peer;
    const auto port = peer.server.udpTestPorts().at(0);
    auto config = udpConfig(port, "5", "20000000", 3000ms);
    const auto outcome = runUdp(*config, peer);

    EXPECT_EQ(outcome.status, TaskStatus::Ok);
    const auto& r = outcome.as<UdpTaskResult>();
    EXPECT_EQ(r.status, "OK");
    EXPECT_EQ(r.qos_test_uid, "42");
    EXPECT_EQ(r.objective_id, 42u);
    EXPECT_EQ(r.objective_concurrency_group, 3u);
    EXPECT_EQ(r.udp_result_out_num_packets, 5u);  // the server's count
    EXPECT_EQ(r.udp_result_out_response_num_packets, 5u);
    EXPECT_EQ(r.udp_result_out_packet_loss_rate, 0u);
    ASSERT_EQ(r.udp_result_out_rtts.size(), 5u);
    std::uint64_t sum = 0;
    for (int i = 0; i < 5; ++i) {
        const auto it = r.udp_result_out_rtts.find(std::to_string(i));
        ASSERT_NE(it, r.udp_result_out_rtts.end());
        EXPECT_GT(it->second, 0u);
        EXPECT_LT(it->second, 1000000000u);
        sum += it->second;
    }
    EXPECT_EQ(r.udp_result_out_rtt_avg_ns, sum / 5);
    EXPECT_EQ(r.udp_objective_delay, 20000000u);
    EXPECT_EQ(r.udp_objective_timeout, 3000000000u);
    EXPECT_EQ(r.udp_objective_out_num_packets, 5u);
    EXPECT_EQ(r.udp_objective_out_port, port);
    EXPECT_FALSE(r.error_message.has_value());
    // Paced: four pauses at least before the last datagram.
    EXPECT_GE(outcome.took, 80ms);

    const std::string p = std::to_string(port);
    EXPECT_EQ(peer.commands(),
              (std::vector<std::string>{"UDPTEST OUT " + p + " 5 +ID42", "GET UDPRESULT OUT " + p + " +ID42"}));
}

// Outcomes that end without the figures, one run each.
TEST(UdpTask, RefusalsLossAndSilenceEndWithoutFigures) {
    struct Case {
        const char* label;
        std::function<void(QosServerOptions&)> server;
        std::string packets;
        std::chrono::milliseconds timeout;
        TaskStatus taskStatus;
        std::string resultStatus;
        std::string printed;
    };
    const std::vector<Case> cases = {
        {"server refuses", [](QosServerOptions& o) { o.refuse = {"UDPTEST"}; }, "3", 300ms, TaskStatus::Timeout,
         "TIMEOUT", "TaskTimeoutException Timeout while sending UDP packets"},
        {"one datagram lost", [](QosServerOptions& o) { o.udpDropPackets = {2}; }, "4", 400ms, TaskStatus::Timeout,
         "TIMEOUT", "TaskTimeoutException Timeout while sending UDP packets"},
        {"no packets", {}, "0", 200ms, TaskStatus::Timeout, "TIMEOUT",
         "TaskTimeoutException Timeout while sending UDP packets"},
        {"control silent", [](QosServerOptions& o) { o.silence = QosServerOptions::Silence::Commands; }, "3", 300ms,
         TaskStatus::Timeout, "TIMEOUT", "TaskTimeoutException Timeout while sending UDP packets"},
        {"time-out not a number", {}, "3", 0ms, TaskStatus::Error, "ERROR", "invalid stoll argument"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        QosServerOptions options;
        if (c.server) c.server(options);
        QosPeer peer(options);
        const auto port = peer.server.udpTestPorts().at(0);
        auto config = udpConfig(port, c.packets, "10000000", c.timeout);
        if (c.taskStatus == TaskStatus::Error) config->timeout = "soon";
        const auto outcome = runUdp(*config, peer);

        EXPECT_EQ(outcome.status, c.taskStatus);
        EXPECT_NE(outcome.printed.find(c.printed), std::string::npos) << outcome.printed;
        EXPECT_LT(outcome.took, c.timeout + 1000ms);
        if (c.taskStatus == TaskStatus::Error) {
            // The common members cannot be filled from that text either: no result.
            EXPECT_EQ(outcome.resultFailure, "invalid stoll argument");
            continue;
        }
        const auto& r = outcome.as<UdpTaskResult>();
        EXPECT_EQ(r.status, c.resultStatus);
        EXPECT_EQ(r.udp_result_out_num_packets, 0u);
        EXPECT_EQ(r.udp_result_out_response_num_packets, 0u);
        EXPECT_EQ(r.udp_result_out_packet_loss_rate, 0u);
        EXPECT_EQ(r.udp_result_out_rtt_avg_ns, 0u);
        EXPECT_TRUE(r.udp_result_out_rtts.empty());
        EXPECT_EQ(r.udp_objective_out_port, port);
        EXPECT_EQ(r.udp_objective_out_num_packets, std::stoull(c.packets));
        EXPECT_EQ(r.udp_objective_delay, 10000000u);
        EXPECT_EQ(r.udp_objective_timeout, static_cast<std::uint64_t>(c.timeout.count()) * 1000000u);
    }
}

TEST(UdpTask, ResultReplyThatNeverComesTimesOut) {
    // Replies go out in pairs: the test's own request releases the consent,
    // and the result reply then waits for a partner that never comes.
    QosServerOptions options;
    options.replyBatch = 2;
    options.reverseBatch = false;
    QosPeer peer(options);
    const auto port = peer.server.udpTestPorts().at(0);
    auto config = udpConfig(port, "2", "1000000", 1500ms);
    auto task = UdpTask::create(config.get());
    std::thread releaser([&] {
        if (peer.server.waitForControlLines(3, 2000ms)) peer.control->sendRequest("ECHO hi", "7", [](auto, auto) {});
    });
    const auto outcome = runTask(*task, peer.control.get());
    releaser.join();

    EXPECT_EQ(outcome.status, TaskStatus::Timeout);
    EXPECT_NE(outcome.printed.find("TaskTimeoutException Timeout waiting for QoS server result"), std::string::npos);
    const auto& r = outcome.as<UdpTaskResult>();
    EXPECT_EQ(r.status, "TIMEOUT");
    EXPECT_TRUE(r.udp_result_out_rtts.empty());
    EXPECT_EQ(r.udp_result_out_response_num_packets, 0u);
}

TEST(UdpTask, DuplicatesMakeUpForALossAndCountOnce) {
    QosServerOptions options;
    options.udpDropPackets = {4};
    options.udpDuplicateFirst = 1;
    QosPeer peer(options);
    auto config = udpConfig(peer.server.udpTestPorts().at(0), "5", "10000000", 3000ms);
    const auto outcome = runUdp(*config, peer);

    const auto& r = outcome.as<UdpTaskResult>();
    EXPECT_EQ(r.status, "OK");
    EXPECT_EQ(r.udp_result_out_response_num_packets, 4u);
    EXPECT_EQ(r.udp_result_out_packet_loss_rate, 20u);
    // Asked as soon as the echoes add up, the server has seen four or five.
    EXPECT_GE(r.udp_result_out_num_packets, 4u);
    EXPECT_LE(r.udp_result_out_num_packets, 5u);
    EXPECT_EQ(r.udp_result_out_rtts.count("4"), 0u);
}

TEST(UdpTask, IndicesWrapAfter255) {
    QosPeer peer;
    auto config = udpConfig(peer.server.udpTestPorts().at(0), "300", "1000000", 5000ms);
    const auto outcome = runUdp(*config, peer);

    const auto& r = outcome.as<UdpTaskResult>();
    ASSERT_EQ(r.status, "OK") << outcome.printed;
    EXPECT_EQ(r.udp_result_out_rtts.size(), 256u);
    EXPECT_EQ(r.udp_result_out_response_num_packets, 256u);
    EXPECT_EQ(r.udp_result_out_packet_loss_rate, 14u);  // 44 of 300
    EXPECT_EQ(r.udp_result_out_num_packets, 300u);
    // Keys in text order.
    auto it = r.udp_result_out_rtts.begin();
    EXPECT_EQ((it++)->first, "0");
    EXPECT_EQ((it++)->first, "1");
    EXPECT_EQ((it++)->first, "10");
    EXPECT_EQ((it++)->first, "100");
}

TEST(UdpTask, ResultReplyWithoutCountKeepsTheFiguresAndSaysSo) {
    QosServerOptions options;
    options.refuse = {"GET UDPRESULT"};
    QosPeer peer(options);
    auto config = udpConfig(peer.server.udpTestPorts().at(0), "2", "1000000", 3000ms);
    const auto outcome = runUdp(*config, peer);

    const auto& r = outcome.as<UdpTaskResult>();
    EXPECT_EQ(outcome.status, TaskStatus::Ok) << outcome.printed;
    EXPECT_EQ(r.status, "OK");
    EXPECT_EQ(r.udp_result_out_response_num_packets, 2u);
    // The unsigned member cannot say "unknown": it stays 0 and the message says why.
    EXPECT_EQ(r.udp_result_out_num_packets, 0u);
    ASSERT_TRUE(r.error_message.has_value());
    EXPECT_EQ(*r.error_message, "No packet count in the QoS server's result: ERR");

    boost::json::value written;
    TaskResultWriter(written, outcome.result.get());
    EXPECT_EQ(written.at("udp_result_out_num_packets"), 0);
    EXPECT_EQ(written.at("status"), "OK");
}

TEST(UdpTask, DefaultPauseAndIncompleteConfiguration) {
    QosPeer peer;
    const auto port = peer.server.udpTestPorts().at(0);
    {
        SCOPED_TRACE("empty delay: 100 ms between datagrams");
        auto config = udpConfig(port, "2", "", 3000ms);
        const auto outcome = runUdp(*config, peer);
        const auto& r = outcome.as<UdpTaskResult>();
        EXPECT_EQ(r.status, "OK");
        EXPECT_EQ(r.udp_objective_delay, 100000000u);
        EXPECT_GE(outcome.took, 100ms);
    }
    {
        SCOPED_TRACE("no pause: the stream stays open for the last echoes");
        auto config = udpConfig(port, "20", "0", 3000ms);
        const auto outcome = runUdp(*config, peer);
        const auto& r = outcome.as<UdpTaskResult>();
        EXPECT_EQ(r.status, "OK");
        EXPECT_EQ(r.udp_result_out_response_num_packets, 20u);
        EXPECT_EQ(r.udp_objective_delay, 0u);
    }
    const std::size_t sent = peer.commands().size();
    for (const char* missing : {"out_port", "out_num_packets"}) {
        SCOPED_TRACE(missing);
        auto config = udpConfig(port, "2", "", 3000ms);
        (std::string(missing) == "out_port" ? config->out_port : config->out_num_packets).clear();
        const auto outcome = runUdp(*config, peer);
        EXPECT_EQ(outcome.status, TaskStatus::Ok);
        const auto& r = outcome.as<UdpTaskResult>();
        EXPECT_EQ(r.status, "ERROR");
        EXPECT_TRUE(r.udp_result_out_rtts.empty());
    }
    EXPECT_EQ(peer.commands().size(), sent);  // nothing asked of the server
    {
        SCOPED_TRACE("no configuration");
        auto task = UdpTask::create(nullptr);
        const auto outcome = runTask(*task, peer.control.get());
        EXPECT_EQ(outcome.status, TaskStatus::Error);
        EXPECT_NE(outcome.printed.find("TaskException No configuration provided"), std::string::npos);
        EXPECT_EQ(outcome.as<UdpTaskResult>().status, "ERROR");
    }
    {
        SCOPED_TRACE("configuration of another kind");
        NonTransparentProxyTaskConfiguration other;
        auto task = UdpTask::create(&other);
        const auto outcome = runTask(*task, peer.control.get());
        EXPECT_EQ(outcome.status, TaskStatus::Error);
        EXPECT_NE(outcome.printed.find("TaskException Configuration is not a Udp Task configuration"),
                  std::string::npos);
        EXPECT_EQ(outcome.as<UdpTaskResult>().status, "ERROR");
    }
}

// Echoes that cannot be ours (cut short, or carrying a time stamp this test
// never sent) are not counted; indices the agent never sent do not make a
// loss rate wrap.
TEST(UdpTask, MangledEchoesOnThePath) {
    struct Case {
        const char* label;
        ManglingUdpPath::Answer answer;
        bool passes;
    };
    const std::vector<Case> cases = {
        {"echoes cut short", [](const std::string& d) { return std::vector<std::string>{d.substr(0, 20)}; }, false},
        {"forged time stamps",
         [](const std::string& d) {
             std::string forged = d;
             for (std::size_t i = 38; i < forged.size() && i < 46; ++i) forged[i] = '\x7f';
             return std::vector<std::string>{forged};
         },
         false},
        {"extra indices",
         [](const std::string& d) {
             std::string other = d;
             other[1] = static_cast<char>(200 + static_cast<unsigned char>(d[1]));
             return std::vector<std::string>{d, other};
         },
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        ManglingUdpPath path(c.answer);
        // The server listens on another loopback address, so the test
        // address (127.0.0.1) with the same port number reaches the path.
        QosServerOptions options;
        options.bindAddress = "127.0.0.2";
        QosPeer peer(options);
        auto config = udpConfig(path.port, "3", "5000000", 500ms, "127.0.0.1");
        const auto outcome = runUdp(*config, peer);
        const auto& r = outcome.as<UdpTaskResult>();
        if (!c.passes) {
            EXPECT_EQ(r.status, "TIMEOUT");
            EXPECT_TRUE(r.udp_result_out_rtts.empty());
            continue;
        }
        EXPECT_EQ(r.status, "OK");
        EXPECT_GE(r.udp_result_out_response_num_packets, 3u);
        EXPECT_EQ(r.udp_result_out_packet_loss_rate, 0u);
        for (const auto& [index, rtt] : r.udp_result_out_rtts) EXPECT_LT(rtt, 1000000000u) << index;
    }
}
