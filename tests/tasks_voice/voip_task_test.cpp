// The VoIP task against the QoS test server: calls that pass, are refused,
// time out and fail, the RTP stream it sends, and the result record.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <regex>

#include "VoicePeerSupport.h"
#include "model/QosTaskConfigurations.h"
#include "model/result/TelephonyTaskResults.h"
#include "tasks/VoipTask.h"

using namespace std::chrono_literals;
using lumivex::test_peers::QosServerOptions;
using namespace trevask::measurement_library;

namespace {

VoipTaskConfiguration voipConfiguration(uint16_t port) {
    VoipTaskConfiguration config;
    config.qostest = "voip";
    config.qos_test_uid = "31";
    config.server_addr = "127.0.0.1";
    config.out_port = std::to_string(port);
    config.call_duration = "200000000";  // 200 ms: 10 packets at the default 20 ms
    config.timeout = "3000000000";
    return config;
}

using VoipRun = voice_test::TaskRun<VoipTaskResult>;

VoipRun runVoip(voice_test::ServerWithControl& s, VoipTaskConfiguration& config) {
    auto task = VoipTask::create(&config);
    task->setControlConnection(s.control.get());
    VoipRun run;
    run.collect(*task);
    return run;
}

void expectNoFigures(const VoipTaskResult& r) {
    for (int64_t v : {r.voip_result_in_max_jitter, r.voip_result_in_mean_jitter, r.voip_result_in_max_delta,
                      r.voip_result_in_skew, r.voip_result_out_max_jitter, r.voip_result_out_mean_jitter,
                      r.voip_result_out_max_delta, r.voip_result_out_skew})
        EXPECT_EQ(v, 0);
    for (uint64_t v : {r.voip_result_in_num_packets, r.voip_result_out_num_packets})
        EXPECT_EQ(v, 0u);
    for (uint32_t v : {r.voip_result_in_sequence_error, r.voip_result_out_sequence_error, r.voip_result_in_short_seq,
                       r.voip_result_out_short_seq, r.voip_result_in_long_seq, r.voip_result_out_long_seq})
        EXPECT_EQ(v, 0u);
}

// A UDP socket on 127.0.0.1 that stands in for the server's RTP port and
// keeps what arrives.
class UdpSink {
public:
    UdpSink() {
        fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t length = sizeof address;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        boundPort = ntohs(address.sin_port);
    }
    ~UdpSink() { ::close(fd); }
    uint16_t port() const { return boundPort; }
    // Every datagram that arrives until none has come for the quiet period.
    std::vector<std::string> drain(std::chrono::milliseconds quiet) {
        std::vector<std::string> datagrams;
        pollfd p{fd, POLLIN, 0};
        while (::poll(&p, 1, static_cast<int>(quiet.count())) > 0) {
            char buffer[2048];
            const auto n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n < 0) break;
            datagrams.emplace_back(buffer, static_cast<std::size_t>(n));
        }
        return datagrams;
    }

private:
    int fd = -1;
    uint16_t boundPort = 0;
};

uint32_t be32(const std::string& d, std::size_t at) {
    return static_cast<uint32_t>(static_cast<uint8_t>(d[at])) << 24 |
           static_cast<uint32_t>(static_cast<uint8_t>(d[at + 1])) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(d[at + 2])) << 8 | static_cast<uint8_t>(d[at + 3]);
}

}  // namespace

// A full call: both streams flow, both directions' figures are filled.
TEST(VoipTask, CallPassesAndFillsBothDirections) {
    voice_test::ServerWithControl s;
    ASSERT_TRUE(s.connected);
    const uint16_t port = s.server.udpTestPorts().at(0);
    auto config = voipConfiguration(port);
    config.concurrency_group = 2;
    const VoipRun run = runVoip(s, config);
    ASSERT_TRUE(run.result);
    const auto& r = *run.result;
    EXPECT_EQ(r.status, "OK");
    EXPECT_EQ(r.voip_result_status, "OK");
    EXPECT_EQ(r.objective_id, 31u);
    EXPECT_EQ(r.objective_concurrency_group, 2u);

    EXPECT_EQ(s.commandsStartingWith("VOIPTEST "),
              std::vector<std::string>{"VOIPTEST " + std::to_string(port) + " 0 8000 8 20 200 0 8 100000000 +ID31"});
    const auto results = s.commandsStartingWith("GET VOIPRESULT ");
    ASSERT_EQ(results.size(), 1u);
    EXPECT_TRUE(std::regex_match(results[0], std::regex("GET VOIPRESULT [0-9]+ \\+ID31"))) << results[0];

    // Objectives.
    EXPECT_EQ(r.voip_objective_out_port, port);
    EXPECT_EQ(r.voip_objective_call_duration, 200000000u);
    EXPECT_EQ(r.voip_objective_delay, 20000000u);
    EXPECT_EQ(r.voip_objective_sample_rate, 8000u);
    EXPECT_EQ(r.voip_objective_bits_per_sample, 8u);
    EXPECT_EQ(r.voip_objective_payload, 8u);
    EXPECT_EQ(r.voip_objective_buffer, 100000000u);

    // Both streams: 10 packets each, in order on loopback.
    EXPECT_EQ(r.voip_result_in_num_packets, 10u);
    EXPECT_EQ(r.voip_result_in_sequence_error, 0u);
    EXPECT_EQ(r.voip_result_in_short_seq, 10u);
    EXPECT_EQ(r.voip_result_in_long_seq, 10u);
    EXPECT_EQ(r.voip_result_out_num_packets, 10u);
    EXPECT_EQ(r.voip_result_out_sequence_error, 0u);
    EXPECT_EQ(r.voip_result_out_short_seq, 10u);
    EXPECT_EQ(r.voip_result_out_long_seq, 10u);
    // Loopback timing: jitter is small and never negative (bounds loose
    // enough for a loaded machine).
    EXPECT_GE(r.voip_result_in_mean_jitter, 0);
    EXPECT_LE(r.voip_result_in_mean_jitter, r.voip_result_in_max_jitter);
    EXPECT_LT(r.voip_result_in_max_jitter, 100000000);
    EXPECT_GE(r.voip_result_out_mean_jitter, 0);
    EXPECT_LT(r.voip_result_out_max_jitter, 100000000);
    EXPECT_GE(r.voip_result_in_max_delta, 0);
    EXPECT_GE(run.took, 180ms);
    EXPECT_LT(run.took, 2000ms);
}

// The stream the agent sends, seen by a plain UDP socket; the server's
// "OK" reply names the SSRC (here the highest 32-bit value).
TEST(VoipTask, SendsPacedRtpWithTheServersSsrc) {
    QosServerOptions options;
    options.refuse = {"VOIPTEST", "GET VOIPRESULT"};
    options.refusalReply = "OK 4294967295";
    voice_test::ServerWithControl s(options);
    ASSERT_TRUE(s.connected);
    UdpSink sink;
    auto config = voipConfiguration(sink.port());
    config.call_duration = "100000000";  // 5 packets
    config.payload = 0;                  // announced, but the packets carry 8
    const VoipRun run = runVoip(s, config);
    ASSERT_TRUE(run.result);
    // A result reply without figures leaves the status alone.
    EXPECT_EQ(run.result->status, "OK");
    EXPECT_EQ(run.result->voip_result_out_num_packets, 0u);
    EXPECT_EQ(run.result->voip_result_in_num_packets, 0u);  // nobody streamed back
    EXPECT_EQ(s.commandsStartingWith("VOIPTEST ").at(0),
              "VOIPTEST " + std::to_string(sink.port()) + " 0 8000 8 20 100 0 0 100000000 +ID31");
    EXPECT_EQ(s.commandsStartingWith("GET VOIPRESULT ").at(0), "GET VOIPRESULT 4294967295 +ID31");

    const auto datagrams = sink.drain(200ms);
    ASSERT_EQ(datagrams.size(), 5u);
    for (std::size_t i = 0; i < datagrams.size(); ++i) {
        SCOPED_TRACE(i);
        const std::string& d = datagrams[i];
        ASSERT_EQ(d.size(), 12u);
        EXPECT_EQ(static_cast<uint8_t>(d[0]), 0xB0);
        EXPECT_EQ(static_cast<uint8_t>(d[1]), i == 0 ? 0x88 : 0x08);
        EXPECT_EQ(static_cast<uint8_t>(d[2]) << 8 | static_cast<uint8_t>(d[3]), static_cast<int>(i));
        EXPECT_EQ(be32(d, 4), 160u * i);
        EXPECT_EQ(be32(d, 8), 0xFFFFFFFFu);
    }
}

TEST(VoipTask, RefusalsTimeOutsAndFailures) {
    struct Case {
        const char* name;
        QosServerOptions options;
        std::function<void(VoipTaskConfiguration&)> change;
        std::string status;
        std::size_t voipTests;  // VOIPTEST commands the server saw
        std::size_t results;    // GET VOIPRESULT commands the server saw
        // A port, delay or call duration that cannot be read has no figure
        // for the result: createResult fails and the runner keeps none.
        std::string resultError = "";
    };
    auto keep = [](VoipTaskConfiguration&) {};
    QosServerOptions refused;
    refused.refuse = {"VOIPTEST"};
    QosServerOptions silent;
    silent.silence = QosServerOptions::Silence::Commands;
    QosServerOptions ssrcTooLarge;
    ssrcTooLarge.refuse = {"VOIPTEST"};
    ssrcTooLarge.refusalReply = "OK 4294967296";
    QosServerOptions emptyGroup;
    emptyGroup.refuse = {"GET VOIPRESULT"};
    emptyGroup.refusalReply = "VOIPRESULT 1  3 4 5 6 7 8 8000 100";
    const std::vector<Case> cases = {
        {"refused", refused, keep, "ERROR", 1, 0},
        {"no reply to VOIPTEST", silent, keep, "TIMEOUT", 1, 0},
        {"time-out of zero", {}, [](VoipTaskConfiguration& c) { c.timeout = "0"; }, "TIMEOUT", 1, 0},
        {"SSRC beyond 32 bits", ssrcTooLarge, keep, "ERROR", 1, 0},
        {"result with an empty figure", emptyGroup, keep, "ERROR", 1, 1},
        {"no out_port", {}, [](VoipTaskConfiguration& c) { c.out_port.clear(); }, "ERROR", 0, 0},
        {"out_port not a number", {}, [](VoipTaskConfiguration& c) { c.out_port = "rtp"; }, "ERROR", 1, 0,
         "invalid stoi argument"},
        {"delay of zero", {}, [](VoipTaskConfiguration& c) { c.delay = "0"; }, "ERROR", 0, 0},
        {"negative delay", {}, [](VoipTaskConfiguration& c) { c.delay = "-20000000"; }, "ERROR", 0, 0},
        {"delay not a number", {}, [](VoipTaskConfiguration& c) { c.delay = "soon"; }, "ERROR", 0, 0,
         "invalid stoll argument"},
        {"negative call duration", {}, [](VoipTaskConfiguration& c) { c.call_duration = "-1"; }, "ERROR", 0, 0,
         "call_duration must not be negative: -1"},
        // Samples per packet beyond 64 bits: refused before the call is announced.
        {"samples per packet beyond 64 bits", {},
         [](VoipTaskConfiguration& c) {
             c.sample_rate = 4294967295u;
             c.delay = "9000000000000000000";
         },
         "ERROR", 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        voice_test::ServerWithControl s(c.options);
        ASSERT_TRUE(s.connected);
        auto config = voipConfiguration(s.server.udpTestPorts().at(0));
        config.timeout = "300000000";
        c.change(config);
        const VoipRun run = runVoip(s, config);
        EXPECT_EQ(taskStatusToString(run.status), c.status);
        EXPECT_EQ(run.resultError, c.resultError);
        EXPECT_EQ(run.result == nullptr, !c.resultError.empty());
        if (run.result) {
            EXPECT_EQ(run.result->status, c.status);
            EXPECT_EQ(run.result->voip_result_status, c.status);
            expectNoFigures(*run.result);
        }
        EXPECT_LT(run.took, 1500ms);
        EXPECT_TRUE(s.server.waitForControlLines(2 + c.voipTests + c.results, 300ms) || c.voipTests == 0);
        EXPECT_EQ(s.commandsStartingWith("VOIPTEST ").size(), c.voipTests);
        EXPECT_EQ(s.commandsStartingWith("GET VOIPRESULT ").size(), c.results);
    }
}

// A time-out text that is not a number fails the run after the announcement,
// and the common result members cannot be filled either: no result.
TEST(VoipTask, TimeOutTextThatIsNotANumber) {
    voice_test::ServerWithControl s;
    ASSERT_TRUE(s.connected);
    auto config = voipConfiguration(s.server.udpTestPorts().at(0));
    config.timeout = "x";
    const VoipRun run = runVoip(s, config);
    EXPECT_EQ(run.status, TaskStatus::Error);
    EXPECT_FALSE(run.result);
    EXPECT_EQ(run.resultError, "invalid stoll argument");
    EXPECT_TRUE(s.server.waitForControlLines(3, 1s));
    EXPECT_EQ(s.commandsStartingWith("VOIPTEST ").size(), 1u);
}

// The server's figures are copied as it reports them, field by field.
TEST(VoipTask, CopiesTheServersFigures) {
    QosServerOptions options;
    options.refuse = {"GET VOIPRESULT"};
    options.refusalReply = "noise VOIPRESULT 11 -7 33 -44 55 6 7 8 8000 123456789";
    voice_test::ServerWithControl s(options);
    ASSERT_TRUE(s.connected);
    auto config = voipConfiguration(s.server.udpTestPorts().at(0));
    const VoipRun run = runVoip(s, config);
    ASSERT_TRUE(run.result);
    const auto& r = *run.result;
    EXPECT_EQ(r.status, "OK");
    EXPECT_EQ(r.voip_result_out_max_jitter, 11);
    EXPECT_EQ(r.voip_result_out_mean_jitter, -7);
    EXPECT_EQ(r.voip_result_out_max_delta, 33);
    EXPECT_EQ(r.voip_result_out_skew, -44);
    EXPECT_EQ(r.voip_result_out_num_packets, 55u);
    EXPECT_EQ(r.voip_result_out_sequence_error, 6u);
    EXPECT_EQ(r.voip_result_out_short_seq, 7u);
    EXPECT_EQ(r.voip_result_out_long_seq, 8u);
    // The server still streamed back; the canned reply does not wait for the
    // end of its stream, so its last packets may still be on the way.
    EXPECT_GE(r.voip_result_in_num_packets, 1u);
    EXPECT_LE(r.voip_result_in_num_packets, 10u);
}

// The command text with the defaults, and a call duration text that replaces
// the numeric one (seen through a refused call, which sends nothing).
TEST(VoipTask, CommandTextAndCallDuration) {
    struct Case {
        const char* name;
        std::function<void(VoipTaskConfiguration&)> change;
        std::string command;
        uint64_t callDuration;
    };
    const std::vector<Case> cases = {
        {"defaults", [](VoipTaskConfiguration& c) { c.call_duration.clear(); },
         "VOIPTEST 5060 0 8000 8 20 1000 0 8 100000000 +ID31", 1000000000},
        {"call duration text", [](VoipTaskConfiguration& c) { c.call_duration = "3000000000"; },
         "VOIPTEST 5060 0 8000 8 20 3000 0 8 100000000 +ID31", 3000000000},
        {"long call in exponent notation",
         [](VoipTaskConfiguration& c) {
             c.call_duration.clear();
             c.call_duration_ns = 1500000000000000ull;
             c.delay = "250000";
         },
         "VOIPTEST 5060 0 8000 8 0.25 1.5e+09 0 8 100000000 +ID31", 1500000000000000ull},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QosServerOptions options;
        options.refuse = {"VOIPTEST"};
        voice_test::ServerWithControl s(options);
        ASSERT_TRUE(s.connected);
        auto config = voipConfiguration(5060);
        c.change(config);
        const VoipRun run = runVoip(s, config);
        ASSERT_TRUE(run.result);
        EXPECT_EQ(run.result->status, "ERROR");
        EXPECT_EQ(s.commandsStartingWith("VOIPTEST "), std::vector<std::string>{c.command});
        EXPECT_EQ(run.result->voip_objective_call_duration, c.callDuration);
        EXPECT_EQ(run.result->voip_objective_out_port, 5060u);
    }
}

TEST(VoipTask, ReplyMatchersAgreeWithTheirPatterns) {
    const std::regex okPattern("OK ([0-9]+)");
    const std::regex resultPattern(
        "VOIPRESULT (-?[\\d]*) (-?[\\d]*) (-?[\\d]*) (-?[\\d]*) (-?[\\d]*) (-?[\\d]*) (-?[\\d]*) (-?[\\d]*) "
        "(-?[\\d]*) (-?[\\d]*)");
    const std::vector<std::string> replies = {
        "OK 17", "OK", "OK x", "NOK 5", "ERR", "OK  5", "OK -5", "xOK 12 OK 13", "OK 4294967296",
        "VOIPRESULT 1 2 3 4 5 6 7 8 9 10", "VOIPRESULT 1 2 3 4 5 6 7 8 9", "VOIPRESULT -1 -2 -3 -4 5 6 7 8 9 -10",
        "VOIPRESULT 1  3 4 5 6 7 8 9 10", "VOIPRESULT - - - - - - - - - -", "VOIPRESULT --1 2 3 4 5 6 7 8 9 10",
        "VOIPRESULT 1 2 3 4 5 6 7 8 9 10 11", "VOIPRESULT 1 2 VOIPRESULT 1 2 3 4 5 6 7 8 9 10",
        "VOIPRESULT 1 2 3 4 5 6 7 8 9 1x0", "VOIPRESULT 1 2 3 4 5 6 7 8 9 10\r", "VOIPRESULT          ",
        "VOIPRESULT 1 2 3 4 5 6 7 8 9 ", "VOIPRESULT1 2 3 4 5 6 7 8 9 10",
    };
    for (const auto& reply : replies) {
        SCOPED_TRACE(reply);
        std::smatch m;
        const bool okMatched = std::regex_search(reply, m, okPattern);
        const auto ssrc = VoipTask::findSsrcText(reply);
        ASSERT_EQ(ssrc.has_value(), okMatched);
        if (okMatched) {
            EXPECT_EQ(*ssrc, m[1].str());
        }

        const bool resultMatched = std::regex_search(reply, m, resultPattern);
        const auto groups = VoipTask::findVoipResultGroups(reply);
        ASSERT_EQ(groups.has_value(), resultMatched);
        if (resultMatched) {
            for (std::size_t g = 0; g < 10; ++g) EXPECT_EQ((*groups)[g], m[g + 1].str()) << g;
        }
    }
    // Long hostile replies are scanned without recursion.
    const std::string longDigits = "VOIPRESULT " + std::string(60000, '7');
    EXPECT_FALSE(VoipTask::findVoipResultGroups(longDigits).has_value());
    EXPECT_FALSE(VoipTask::findSsrcText(std::string(60000, 'O')).has_value());
}
