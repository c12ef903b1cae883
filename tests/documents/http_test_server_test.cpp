// The test server itself: what it records and how it answers raw requests.

#include "HttpTestServer.h"

#include <Poco/Net/SocketAddress.h>
#include <Poco/Net/StreamSocket.h>

#include <gtest/gtest.h>

using lumivex::test::HttpTestServer;
using lumivex::test::RecordedRequest;
using lumivex::test::ScriptedReply;
using namespace std::chrono_literals;

namespace {

// Sends `raw` and reads until the server closes or `expectedBytes` arrived.
std::string exchange(const HttpTestServer& server, const std::string& raw, std::size_t expectedBytes = SIZE_MAX) {
    Poco::Net::StreamSocket socket(Poco::Net::SocketAddress("127.0.0.1", server.port()));
    socket.setReceiveTimeout(Poco::Timespan(2, 0));
    socket.sendBytes(raw.data(), static_cast<int>(raw.size()));
    std::string answer;
    char buffer[4096];
    while (answer.size() < expectedBytes) {
        const int n = socket.receiveBytes(buffer, sizeof buffer);
        if (n <= 0) break;
        answer.append(buffer, static_cast<std::size_t>(n));
    }
    return answer;
}

}  // namespace

TEST(HttpTestServer, RecordsAbsoluteFormTargetsAndChunkedBodies) {
    HttpTestServer server;
    server.start();
    server.on("POST", "/api/v1/measurement-agents", ScriptedReply::json(201, R"({"data":{}})"));

    const std::string answer = exchange(server,
                                        "POST http://controller.invalid:8080/api/v1/measurement-agents?x=1 HTTP/1.1\r\n"
                                        "Host: controller.invalid:8080\r\n"
                                        "Transfer-Encoding: chunked\r\n"
                                        "X-Twice: 1\r\nX-Twice: 2\r\n"
                                        "Connection: close\r\n\r\n"
                                        "4\r\n{\"a\"\r\n3\r\n:1}\r\n0\r\n\r\n");
    EXPECT_EQ(answer.rfind("HTTP/1.1 201 Created\r\n", 0), 0u) << answer;
    EXPECT_NE(answer.find("\r\n\r\n{\"data\":{}}"), std::string::npos);

    auto seen = server.lastRequest();
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->target, "http://controller.invalid:8080/api/v1/measurement-agents?x=1");
    EXPECT_EQ(seen->path, "/api/v1/measurement-agents");
    EXPECT_EQ(seen->query, "x=1");
    EXPECT_EQ(seen->body, "{\"a\":1}");
    EXPECT_EQ(seen->headerCount("x-twice"), 2u);
    EXPECT_EQ(seen->peerAddress, "127.0.0.1");
    EXPECT_FALSE(seen->tls);
}

TEST(HttpTestServer, LatestMatchingRuleAnswersElseTheFallback) {
    HttpTestServer server;
    server.start();
    int calls = 0;
    server.onPrefix("*", "/agents/", [&](const RecordedRequest& r) {
        ++calls;
        return ScriptedReply::text(200, r.method + " " + r.path);
    });
    server.on("GET", "/agents/special", ScriptedReply::empty(204));

    const auto keepAlive = "GET /agents/special HTTP/1.1\r\nHost: x\r\n\r\n"
                           "DELETE /agents/7?y HTTP/1.1\r\nHost: x\r\n\r\n"
                           "GET /other HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
    const std::string answer = exchange(server, keepAlive);
    EXPECT_NE(answer.find("HTTP/1.1 204 No Content\r\n\r\nHTTP/1.1 200 OK"), std::string::npos) << answer;
    EXPECT_NE(answer.find("DELETE /agents/7"), std::string::npos);
    EXPECT_NE(answer.find("HTTP/1.1 404 Not Found"), std::string::npos);
    EXPECT_NE(answer.find(R"({"errors":"not found"})"), std::string::npos);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(server.requestCount(), 3u);
    EXPECT_EQ(server.connectionCount(), 1u);
}

TEST(HttpTestServer, StopEndsSilentAndDelayedRepliesAtOnce) {
    auto server = std::make_unique<HttpTestServer>();
    server->start();
    server->on("GET", "/silent", ScriptedReply::silent());
    server->on("GET", "/late", ScriptedReply::json(200, "{}").after(60s));
    Poco::Net::StreamSocket a(Poco::Net::SocketAddress("127.0.0.1", server->port()));
    Poco::Net::StreamSocket b(Poco::Net::SocketAddress("127.0.0.1", server->port()));
    a.sendBytes("GET /silent HTTP/1.1\r\n\r\n", 24);
    b.sendBytes("GET /late HTTP/1.1\r\n\r\n", 22);
    ASSERT_TRUE(server->waitForRequests(2, 2s));
    const auto start = std::chrono::steady_clock::now();
    server->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}
