// The HTTP proxy task against the HTTP test server on loopback.

#include "TaskTestSupport.h"

#include "HttpTestServer.h"
#include "model/QosTaskConfigurations.h"
#include "model/result/ConnectivityTaskResults.h"
#include "tasks/HttpProxyTask.h"

#include <optional>

using namespace task_test;
using namespace std::chrono_literals;
using lumivex::test::HttpTestServer;
using lumivex::test::ScriptedReply;

namespace {

constexpr const char* kFox = "The quick brown fox jumps over the lazy dog";
constexpr const char* kFoxMd5 = "9e107d9d372bb6826bd81d3542a419d6";
constexpr const char* kEmptyMd5 = "d41d8cd98f00b204e9800998ecf8427e";

std::unique_ptr<HttpProxyTaskConfiguration> httpConfig(std::optional<std::string> url,
                                                       std::optional<std::string> range = std::nullopt) {
    auto c = std::make_unique<HttpProxyTaskConfiguration>();
    c->qostest = "http_proxy";
    c->qos_test_uid = "9";
    c->url = std::move(url);
    c->range = std::move(range);
    return c;
}

Outcome runHttp(HttpProxyTaskConfiguration& config, std::uint32_t requestTimeoutMs = HttpProxyTask::kRequestTimeoutMs) {
    auto task = HttpProxyTask::create(&config);
    static_cast<HttpProxyTask&>(*task).setRequestTimeoutMs(requestTimeoutMs);
    return runTask(*task);
}

}  // namespace

TEST(HttpProxyTask, Md5Digest) {
    EXPECT_EQ(HttpProxyTask::md5Hex(kFox), kFoxMd5);
    EXPECT_EQ(HttpProxyTask::md5Hex(""), kEmptyMd5);
    EXPECT_EQ(HttpProxyTask::md5Hex(std::string("\0\xff", 2)).size(), 32u);
}

TEST(HttpProxyTask, ReportsStatusLengthHeadersAndDigest) {
    HttpTestServer server;
    server.start();
    server.on("GET", "/file", [](const auto&) {
        auto reply = ScriptedReply::empty(206).withHeader("A", "1").withHeader("B", "2");
        reply.body = kFox;
        return reply;
    });
    auto config = httpConfig(server.baseUrl() + "/file", "bytes=0-99");
    const auto outcome = runHttp(*config);

    EXPECT_EQ(outcome.status, TaskStatus::Ok);
    const auto& r = outcome.as<HttpProxyTaskResult>();
    EXPECT_EQ(r.status, "OK");
    EXPECT_EQ(r.qos_test_uid, "9");
    EXPECT_EQ(r.objective_task_type, "http_proxy");
    EXPECT_EQ(r.http_objective_url, server.baseUrl() + "/file");
    EXPECT_EQ(r.http_objective_range, "bytes=0-99");
    EXPECT_EQ(r.http_result_status, "206");
    EXPECT_EQ(r.http_result_length, "43");
    EXPECT_EQ(r.http_result_hash, kFoxMd5);
    EXPECT_EQ(r.http_result_header, "A: 1\nB: 2\nContent-Length: 43\n");

    const auto request = server.lastRequest();
    ASSERT_TRUE(request.has_value());
    EXPECT_EQ(request->method, "GET");
    EXPECT_EQ(request->headerCount("range"), 1u);
    EXPECT_EQ(request->header("range"), "bytes=0-99");
}

// Range handling and answers that are no failure of the task.
TEST(HttpProxyTask, RangesEmptyBodiesAndErrorStatuses) {
    HttpTestServer server;
    server.start();
    server.on("GET", "/empty", ScriptedReply::empty(204));
    server.on("GET", "/missing", ScriptedReply::text(404, "gone"));
    struct Case {
        const char* label;
        std::string path;
        std::optional<std::string> range;
        std::string status;
        std::string length;
        std::string hash;
    };
    const std::vector<Case> cases = {
        {"empty range: no header, range still reported", "/empty", "", "204", "0", kEmptyMd5},
        {"no range", "/empty", std::nullopt, "204", "0", kEmptyMd5},
        {"404 is reported, not failed", "/missing", std::nullopt, "404", "4", HttpProxyTask::md5Hex("gone")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        server.clearRequests();
        auto config = httpConfig(server.baseUrl() + c.path, c.range);
        const auto outcome = runHttp(*config);
        EXPECT_EQ(outcome.status, TaskStatus::Ok);
        const auto& r = outcome.as<HttpProxyTaskResult>();
        EXPECT_EQ(r.http_objective_range, c.range);
        EXPECT_EQ(r.http_result_status, c.status);
        EXPECT_EQ(r.http_result_length, c.length);
        EXPECT_EQ(r.http_result_hash, c.hash);
        ASSERT_TRUE(server.lastRequest().has_value());
        EXPECT_EQ(server.lastRequest()->headerCount("range"), 0u);
    }
}

// Every failure leaves the task without a result.
TEST(HttpProxyTask, FailuresDeliverNoResult) {
    HttpTestServer server;
    server.start();
    server.on("GET", "/silent", ScriptedReply::silent());
    server.on("GET", "/close", ScriptedReply::close());
    server.on("GET", "/cut", [](const auto&) {
        // Announces 100 bytes, sends 10 and closes.
        auto reply = ScriptedReply::empty(200).withHeader("Content-Length", "100");
        reply.body = "0123456789";
        reply.contentLength = false;
        return reply;
    });
    HttpTestServer stopped;
    stopped.start();
    stopped.stop();  // its port refuses from now on
    struct Case {
        const char* label;
        std::optional<std::string> url;
        TaskStatus status;
        std::string printed;
    };
    const std::vector<Case> cases = {
        {"server silent", server.baseUrl() + "/silent", TaskStatus::Timeout,
         "TaskTimeoutException Timeout during request"},
        {"connection closed", server.baseUrl() + "/close", TaskStatus::Error, "TaskException Error during request: "},
        {"connection refused", stopped.baseUrl() + "/x", TaskStatus::Error,
         "TaskException Error during request: Connection refused"},
        {"body cut short", server.baseUrl() + "/cut", TaskStatus::Error,
         "TaskException Error during request: the body ended after 10 of 100 bytes"},
        {"no url", std::nullopt, TaskStatus::Error, "TaskException No url provided"},
        {"empty url", "", TaskStatus::Error, "TaskException Error during request: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        auto config = httpConfig(c.url);
        const auto outcome = runHttp(*config, 400);
        EXPECT_EQ(outcome.status, c.status);
        EXPECT_NE(outcome.printed.find(c.printed), std::string::npos) << outcome.printed;
        EXPECT_EQ(outcome.result, nullptr);
        EXPECT_LT(outcome.took, 3000ms);
    }
    {
        SCOPED_TRACE("no configuration");
        auto task = HttpProxyTask::create(nullptr);
        const auto outcome = runTask(*task);
        EXPECT_EQ(outcome.status, TaskStatus::Error);
        EXPECT_NE(outcome.printed.find("TaskException No configuration provided"), std::string::npos);
        EXPECT_EQ(outcome.result, nullptr);
    }
    {
        SCOPED_TRACE("configuration of another kind");
        UdpTaskConfiguration other;
        auto task = HttpProxyTask::create(&other);
        const auto outcome = runTask(*task);
        EXPECT_EQ(outcome.status, TaskStatus::Error);
        EXPECT_NE(outcome.printed.find("TaskException Configuration is not an Http Proxy Task configuration"),
                  std::string::npos);
        EXPECT_EQ(outcome.result, nullptr);
    }
}
