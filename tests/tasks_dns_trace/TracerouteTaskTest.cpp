// The traceroute task: the ping command forms, the parsers fed with captured
// outputs of Windows ping and iputils ping, the probe loop replayed from
// captured outputs, and one live run to 127.0.0.1 with the real ping.

#include "helper/CommandLineHelper.h"
#include "model/QosTaskConfigurations.h"
#include "model/result/DnsTracerouteTaskResults.h"
#include "model/result/TaskResultWriter.h"
#include "tasks/TracerouteTask.h"

#include <boost/json.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

using namespace trevask::measurement_library;

namespace {

// ---- captured outputs -------------------------------------------------------

// Windows "ping -n 1 -i TTL host", English.
const char* kWindowsExpired =
    "\r\nPinging 198.51.100.7 with 32 bytes of data:\r\n"
    "Reply from 192.0.2.1: TTL expired in transit.\r\n\r\n"
    "Ping statistics for 198.51.100.7:\r\n"
    "    Packets: Sent = 1, Received = 1, Lost = 0 (0% loss),\r\n";
const char* kWindowsReply =
    "\r\nPinging 198.51.100.7 with 32 bytes of data:\r\n"
    "Reply from 198.51.100.7: bytes=32 time=14ms TTL=57\r\n\r\n"
    "Ping statistics for 198.51.100.7:\r\n"
    "    Packets: Sent = 1, Received = 1, Lost = 0 (0% loss),\r\n"
    "Approximate round trip times in milli-seconds:\r\n"
    "    Minimum = 14ms, Maximum = 14ms, Average = 14ms\r\n";
const char* kWindowsTimedOut =
    "\r\nPinging 198.51.100.7 with 32 bytes of data:\r\n"
    "Request timed out.\r\n\r\n"
    "Ping statistics for 198.51.100.7:\r\n"
    "    Packets: Sent = 1, Received = 0, Lost = 1 (100% loss),\r\n";
const char* kWindowsUnreachable =
    "\r\nPinging 198.51.100.7 with 32 bytes of data:\r\n"
    "Reply from 192.0.2.254: Destination net unreachable.\r\n\r\n"
    "Ping statistics for 198.51.100.7:\r\n"
    "    Packets: Sent = 1, Received = 1, Lost = 0 (0% loss),\r\n";
const char* kWindowsGerman =
    "\r\nPing wird ausgef\xc3\xbchrt f\xc3\xbcr 198.51.100.7 mit 32 Bytes Daten:\r\n"
    "Antwort von 198.51.100.7: Bytes=32 Zeit=14ms TTL=57\r\n";
const char* kWindowsIpv6Expired =
    "\r\nPinging 2001:db8:2::5 with 32 bytes of data:\r\n"
    "Reply from 2001:db8:1::2: TTL expired in transit.\r\n";
const char* kWindowsIpv6Reply =
    "\r\nPinging 2001:db8:2::5 with 32 bytes of data:\r\n"
    "Reply from 2001:db8:2::5: time=3ms\r\n";

// iputils ping "-n -c 1 -t TTL -W 1", captured on Debian 12.
const char* kLinuxExpired =
    "PING 10.2.0.2 (10.2.0.2) 56(84) bytes of data.\n"
    "From 10.1.0.2 icmp_seq=1 Time to live exceeded\n\n"
    "--- 10.2.0.2 ping statistics ---\n"
    "1 packets transmitted, 0 received, +1 errors, 100% packet loss, time 0ms\n\n";
const char* kLinuxReply =
    "PING 10.2.0.1 (10.2.0.1) 56(84) bytes of data.\n"
    "64 bytes from 10.2.0.1: icmp_seq=1 ttl=64 time=0.190 ms\n\n"
    "--- 10.2.0.1 ping statistics ---\n"
    "1 packets transmitted, 1 received, 0% packet loss, time 0ms\n"
    "rtt min/avg/max/mdev = 0.190/0.190/0.190/0.000 ms\n";
const char* kLinuxNoAnswer =
    "PING 10.2.0.2 (10.2.0.2) 56(84) bytes of data.\n\n"
    "--- 10.2.0.2 ping statistics ---\n"
    "1 packets transmitted, 0 received, 100% packet loss, time 0ms\n\n";
const char* kLinuxNetUnreachable =
    "PING 10.2.0.2 (10.2.0.2) 56(84) bytes of data.\n"
    "From 10.1.0.2 icmp_seq=1 Destination Net Unreachable\n\n"
    "--- 10.2.0.2 ping statistics ---\n"
    "1 packets transmitted, 0 received, +1 errors, 100% packet loss, time 0ms\n\n";
const char* kLinuxIpv6Expired =
    "PING 2001:db8:2::5(2001:db8:2::5) 56 data bytes\n"
    "From 2001:db8:1::2 icmp_seq=1 Time exceeded: Hop limit\n\n"
    "--- 2001:db8:2::5 ping statistics ---\n"
    "1 packets transmitted, 0 received, +1 errors, 100% packet loss, time 0ms\n\n";
const char* kLinuxIpv6Reply =
    "PING 2001:db8:1::2(2001:db8:1::2) 56 data bytes\n"
    "64 bytes from 2001:db8:1::2: icmp_seq=1 ttl=64 time=0.072 ms\n\n"
    "--- 2001:db8:1::2 ping statistics ---\n"
    "1 packets transmitted, 1 received, 0% packet loss, time 0ms\n"
    "rtt min/avg/max/mdev = 0.072/0.072/0.072/0.000 ms\n";
const char* kLinuxNamedReply =
    "PING localhost (127.0.0.1) 56(84) bytes of data.\n"
    "64 bytes from localhost (127.0.0.1): icmp_seq=1 ttl=64 time=0.030 ms\n";

struct ParseCase {
    const char* name;
    std::string output;
    std::optional<std::string> address;  // none: no hop
    bool intermediate;
};

// The command runner hands the output over with its lines joined (no line
// ends); both forms must parse alike.
std::string withoutLineEnds(std::string text) {
    text.erase(std::remove_if(text.begin(), text.end(), [](char c) { return c == '\r' || c == '\n'; }), text.end());
    return text;
}

void expectParses(const std::vector<ParseCase>& cases,
                  std::optional<TracerouteHop> (*parse)(const std::string&)) {
    for (const auto& c : cases) {
      for (const std::string& output : {c.output, withoutLineEnds(c.output)}) {
        SCOPED_TRACE(std::string(c.name) + (output == c.output ? "" : ", lines joined"));
        const std::optional<TracerouteHop> hop = parse(output);
        ASSERT_EQ(hop.has_value(), c.address.has_value());
        if (!hop) continue;
        EXPECT_EQ(hop->host, *c.address);
        EXPECT_EQ(hop->hop_limit_exceeded, c.intermediate);
        EXPECT_EQ(hop->time, 0u);
      }
    }
}

TEST(TraceroutePingOutputTest, WindowsOutputs) {
    expectParses(
        {
            {"TTL expired", kWindowsExpired, "192.0.2.1", true},
            {"destination replies", kWindowsReply, "198.51.100.7", false},
            {"request timed out", kWindowsTimedOut, std::nullopt, false},
            {"unreachable reply is a final hop", kWindowsUnreachable, "192.0.2.254", false},
            {"other language", kWindowsGerman, std::nullopt, false},
            {"IPv6 TTL expired keeps the whole address", kWindowsIpv6Expired, "2001:db8:1::2", true},
            {"IPv6 reply", kWindowsIpv6Reply, "2001:db8:2::5", false},
            {"expiry text elsewhere in the output", "Reply from 192.0.2.9: x\nTTL expired in transit", "192.0.2.9", true},
            {"first address that parses wins", "Reply from nowhere\nReply from 192.0.2.3: y", "192.0.2.3", false},
            {"not an address", "Reply from 999.1.1.1: bytes=32", std::nullopt, false},
            {"marker without address", "Reply from ", std::nullopt, false},
            {"empty", "", std::nullopt, false},
        },
        &TracerouteTask::parseWindowsPingOutput);
}

TEST(TraceroutePingOutputTest, LinuxOutputs) {
    expectParses(
        {
            {"time to live exceeded", kLinuxExpired, "10.1.0.2", true},
            {"destination replies", kLinuxReply, "10.2.0.1", false},
            {"no answer within the wait", kLinuxNoAnswer, std::nullopt, false},
            {"net unreachable is a final hop", kLinuxNetUnreachable, "10.1.0.2", false},
            {"IPv6 hop limit exceeded", kLinuxIpv6Expired, "2001:db8:1::2", true},
            {"IPv6 reply", kLinuxIpv6Reply, "2001:db8:1::2", false},
            {"resolved name with address", kLinuxNamedReply, "127.0.0.1", false},
            {"header line alone", "PING 10.2.0.2 (10.2.0.2) 56(84) bytes of data.\n", std::nullopt, false},
            {"windows output", kWindowsReply, std::nullopt, false},
            {"hostile address", "64 bytes from 10.0.0.300: icmp_seq=1\n", std::nullopt, false},
            {"no line end", "From 10.1.0.2 icmp_seq=1 Time to live exceeded", "10.1.0.2", true},
            {"empty", "", std::nullopt, false},
        },
        &TracerouteTask::parseLinuxPingOutput);
}

TEST(TraceroutePingCommandTest, CommandForms) {
    EXPECT_EQ(TracerouteTask::buildWindowsPingCommand("example.net", 7), "ping -n 1 -i 7  example.net");
    EXPECT_EQ(TracerouteTask::buildWindowsPingCommand("192.0.2.1", 30), "ping -n 1 -i 30  192.0.2.1");
    EXPECT_EQ(TracerouteTask::buildLinuxPingCommand("example.net", 7), "ping -n -c 1 -t 7 -W 1 example.net || true");
    EXPECT_EQ(TracerouteTask::buildPingCommand("h", 1), TracerouteTask::buildLinuxPingCommand("h", 1));
}

TEST(TraceroutePingCommandTest, OnlyHostNamesAndAddressesAreAccepted) {
    for (const char* host : {"example.net", "192.0.2.1", "2001:db8::1", "my_host-1.example", "localhost"}) {
        EXPECT_TRUE(TracerouteTask::isAcceptableHost(host)) << host;
    }
    for (const char* host : {"", "-f", "a b", "127.0.0.1;touch x", "$(id)", "a|b", "a&b", "`id`", "a\nb",
                             "'quoted'", "a>b"}) {
        EXPECT_FALSE(TracerouteTask::isAcceptableHost(host)) << host;
    }
    EXPECT_FALSE(TracerouteTask::isAcceptableHost(std::string(254, 'a')));
}

// ---- the probe loop, replayed ----------------------------------------------

// Answers each probe command from a table keyed by time-to-live.
class ReplayTracerouteTask : public TracerouteTask {
public:
    std::map<int, std::string> outputs;
    std::vector<std::string> commands;

protected:
    std::optional<std::string> runProbeCommand(const std::string& command) override {
        commands.push_back(command);
        const int ttl = static_cast<int>(commands.size());
        auto found = outputs.find(ttl);
        if (found == outputs.end()) return std::nullopt;
        return found->second;
    }
};

std::unique_ptr<TracerouteTaskConfiguration> tracerouteConfiguration(const std::string& host,
                                                                     const std::string& maxHops) {
    auto config = std::make_unique<TracerouteTaskConfiguration>();
    config->qostest = "traceroute";
    config->qos_test_uid = "77";
    config->concurrency_group = 900;
    config->targetHost = host;
    config->max_hops = maxHops;
    return config;
}

std::unique_ptr<TracerouteTaskResult> resultOf(BaseTask& task) {
    auto result = task.createResult();
    auto* traceroute = dynamic_cast<TracerouteTaskResult*>(result.get());
    if (traceroute == nullptr) return nullptr;
    result.release();
    return std::unique_ptr<TracerouteTaskResult>(traceroute);
}

TEST(TracerouteLoopTest, ProbesUntilTheDestinationAnswersSkippingSilentHops) {
    auto config = tracerouteConfiguration("10.2.0.2", "");
    ReplayTracerouteTask task;
    task.setConfiguration(config.get());
    task.outputs = {{2, kLinuxExpired}, {3, kLinuxNoAnswer}, {4, kLinuxReply}, {5, kLinuxReply}};
    task.runTask();
    EXPECT_EQ(task.getStatus(), TaskStatus::Ok);
    ASSERT_EQ(task.commands.size(), 4u);
    EXPECT_EQ(task.commands[0], "ping -n -c 1 -t 1 -W 1 10.2.0.2 || true");
    EXPECT_EQ(task.commands[3], "ping -n -c 1 -t 4 -W 1 10.2.0.2 || true");

    auto result = resultOf(task);
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(result->traceroute_result_status, "OK");
    EXPECT_EQ(result->traceroute_objective_host, "10.2.0.2");
    EXPECT_EQ(result->traceroute_objective_max_hops, 30);
    EXPECT_EQ(result->traceroute_result_hops, 2u);
    EXPECT_FALSE(result->traceroute_result_duration.has_value());
    ASSERT_EQ(result->traceroute_result_details.size(), 2u);
    EXPECT_EQ(result->traceroute_result_details[0].host, "10.1.0.2");
    EXPECT_TRUE(result->traceroute_result_details[0].hop_limit_exceeded);
    EXPECT_EQ(result->traceroute_result_details[1].host, "10.2.0.1");
    EXPECT_FALSE(result->traceroute_result_details[1].hop_limit_exceeded);
    EXPECT_EQ(result->status, "OK");
    EXPECT_EQ(result->objective_id, 77u);
    EXPECT_EQ(result->objective_concurrency_group, 900u);

    boost::json::value written;
    TaskResultWriter(written, result.get());
    ASSERT_TRUE(written.is_object()) << boost::json::serialize(written);
    const auto& object = written.as_object();
    EXPECT_EQ(object.at("traceroute_result_status"), "OK");
    EXPECT_EQ(object.at("traceroute_objective_host"), "10.2.0.2");
    EXPECT_EQ(object.at("traceroute_objective_max_hops").to_number<int>(), 30);
    EXPECT_EQ(object.at("traceroute_result_hops").to_number<int>(), 2);
    EXPECT_FALSE(object.contains("traceroute_result_duration"));
    const auto& details = object.at("traceroute_result_details").as_array();
    ASSERT_EQ(details.size(), 2u);
    EXPECT_EQ(details[0].at("host"), "10.1.0.2");
    EXPECT_EQ(details[1].at("host"), "10.2.0.1");
    EXPECT_TRUE(details[0].as_object().contains("time"));
}

TEST(TracerouteLoopTest, HopCountFromMaxHops) {
    struct Case {
        const char* maxHops;
        std::size_t probes;
        std::uint16_t reported;
    };
    // Nothing answers, so every time-to-live up to the count is probed; the
    // time-to-live cannot go past 255.
    const std::vector<Case> cases = {
        {"0", 0, 0},       {"3", 3, 3},         {"", 30, 30},          {"abc", 30, 30},
        {"5 hops", 5, 5},  {"70000", 255, 4464}, {"-1", 255, 65535},    {"99999999999", 30, 30},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.maxHops);
        auto config = tracerouteConfiguration("192.0.2.1", c.maxHops);
        ReplayTracerouteTask task;
        task.setConfiguration(config.get());
        task.runTask();
        EXPECT_EQ(task.getStatus(), TaskStatus::Ok);
        EXPECT_EQ(task.commands.size(), c.probes);
        auto result = resultOf(task);
        ASSERT_NE(result, nullptr);
        EXPECT_EQ(result->traceroute_objective_max_hops, c.reported);
        EXPECT_EQ(result->traceroute_result_hops, 0u);
        EXPECT_TRUE(result->traceroute_result_details.empty());
    }
}

TEST(TracerouteLoopTest, BadConfigurationEndsAsErrorWithoutProbesOrResult) {
    DnsTaskConfiguration otherKind;
    auto hostile = tracerouteConfiguration("127.0.0.1; touch /tmp/lumivex-traceroute-pwned", "2");
    auto empty = tracerouteConfiguration("", "2");
    struct Case {
        const char* name;
        TaskConfiguration* configuration;
        const char* output;
    };
    const std::vector<Case> cases = {
        {"no configuration", nullptr, "TaskException No configuration provided"},
        {"configuration of another kind", &otherKind,
         "TaskException Configuration is not a Traceroute Task configuration"},
        {"host with shell syntax", hostile.get(), "TaskException Traceroute host is not a host name or IP address"},
        {"empty host", empty.get(), "TaskException Traceroute host is not a host name or IP address"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ReplayTracerouteTask task;
        task.setConfiguration(c.configuration);
        ::testing::internal::CaptureStdout();
        task.runTask();
        const std::string output = ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(task.getStatus(), TaskStatus::Error);
        EXPECT_NE(output.find(c.output), std::string::npos) << output;
        EXPECT_TRUE(task.commands.empty());
        EXPECT_EQ(task.createResult(), nullptr);
    }
}

TEST(TracerouteLoopTest, FactoryMakesTracerouteTasks) {
    TracerouteTaskConfiguration traceroute;
    DnsTaskConfiguration dns;
    EXPECT_TRUE(TracerouteTask::accepts(&traceroute));
    EXPECT_FALSE(TracerouteTask::accepts(&dns));
    EXPECT_FALSE(TracerouteTask::accepts(nullptr));
    auto task = TracerouteTask::create(&traceroute);
    EXPECT_EQ(task->name(), "TRACEROUTE");
    EXPECT_FALSE(task->needsControlConnection());
    EXPECT_EQ(task->getConfiguration(), &traceroute);
}

// ---- live -------------------------------------------------------------------

TEST(TracerouteLiveTest, LoopbackIsReachedInOneHop) {
    if (!CommandLineHelper::tryExecuteForOutputDefaultTimeout("ping -n -c 1 -W 1 127.0.0.1", false)) {
        GTEST_SKIP() << "ping to 127.0.0.1 does not work here (iputils-ping missing or not permitted)";
    }
    auto config = tracerouteConfiguration("127.0.0.1", "5");
    auto task = TracerouteTask::create(config.get());
    task->runTask();
    EXPECT_EQ(task->getStatus(), TaskStatus::Ok);
    auto result = resultOf(*task);
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(result->traceroute_result_hops, 1u);
    ASSERT_EQ(result->traceroute_result_details.size(), 1u);
    const TracerouteHop& hop = result->traceroute_result_details[0];
    EXPECT_EQ(hop.host, "127.0.0.1");
    EXPECT_FALSE(hop.hop_limit_exceeded);
    // The hop's time is the whole command's run time: positive and within
    // the command runner's bound.
    EXPECT_GT(hop.time, 0u);
    EXPECT_LT(hop.time, 5000000000u);
    EXPECT_EQ(result->traceroute_objective_max_hops, 5);
}

}  // namespace
