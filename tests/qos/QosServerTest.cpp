// The server side of every QoS test command, driven by a minimal client
// exchange the way the QoS tasks drive it.

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <regex>
#include <thread>

#include "QosPeerSupport.h"
#include "TcpConnection.h"
#include "UdpStream.h"
#include "common/RawTcpPeer.h"

using namespace std::chrono_literals;
using lumivex::test_peers::computeServerRtpStatistics;
using lumivex::test_peers::QosServerOptions;
using lumivex::test_peers::ServerRtpPacket;
using trevask::measurement_library::TcpConnection;
using trevask::measurement_library::UdpStream;

namespace {

using Clock = std::chrono::steady_clock;

std::string sipRequest(const std::string& method) {
    return method + " b SIP/2.0\nFROM: a\nTO: b\nVIA: a\nContent-Length: 0\n\n";
}

std::string firstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

}  // namespace

// TCPTEST and NTPTEST: consent, then the announced port echoes the line.
TEST(QosServer, TcpAndProxyTestsEchoTheLine) {
    struct Case {
        std::string command;
        std::string line;
        bool crlf;
        std::string echoed;
    };
    const std::vector<Case> cases = {
        {"TCPTEST OUT ", "PING", false, "PING"},
        {"TCPTEST OUT ", "PING", true, "PING\r"},
        {"NTPTEST ", "GET / HTTP/1.1", false, "GET / HTTP/1.1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command + c.line);
        QosServerOptions options;
        options.testCrlf = c.crlf;
        qos_test::ServerWithControl s(options);
        ASSERT_TRUE(s.connected);
        const uint16_t port = s.server.tcpTestPorts().at(1);
        ASSERT_EQ(s.request(c.command + std::to_string(port), "7"), "OK");
        TcpConnection test("127.0.0.1", port, false, "tcp_7");
        test.setIoTimeout(2s);
        ASSERT_TRUE(test.connect());
        test.sendMessage(c.line);
        EXPECT_EQ(test.readLine(), c.echoed);
        ASSERT_TRUE(s.server.waitForTestLines(1, 1s));
        EXPECT_EQ(s.server.testLines().at(0), c.line);
    }
}

// Ports the server has not opened yet are opened on demand; a connection that
// no command announced is closed at once.
TEST(QosServer, OpensPortsOnDemandAndClosesUnannouncedConnections) {
    qos_test::ServerWithControl s;
    ASSERT_TRUE(s.connected);
    uint16_t freePort = 0;
    {
        lumivex::test_peers::RawTcpPeer probe({.lifetime = 0ms});
        freePort = probe.port();
    }
    ASSERT_EQ(s.request("TCPTEST OUT " + std::to_string(freePort)), "OK");
    TcpConnection announced("127.0.0.1", freePort, false, "tcp_1");
    ASSERT_TRUE(announced.connect());
    announced.sendMessage("PING");
    EXPECT_EQ(announced.readLine(), "PING");

    TcpConnection unannounced("127.0.0.1", s.server.tcpTestPorts().at(0), false, "tcp_2");
    unannounced.setIoTimeout(2s);
    ASSERT_TRUE(unannounced.connect());
    const auto start = Clock::now();
    EXPECT_EQ(unannounced.readLine(), "");
    EXPECT_LT(Clock::now() - start, 1s);
}

TEST(QosServer, SilentTestConnectionNeverEchoes) {
    QosServerOptions options;
    options.silentTestConnections = true;
    qos_test::ServerWithControl s(options);
    ASSERT_TRUE(s.connected);
    const uint16_t port = s.server.tcpTestPorts().at(0);
    ASSERT_EQ(s.request("TCPTEST OUT " + std::to_string(port)), "OK");
    TcpConnection test("127.0.0.1", port, false, "tcp_1");
    test.setIoTimeout(200ms);
    ASSERT_TRUE(test.connect());
    test.sendMessage("PING");
    EXPECT_EQ(test.readLine(), "");
    EXPECT_TRUE(s.server.waitForTestLines(1, 1s));
}

// Refused and malformed commands are answered with the refusal text.
TEST(QosServer, RefusesWhatItMustRefuse) {
    QosServerOptions all;
    all.refuse = {"*"};
    qos_test::ServerWithControl refusing(all);
    ASSERT_TRUE(refusing.connected);
    const std::string tcp = std::to_string(refusing.server.tcpTestPorts().at(0));
    const std::string udp = std::to_string(refusing.server.udpTestPorts().at(0));
    for (const std::string& command : std::vector<std::string>{"TCPTEST OUT " + tcp, "NTPTEST " + tcp, "SIPTEST " + tcp, "UDPTEST OUT " + udp + " 5",
          "GET UDPRESULT OUT " + udp, "VOIPTEST " + udp + " 0 8000 8 20 1000 0 8 100000000", "GET VOIPRESULT 1",
          std::string("ECHO x")}) {
        EXPECT_EQ(refusing.request(command), "ERR") << command;
    }

    QosServerOptions one;
    one.refuse = {"TCPTEST"};
    qos_test::ServerWithControl s(one);
    ASSERT_TRUE(s.connected);
    const std::string port = std::to_string(s.server.tcpTestPorts().at(0));
    EXPECT_EQ(s.request("TCPTEST OUT " + port), "ERR");
    EXPECT_EQ(s.request("NTPTEST " + port), "OK");
    for (const std::string& command : std::vector<std::string>{"TCPTEST OUT", "TCPTEST OUT abc", "TCPTEST IN " + port, "UDPTEST OUT 1",
                                       "VOIPTEST 1", "GET VOIPRESULT 123", "GET UDPRESULT OUT 1", "NOPE"}) {
        EXPECT_EQ(s.request(command), "ERR") << command;
    }
}

// SIPTEST: the announced port answers INVITE and BYE as the switch says.
TEST(QosServer, SipExchange) {
    using Sip = QosServerOptions::Sip;
    struct Case {
        Sip mode;
        std::vector<std::string> afterInvite;
        std::string afterBye;
    };
    const std::vector<Case> cases = {
        {Sip::Normal, {"SIP/2.0 100 TRYING", "SIP/2.0 180 RINGING"}, "SIP/2.0 200 OK"},
        {Sip::RingingFirst, {"SIP/2.0 180 RINGING", "SIP/2.0 100 TRYING"}, "SIP/2.0 200 OK"},
        {Sip::ByeAnsweredWithRinging, {"SIP/2.0 100 TRYING", "SIP/2.0 180 RINGING"}, "SIP/2.0 180 RINGING"},
        {Sip::SilentAfterTrying, {"SIP/2.0 100 TRYING", ""}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.mode));
        QosServerOptions options;
        options.sip = c.mode;
        qos_test::ServerWithControl s(options);
        ASSERT_TRUE(s.connected);
        const uint16_t port = s.server.tcpTestPorts().at(0);
        ASSERT_EQ(s.request("SIPTEST " + std::to_string(port), "4"), "OK");
        TcpConnection sip("127.0.0.1", port, false, "sip_4");
        sip.setIoTimeout(300ms);
        ASSERT_TRUE(sip.connect());
        sip.sendMessageWithoutEndl(sipRequest("INVITE"));
        const std::string trying = sip.readMultiLine();
        EXPECT_EQ(firstLine(trying), c.afterInvite[0]);
        EXPECT_EQ(firstLine(sip.readMultiLine()), c.afterInvite[1]);
        if (c.mode == Sip::Normal) {
            EXPECT_EQ(trying, "SIP/2.0 100 TRYING\nFROM: a\nTO: b\nVIA: a\nContent-Length: 0\n\n");
        }
        sip.sendMessageWithoutEndl(sipRequest("BYE"));
        EXPECT_EQ(firstLine(sip.readMultiLine()), c.afterBye);
        ASSERT_TRUE(s.server.waitForTestLines(1, 1s));
        EXPECT_EQ(s.server.testLines().at(0), sipRequest("INVITE").substr(0, sipRequest("INVITE").size() - 1));
    }
}

// UDPTEST echoes every datagram (with the drop and duplicate switches) and
// GET UDPRESULT reports the count received.
TEST(QosServer, UdpEchoAndResult) {
    QosServerOptions options;
    options.udpDropPackets = {1};
    options.udpDuplicateFirst = 1;
    qos_test::ServerWithControl s(options);
    ASSERT_TRUE(s.connected);
    const uint16_t port = s.server.udpTestPorts().at(1);
    const std::string portText = std::to_string(port);
    ASSERT_EQ(s.request("UDPTEST OUT " + portText + " 4", "9"), "OK");

    std::mutex mutex;
    std::vector<int> echoed;
    UdpStream stream("127.0.0.1", port);
    stream.datagramCallback = [&](UdpStream::Datagram datagram, uint64_t) {
        std::lock_guard lock(mutex);
        echoed.push_back(datagram[1]);
    };
    for (uint8_t i = 0; i < 4; ++i) {
        std::array<uint8_t, 46> datagram{3, i};
        stream.send(datagram.data(), datagram.size());
        std::this_thread::sleep_for(5ms);
    }
    for (int i = 0; i < 100; ++i) {
        {
            std::lock_guard lock(mutex);
            if (echoed.size() >= 4) break;
        }
        std::this_thread::sleep_for(10ms);
    }
    std::this_thread::sleep_for(30ms);
    {
        std::lock_guard lock(mutex);
        EXPECT_EQ(echoed, (std::vector<int>{0, 0, 2, 3}));
    }
    const auto result = s.request("GET UDPRESULT OUT " + portText, "9");
    ASSERT_TRUE(result);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(*result, m, std::regex(R"(RCV ([\d]*) ([\d]*)( (\{.*\}))?)")));
    EXPECT_EQ(m[1].str(), "4");
}

// VOIPTEST names the SSRC, the port takes the agent's RTP stream and sends its
// own back; GET VOIPRESULT reports the agent's stream in the ten-figure form.
TEST(QosServer, VoipCallAndResult) {
    for (bool serverStream : {true, false}) {
        SCOPED_TRACE(serverStream);
        QosServerOptions options;
        options.voipSendStream = serverStream;
        qos_test::ServerWithControl s(options);
        ASSERT_TRUE(s.connected);
        const uint16_t port = s.server.udpTestPorts().at(0);
        const auto reply = s.request("VOIPTEST " + std::to_string(port) + " 0 8000 8 20 200 0 8 100000000", "11");
        ASSERT_TRUE(reply);
        std::smatch ok;
        ASSERT_TRUE(std::regex_search(*reply, ok, std::regex("OK ([0-9]+)"))) << *reply;
        const auto ssrc = static_cast<uint32_t>(std::stoul(ok[1].str()));

        std::mutex mutex;
        std::vector<std::array<uint8_t, 12>> received;
        UdpStream stream("127.0.0.1", port);
        stream.datagramCallback = [&](UdpStream::Datagram datagram, uint64_t length) {
            if (length != 12) return;
            std::array<uint8_t, 12> header{};
            std::copy_n(datagram.begin(), 12, header.begin());
            std::lock_guard lock(mutex);
            received.push_back(header);
        };
        for (uint32_t i = 0; i < 10; ++i) {
            const uint32_t timestamp = i * 160;
            const std::array<uint8_t, 12> packet{0xB0,
                                                 static_cast<uint8_t>((i == 0 ? 0x80 : 0) | 8),
                                                 0,
                                                 static_cast<uint8_t>(i),
                                                 static_cast<uint8_t>(timestamp >> 24),
                                                 static_cast<uint8_t>(timestamp >> 16),
                                                 static_cast<uint8_t>(timestamp >> 8),
                                                 static_cast<uint8_t>(timestamp),
                                                 static_cast<uint8_t>(ssrc >> 24),
                                                 static_cast<uint8_t>(ssrc >> 16),
                                                 static_cast<uint8_t>(ssrc >> 8),
                                                 static_cast<uint8_t>(ssrc)};
            stream.send(packet.data(), packet.size());
            std::this_thread::sleep_for(20ms);
        }
        const auto result = s.request("GET VOIPRESULT " + ok[1].str(), "11");
        ASSERT_TRUE(result);
        std::smatch m;
        ASSERT_TRUE(std::regex_search(
            *result, m,
            std::regex(R"(VOIPRESULT (-?[\d]*) (-?[\d]*) (-?[\d]*) (-?[\d]*) (-?[\d]*) (-?[\d]*) (-?[\d]*) (-?[\d]*) (-?[\d]*) (-?[\d]*))")))
            << *result;
        EXPECT_EQ(m[5].str(), "10");
        EXPECT_EQ(m[6].str(), "0");
        EXPECT_EQ(m[7].str(), "10");
        EXPECT_EQ(m[8].str(), "10");
        EXPECT_EQ(m[9].str(), "8000");

        std::this_thread::sleep_for(20ms);
        std::lock_guard lock(mutex);
        if (!serverStream) {
            EXPECT_TRUE(received.empty());
            continue;
        }
        ASSERT_EQ(received.size(), 10u);
        for (std::size_t i = 0; i < received.size(); ++i) {
            const auto& p = received[i];
            EXPECT_EQ(p[0] >> 6, 2);
            EXPECT_EQ(p[1] & 0x7f, 8);
            EXPECT_EQ((p[1] & 0x80) != 0, i == 0);
            EXPECT_EQ(p[2] << 8 | p[3], static_cast<int>(i));
            EXPECT_EQ(static_cast<uint32_t>(p[4] << 24 | p[5] << 16 | p[6] << 8 | p[7]), i * 160);
        }
    }
}

// The server's figures follow the interarrival-jitter and in-order-run rules.
TEST(QosServer, RtpStatistics) {
    auto packets = [](std::vector<std::pair<uint16_t, int64_t>> list) {
        std::vector<ServerRtpPacket> result;
        for (auto [sequence, receivedMs] : list)
            result.push_back({sequence, static_cast<uint32_t>(sequence * 160), receivedMs * 1000000});
        return result;
    };
    auto even = computeServerRtpStatistics(packets({{0, 0}, {1, 20}, {2, 40}}), 0, 8000);
    EXPECT_EQ(even.packets, 3);
    EXPECT_EQ(even.maxJitter, 0);
    EXPECT_EQ(even.skew, 0);
    EXPECT_EQ(even.sequenceErrors, 0);
    EXPECT_EQ(even.shortestSequence, 3);
    EXPECT_EQ(even.longestSequence, 3);

    auto late = computeServerRtpStatistics(packets({{0, 0}, {1, 20}, {2, 50}}), 0, 8000);
    EXPECT_EQ(late.maxDelta, 10000000);
    EXPECT_EQ(late.maxJitter, 625000);
    EXPECT_EQ(late.meanJitter, 625000 / 3);
    EXPECT_EQ(late.skew, -10000000);

    auto lost = computeServerRtpStatistics(packets({{0, 0}, {1, 20}, {3, 60}}), 0, 8000);
    EXPECT_EQ(lost.sequenceErrors, 1);
    EXPECT_EQ(lost.longestSequence, 2);
    EXPECT_EQ(lost.shortestSequence, 2);

    auto drift = computeServerRtpStatistics(
        packets({{0, 0}, {1, 20}, {2, 40}, {4, 80}, {5, 100}, {6, 120}, {7, 140}}), 0, 8000);
    EXPECT_EQ(drift.sequenceErrors, 4);
    EXPECT_EQ(drift.longestSequence, 3);
    EXPECT_EQ(drift.shortestSequence, 3);

    auto single = computeServerRtpStatistics(packets({{0, 0}}), 0, 8000);
    EXPECT_EQ(single.packets, 1);
    EXPECT_EQ(single.shortestSequence, 1);
    EXPECT_EQ(single.longestSequence, 1);

    EXPECT_EQ(computeServerRtpStatistics({}, 0, 8000).packets, 0);
}

// The executable prints its ports as one JSON line and serves on them.
TEST(QosServer, ExecutablePrintsItsPorts) {
    const std::string path = std::string(LUMIVEX_BINARY_DIR) + "/tests/peers/qos_server/qos_server";
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    char* argv[] = {const_cast<char*>(path.c_str()), const_cast<char*>("--tls"), const_cast<char*>("--max-seconds"),
                    const_cast<char*>("20"), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);

    std::string line;
    const auto until = Clock::now() + 5s;
    while (line.find('\n') == std::string::npos && Clock::now() < until) {
        pollfd readable{out[0], POLLIN, 0};
        if (::poll(&readable, 1, 100) <= 0) continue;
        char buffer[256];
        const ssize_t n = ::read(out[0], buffer, sizeof buffer);
        if (n <= 0) break;
        line.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(out[0]);

    std::smatch m;
    const bool matched = std::regex_search(
        line, m, std::regex(R"(^\{"control_port":(\d+),"tls":true,"tcp_ports":\[\d+,\d+\],"udp_ports":\[\d+,\d+\]\}\n)"));
    if (matched) {
        trevask::measurement_library::QosControlConnection control("127.0.0.1", std::stoi(m[1].str()), true,
                                                                   "TOKEN exe", 2s);
        EXPECT_TRUE(control.connect());
    }
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(matched) << line;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}
