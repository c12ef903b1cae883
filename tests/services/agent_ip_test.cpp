// The public-address check against loopback address-echo endpoints.

#include "ServiceTestSupport.h"

#include "service/AgentIpService.h"
#include "service/InformationCollectorService.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace services_test;
using trevask::measurement_sdk::checkAgentIp;
using Result = std::map<std::string, std::string>;

namespace {

std::string echo(const std::string& address) {
    return R"({"data":{"ip_address":")" + address + R"(","ip_version":"x"}})";
}

}  // namespace

TEST(AgentIpCheck, ComparesTheReportedWithTheLocalAddress) {
    HttpTestServer v4;
    v4.start();
    struct Case {
        const char* name;
        ScriptedReply reply;
        Result expected;
    };
    const Case cases[] = {
        {"own address", ScriptedReply::json(200, echo("127.0.0.1")), {{"IPv4", "PUBLIC"}, {"IPv4_IP", "127.0.0.1"}}},
        {"other address", ScriptedReply::json(200, echo("203.0.113.9")), {{"IPv4", "NAT"}, {"IPv4_IP", "203.0.113.9"}}},
        {"error status with own address", ScriptedReply::json(500, echo("127.0.0.1")),
         {{"IPv4", "PUBLIC"}, {"IPv4_IP", "127.0.0.1"}}},
        {"empty address", ScriptedReply::json(200, echo("")), {{"IPv4", "UNKNOWN"}}},
        {"empty data", ScriptedReply::json(200, R"({"data":{}})"), {{"IPv4", "UNKNOWN"}}},
        {"no data", ScriptedReply::json(200, R"({"errors":[]})"), {{"IPv4", "UNKNOWN"}}},
        {"data not an object", ScriptedReply::json(200, R"({"data":"127.0.0.1"})"), {{"IPv4", "UNKNOWN"}}},
        {"address not a text", ScriptedReply::json(200, R"({"data":{"ip_address":127}})"), {{"IPv4", "UNKNOWN"}}},
        {"version not a text", ScriptedReply::json(200, R"({"data":{"ip_address":"1.2.3.4","ip_version":4}})"),
         {{"IPv4", "UNKNOWN"}}},
        {"array", ScriptedReply::json(200, "[]"), {{"IPv4", "UNKNOWN"}}},
        {"html 404", ScriptedReply::text(404, "<html>not found</html>", "text/html"), {{"IPv4", "UNKNOWN"}}},
        {"closed without answer", ScriptedReply::close(), {{"IPv4", "UNKNOWN"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        v4.clearRules();
        v4.clearRequests();
        v4.on("GET", "/ip", c.reply);
        EXPECT_EQ(checkAgentIp(v4.baseUrl(), std::nullopt), c.expected);
        ASSERT_EQ(v4.requestCount(), 1u);
        EXPECT_TRUE(v4.lastRequest()->body.empty());
        EXPECT_EQ(v4.lastRequest()->query, "");
    }
    EXPECT_EQ(checkAgentIp(refusedUrl(), std::nullopt), (Result{{"IPv4", "UNKNOWN"}}));
}

TEST(AgentIpCheck, FamiliesAreIndependentAndAbsentOnesSkipped) {
    HttpTestServer v4;
    v4.start();
    v4.onPrefix("GET", "/", [](const RecordedRequest&) { return ScriptedReply::json(200, echo("198.51.100.1")); });

    EXPECT_TRUE(checkAgentIp(std::nullopt, std::nullopt).empty());
    EXPECT_EQ(v4.requestCount(), 0u);

    // The "IPv6" base here is the same IPv4 server: only the key differs.
    EXPECT_EQ(checkAgentIp(std::nullopt, v4.baseUrl()), (Result{{"IPv6", "NAT"}, {"IPv6_IP", "198.51.100.1"}}));
    EXPECT_EQ(checkAgentIp(refusedUrl(), v4.baseUrl()),
              (Result{{"IPv4", "UNKNOWN"}, {"IPv6", "NAT"}, {"IPv6_IP", "198.51.100.1"}}));

    // A base URL ending in a slash is not normalised.
    v4.clearRequests();
    checkAgentIp(v4.baseUrl() + "/", std::nullopt);
    ASSERT_TRUE(v4.lastRequest());
    EXPECT_EQ(v4.lastRequest()->path, "//ip");

    // The information collector runs the same check.
    trevask::measurement_sdk::InformationCollectorService collector;
    EXPECT_TRUE(collector.requestAgentIp(std::nullopt, std::nullopt).empty());
    EXPECT_EQ(collector.requestAgentIp(v4.baseUrl(), std::nullopt),
              (Result{{"IPv4", "NAT"}, {"IPv4_IP", "198.51.100.1"}}));
}

TEST(AgentIpCheck, Ipv6ComparisonIsTextual) {
    HttpTestServer::Options options;
    options.bindAddress = "::1";
    HttpTestServer v6(options);
    try {
        v6.start();
    } catch (const std::exception& e) {
        GTEST_SKIP() << "no IPv6 loopback: " << e.what();
    }
    const std::pair<std::string, Result> cases[] = {
        {"::1", {{"IPv6", "PUBLIC"}, {"IPv6_IP", "::1"}}},
        {"0:0:0:0:0:0:0:1", {{"IPv6", "NAT"}, {"IPv6_IP", "0:0:0:0:0:0:0:1"}}},
        {"0000::0001", {{"IPv6", "NAT"}, {"IPv6_IP", "0000::0001"}}},
    };
    for (const auto& [reported, expected] : cases) {
        SCOPED_TRACE(reported);
        v6.clearRules();
        v6.on("GET", "/ip", ScriptedReply::json(200, echo(reported)));
        EXPECT_EQ(checkAgentIp(std::nullopt, v6.baseUrl()), expected);
    }
}

TEST(AgentIpCheck, ConcurrentRequestsDoNotConfuseTheLocalAddress) {
    // The echo server reports 127.0.0.1 after a pause; meanwhile other
    // requests leave from ::1. Each check must compare with its own address.
    HttpTestServer echoServer;
    echoServer.start();
    echoServer.on("GET", "/ip", ScriptedReply::json(200, echo("127.0.0.1")).after(std::chrono::milliseconds(50)));
    HttpTestServer::Options other;
    other.bindAddress = "::1";
    HttpTestServer otherServer(other);
    try {
        otherServer.start();
    } catch (const std::exception& e) {
        GTEST_SKIP() << "no IPv6 loopback: " << e.what();
    }
    std::atomic<bool> done{false};
    std::thread noise([&] {
        while (!done) checkAgentIp(otherServer.baseUrl(), std::nullopt);
    });
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(checkAgentIp(echoServer.baseUrl(), std::nullopt),
                  (Result{{"IPv4", "PUBLIC"}, {"IPv4_IP", "127.0.0.1"}}));
    }
    done = true;
    noise.join();
}
