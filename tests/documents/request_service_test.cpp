// RequestService against the loopback HTTP and HTTPS test server.

#include "ScopedEnvironment.h"
#include "service/LowLevelResponse.h"
#include "service/RequestService.h"

#include "HttpTestServer.h"

#include <Poco/AutoPtr.h>
#include <Poco/Channel.h>
#include <Poco/Logger.h>
#include <Poco/Message.h>
#include <Poco/Net/NetException.h>

#include <boost/json.hpp>
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <mutex>
#include <thread>

using namespace trevask::measurement_library;
using lumivex::test::HttpTestServer;
using lumivex::test::RecordedRequest;
using lumivex::test::ScriptedReply;
using namespace std::chrono_literals;

namespace {

// Collects what the "RequestService" logger writes while a LogScope lives.
class CapturedLog : public Poco::Channel {
public:
    void log(const Poco::Message& message) override {
        std::lock_guard lock(mutex_);
        lines_.push_back(message.getText());
    }
    bool contains(const std::string& start) const {
        std::lock_guard lock(mutex_);
        for (const auto& line : lines_) {
            if (line.rfind(start, 0) == 0) return true;
        }
        return false;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

struct LogScope {
    LogScope() : previous(logger().getChannel()), previousLevel(logger().getLevel()) {
        logger().setChannel(Poco::Channel::Ptr(log.get(), true));
        logger().setLevel(Poco::Message::PRIO_TRACE);
    }
    ~LogScope() {
        logger().setChannel(previous);
        logger().setLevel(previousLevel);
    }
    static Poco::Logger& logger() { return Poco::Logger::get("RequestService"); }

    Poco::AutoPtr<CapturedLog> log{new CapturedLog};
    Poco::Channel::Ptr previous;
    int previousLevel;
};

RequestService& service() { return *RequestService::getInstance(); }

// Elapsed time of a call.
template <typename F>
auto timed(F&& f) {
    const auto start = std::chrono::steady_clock::now();
    auto result = f();
    return std::pair{std::move(result), std::chrono::steady_clock::now() - start};
}

// A server started for one test, plain or TLS.
class RequestServiceTest : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        HttpTestServer::Options options;
        options.tls = GetParam();
        // The test server's certificate is self-signed.
        if (GetParam()) insecureTls.emplace(lumivex::test::kInsecureBackendTls, "1");
        server = std::make_unique<HttpTestServer>(options);
        server->start();
    }
    std::string url(const std::string& path) const { return server->baseUrl() + path; }

    std::optional<lumivex::test::ScopedEnvironment> insecureTls;
    std::unique_ptr<HttpTestServer> server;
};

INSTANTIATE_TEST_SUITE_P(Transport, RequestServiceTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Https" : "Http"; });

}  // namespace

TEST_P(RequestServiceTest, EveryMethodSendsItsBodyAndReturnsTheAnswer) {
    struct Case {
        std::string method;
        std::string body;
    };
    const Case cases[] = {
        {"GET", ""},
        {"POST", R"({"data":{"deserialize_type":"x"},"request_info":{"anonymous_mode":false}})"},
        {"PUT", R"({"name":"Grüße"})"},
        {"DELETE", ""},
    };
    server->on("*", "/api/v1/items", [](const RecordedRequest& r) {
        return ScriptedReply::json(200, R"({"data":{"method":")" + r.method + R"("}})");
    });
    for (const auto& c : cases) {
        SCOPED_TRACE(c.method);
        server->clearRequests();
        auto response = service().performStringRequest(url("/api/v1/items"), c.method, c.body, std::nullopt, 5000);
        ASSERT_TRUE(response);
        EXPECT_EQ(response->status, 200);
        EXPECT_EQ(response->body, R"({"data":{"method":")" + c.method + R"("}})");

        auto seen = server->lastRequest();
        ASSERT_TRUE(seen);
        EXPECT_EQ(seen->method, c.method);
        EXPECT_EQ(seen->target, "/api/v1/items");
        EXPECT_EQ(seen->version, "HTTP/1.1");
        EXPECT_EQ(seen->body, c.body);
        EXPECT_EQ(seen->tls, GetParam());
        if (c.body.empty()) {
            EXPECT_EQ(seen->headerCount("Content-Type"), 0u);
            EXPECT_EQ(seen->headerCount("Content-Length"), 0u);
        } else {
            EXPECT_EQ(seen->header("Content-Type"), "application/json");
            EXPECT_EQ(seen->header("Content-Length"), std::to_string(c.body.size()));
        }
        EXPECT_EQ(seen->headerCount("Host"), 1u);
    }
}

TEST_P(RequestServiceTest, QueryIsSortedAndEncoded) {
    using Query = RequestService::Query;
    struct Case {
        std::string path;
        Query query;
        std::string target;
    };
    const Case cases[] = {
        {"/api/x", Query{{{"lang", "de"}}}, "/api/x?lang=de"},
        {"/api/x", std::nullopt, "/api/x"},
        {"/api/x", Query{std::map<std::string, std::string>{}}, "/api/x"},
        {"/api/x", Query{{{"lang", "de"}, {"b", "x y&z=1"}, {"A", "1"}}}, "/api/x?A=1&b=x%20y%26z%3D1&lang=de"},
        {"/api/x?fixed=1", Query{{{"lang", "en"}}}, "/api/x?fixed=1&lang=en"},
        {"", Query{{{"k", "v"}}}, "/?k=v"},
        {"", std::nullopt, "/"},
        {"/a%20b/c", std::nullopt, "/a%20b/c"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.target);
        auto response = service().performStringRequest(url(c.path), "GET", "", c.query, 5000);
        ASSERT_TRUE(response);
        auto seen = server->lastRequest();
        ASSERT_TRUE(seen);
        EXPECT_EQ(seen->target, c.target);
    }
}

TEST_P(RequestServiceTest, ErrorStatusesAndOddBodiesAreReturnedAsTheyCame) {
    struct Case {
        const char* path;
        ScriptedReply reply;
        int status;
        std::string body;
    };
    const Case cases[] = {
        {"/created", ScriptedReply::json(201, R"({"data":1})"), 201, R"({"data":1})"},
        {"/nothing", ScriptedReply::empty(204), 204, ""},
        {"/missing", ScriptedReply::text(404, "<html>not here</html>", "text/html"), 404, "<html>not here</html>"},
        {"/broken", ScriptedReply::json(500, R"({"errors":["boom"]})"), 500, R"({"errors":["boom"]})"},
        {"/garbage", ScriptedReply::text(200, "not json {"), 200, "not json {"},
        {"/moved", ScriptedReply::empty(302).withHeader("Location", "/elsewhere"), 302, ""},
    };
    for (const auto& c : cases) server->on("GET", c.path, c.reply);
    ScriptedReply closeDelimited = ScriptedReply::text(200, std::string(20000, 'z'));
    closeDelimited.contentLength = false;
    server->on("GET", "/streamed", closeDelimited);

    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        auto response = service().performStringRequest(url(c.path), "GET", "", std::nullopt, 5000);
        ASSERT_TRUE(response);
        EXPECT_EQ(response->status, c.status);
        EXPECT_EQ(response->body, c.body);
    }
    auto streamed = service().performStringRequest(url("/streamed"), "GET", "", std::nullopt, 5000);
    ASSERT_TRUE(streamed);
    EXPECT_EQ(streamed->body, std::string(20000, 'z'));
    // No redirect was followed.
    EXPECT_EQ(server->requestCount(), std::size(cases) + 1);
}

TEST_P(RequestServiceTest, SlowOrSilentServerGivesNoValueAfterTheTimeout) {
    server->on("GET", "/slow", ScriptedReply::json(200, "{}").after(3s));
    server->on("GET", "/silent", ScriptedReply::silent());
    server->on("GET", "/quick", ScriptedReply::json(200, "{}").after(50ms));
    for (const char* path : {"/slow", "/silent"}) {
        SCOPED_TRACE(path);
        LogScope log;
        auto [response, elapsed] =
            timed([&] { return service().performStringRequest(url(path), "GET", "", std::nullopt, 300); });
        EXPECT_FALSE(response);
        // Plain HTTP gives up after the time-out; over TLS the networking
        // library waits for the socket once more, so allow up to twice.
        EXPECT_GE(elapsed, 250ms);
        EXPECT_LT(elapsed, 2000ms);
        EXPECT_TRUE(log.log->contains("Poco exception during request: "));
    }
    EXPECT_TRUE(service().performStringRequest(url("/quick"), "GET", "", std::nullopt, 1000));
}

// A server that stops sending in the middle of the body: the cut body must
// not be handed back as if it were the whole answer.
TEST_P(RequestServiceTest, BodyThatStallsMidwayIsAFailureNotAShortAnswer) {
    server->on("GET", "/stall", ScriptedReply::stallMidBody(200, "partial"));
    EXPECT_FALSE(service().performStringRequest(url("/stall"), "GET", "", std::nullopt, 300));
    EXPECT_THROW(service().performLowLevelGetRequest(url("/stall"), "GET", {}, 300), Poco::Exception);
}

TEST_P(RequestServiceTest, ConnectionDroppedWithoutAnswerGivesNoValue) {
    server->on("POST", "/drop", ScriptedReply::close());
    EXPECT_FALSE(service().performStringRequest(url("/drop"), "POST", "{}", std::nullopt, 2000));
    EXPECT_EQ(server->lastRequest()->body, "{}");

    server->setCloseOnAccept(true);
    EXPECT_FALSE(service().performStringRequest(url("/any"), "GET", "", std::nullopt, 2000));
    EXPECT_EQ(server->requestCount(), 1u);
}

TEST_P(RequestServiceTest, LocalAddressOfTheRequestIsKept) {
    server->on("GET", "/ip", ScriptedReply::json(200, "{}"));
    auto response = service().performStringRequest(url("/ip"), "GET", "", std::nullopt, 2000);
    ASSERT_TRUE(response);
    ASSERT_TRUE(response->localIp);
    EXPECT_EQ(*response->localIp, "127.0.0.1");
    EXPECT_EQ(*response->localIp, server->lastRequest()->peerAddress);
    EXPECT_EQ(service().lastLocalIp(), "127.0.0.1");

    // A request that fails before it is sent keeps the previous value.
    EXPECT_FALSE(service().performStringRequest("ftp://127.0.0.1/x", "GET", "", std::nullopt, 500));
    EXPECT_EQ(service().lastLocalIp(), "127.0.0.1");
}

TEST_P(RequestServiceTest, LowLevelGetSendsHeadersInOrderAndReturnsTheWholeResponse) {
    server->on("GET", "/proxy", ScriptedReply::text(200, "plain body")
                                    .withHeader("X-First", "1")
                                    .withHeader("Via", "test-proxy")
                                    .withHeader("X-First", "2"));
    const RequestService::Headers headers = {{"X-Probe", "a"}, {"Accept", "*/*"}, {"X-Probe", "b"}};
    auto response = service().performLowLevelGetRequest(url("/proxy?q=1"), "GET", headers, 2000);
    ASSERT_TRUE(response);
    EXPECT_EQ(response->body, "plain body");
    EXPECT_EQ(response->response.getStatus(), Poco::Net::HTTPResponse::HTTP_OK);
    EXPECT_EQ(response->response.get("Via"), "test-proxy");
    EXPECT_EQ(response->response.getContentType(), "text/plain");

    auto seen = server->lastRequest();
    ASSERT_TRUE(seen);
    EXPECT_EQ(seen->target, "/proxy?q=1");
    std::vector<std::string> probes;
    for (const auto& [name, value] : seen->headers) {
        if (name == "X-Probe") probes.push_back(value);
    }
    EXPECT_EQ(probes, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(seen->headerCount("Content-Type"), 0u);
    EXPECT_TRUE(seen->body.empty());
}

TEST_P(RequestServiceTest, LowLevelGetThrowsTheTimeout) {
    server->on("GET", "/silent", ScriptedReply::silent());
    auto [thrown, elapsed] = timed([&] {
        try {
            service().performLowLevelGetRequest(url("/silent"), "GET", {}, 300);
        } catch (const Poco::TimeoutException&) {
            return true;
        }
        return false;
    });
    EXPECT_TRUE(thrown);
    EXPECT_LT(elapsed, 2000ms);
}

TEST(RequestService, UnreachableOrUnusableUrlsGiveNoValue) {
    // A port that was just closed refuses connections.
    std::string closedUrl;
    {
        HttpTestServer gone;
        gone.start();
        closedUrl = gone.baseUrl() + "/x";
    }
    const std::string urls[] = {closedUrl, "ftp://127.0.0.1/file", "http://[::1", "not a url", ""};
    for (const auto& url : urls) {
        SCOPED_TRACE(url);
        LogScope log;
        auto [response, elapsed] =
            timed([&] { return service().performStringRequest(url, "GET", "", std::nullopt, 2000); });
        EXPECT_FALSE(response);
        EXPECT_LT(elapsed, 1500ms);
        EXPECT_TRUE(log.log->contains("Poco exception during request: ") ||
                    log.log->contains("std exception during request: "));
    }
    EXPECT_THROW(service().performLowLevelGetRequest(closedUrl, "GET", {}, 2000), Poco::Net::ConnectionRefusedException);
}

TEST(RequestService, IPv6LocalAddressHasNoBrackets) {
    HttpTestServer::Options options;
    options.bindAddress = "::1";
    HttpTestServer server(options);
    try {
        server.start();
    } catch (const std::exception& e) {
        GTEST_SKIP() << "no IPv6 loopback: " << e.what();
    }
    auto response = service().performStringRequest(server.baseUrl() + "/ip", "GET", "", std::nullopt, 2000);
    ASSERT_TRUE(response);
    EXPECT_EQ(response->localIp, "::1");
    EXPECT_EQ(service().lastLocalIp(), "::1");
    EXPECT_EQ(server.lastRequest()->peerAddress, "::1");
}

TEST(RequestService, ConcurrentRequestsEachGetTheirOwnAnswer) {
    HttpTestServer server;
    server.start();
    server.onPrefix("GET", "/echo/", [](const RecordedRequest& r) {
        return ScriptedReply::text(200, r.path.substr(6)).after(20ms);
    });
    std::vector<std::future<std::optional<StringResponse>>> calls;
    for (int i = 0; i < 8; ++i) {
        calls.push_back(std::async(std::launch::async, [&, i] {
            return service().performStringRequest(server.baseUrl() + "/echo/" + std::to_string(i), "GET", "",
                                                  std::nullopt, 5000);
        }));
    }
    for (int i = 0; i < 8; ++i) {
        auto response = calls[i].get();
        ASSERT_TRUE(response);
        EXPECT_EQ(response->body, std::to_string(i));
        EXPECT_EQ(response->localIp, "127.0.0.1");
    }
    EXPECT_EQ(server.requestCount(), 8u);
}

// --- records sent and read through the request layer ----------------------------------

namespace trevask::measurement_library {

struct ProbeRequest {
    std::string name;
    bool failOnWrite = false;
};

std::string toRequestBody(const ProbeRequest& request) {
    if (request.failOnWrite) throw std::runtime_error("cannot write");
    return boost::json::serialize(boost::json::object{{"data", {{"name", request.name}}}});
}

struct ProbeResponse {
    std::string address;
};

template <>
struct ResponseRecordReader<ProbeResponse> {
    static std::unique_ptr<ProbeResponse> read(const boost::json::value& value) {
        const auto& data = value.as_object().at("data").as_object();
        auto record = std::make_unique<ProbeResponse>();
        record->address = data.at("ip_address").as_string().c_str();
        return record;
    }
};

}  // namespace trevask::measurement_library

TEST(RequestService, DtoRequestSendsTheRecordsEnvelope) {
    HttpTestServer server;
    server.start();
    server.on("POST", "/measurement-agents", ScriptedReply::json(200, R"({"data":{"agent_uuid":"A"}})"));
    auto response = service().performDtoRequest(server.baseUrl() + "/measurement-agents", "POST",
                                                ProbeRequest{"desk"}, RequestService::Query{{{"lang", "en"}}}, 2000);
    ASSERT_TRUE(response);
    EXPECT_EQ(response->body, R"({"data":{"agent_uuid":"A"}})");
    auto seen = server.lastRequest();
    EXPECT_EQ(seen->target, "/measurement-agents?lang=en");
    EXPECT_EQ(seen->body, R"({"data":{"name":"desk"}})");
    EXPECT_EQ(seen->header("Content-Type"), "application/json");

    // A body that cannot be built gives no value, and nothing is sent.
    EXPECT_FALSE(service().performDtoRequest(server.baseUrl() + "/measurement-agents", "POST",
                                             ProbeRequest{"x", true}, std::nullopt, 2000));
    EXPECT_EQ(server.requestCount(), 1u);
}

TEST(RequestService, TypedRequestReadsTheRecordOrGivesNoValue) {
    HttpTestServer server;
    server.start();
    server.on("GET", "/ok", ScriptedReply::json(200, R"({"data":{"ip_address":"203.0.113.9"}} // trailing comment)"));
    server.on("GET", "/error-page", ScriptedReply::json(500, R"({"data":{"ip_address":"10.0.0.1"}})"));
    server.on("GET", "/html", ScriptedReply::text(404, "<html></html>", "text/html"));
    server.on("GET", "/wrong-kind", ScriptedReply::json(200, R"({"data":{"ip_address":4}})"));
    server.on("GET", "/deep", ScriptedReply::json(200, std::string(40, '[') + std::string(40, ']')));

    auto ok = service().performTypedRequest<ProbeResponse>(server.baseUrl() + "/ok", "GET", std::nullopt, 2000);
    ASSERT_TRUE(ok);
    ASSERT_TRUE(ok->record);
    EXPECT_EQ(ok->record->address, "203.0.113.9");
    EXPECT_EQ(ok->status, 200);
    EXPECT_EQ(ok->localIp, "127.0.0.1");
    EXPECT_EQ(server.lastRequest()->headerCount("Content-Type"), 0u);

    auto errorPage = service().performTypedRequest<ProbeResponse>(server.baseUrl() + "/error-page", "GET",
                                                                  std::nullopt, 2000);
    ASSERT_TRUE(errorPage);
    EXPECT_EQ(errorPage->status, 500);

    for (const char* path : {"/html", "/wrong-kind", "/deep"}) {
        SCOPED_TRACE(path);
        EXPECT_FALSE(service().performTypedRequest<ProbeResponse>(server.baseUrl() + path, "GET", std::nullopt, 2000));
    }
}

TEST(RequestService, ReplaceUrlPlaceholders) {
    struct Case {
        std::string urlTemplate;
        std::optional<std::string> agent;
        std::optional<std::string> measurement;
        std::string expected;
    };
    const std::string both = "/measurement-agents/{agentUuid}/measurements/{measurementUuid}";
    const Case cases[] = {
        {both, "A", "M", "/measurement-agents/A/measurements/M"},
        {both, std::nullopt, "M", "/measurement-agents/{agentUuid}/measurements/M"},
        {both, "A", std::nullopt, "/measurement-agents/A/measurements/{measurementUuid}"},
        {"/{agentUuid}/{agentUuid}", "A", std::nullopt, "/A/{agentUuid}"},
        {"/plain", "A", "M", "/plain"},
        {"/{agentUuid}", "", std::nullopt, "/"},
        // The agent value is inserted first; a placeholder inside it is then replaced.
        {"/{agentUuid}/x", "{measurementUuid}", "M", "/M/x"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.urlTemplate);
        EXPECT_EQ(RequestService::replaceUrlPlaceholders(c.urlTemplate, c.agent, c.measurement), c.expected);
    }
}

TEST(RequestService, TimeoutsAreMillisecondsWithoutWrapAround) {
    EXPECT_EQ(RequestService::timeoutMicroseconds(10000), 10'000'000);
    EXPECT_EQ(RequestService::timeoutMicroseconds(30000), 30'000'000);
    EXPECT_EQ(RequestService::timeoutMicroseconds(4294967), 4'294'967'000);
    EXPECT_EQ(RequestService::timeoutMicroseconds(5'000'000), 5'000'000'000);
}
