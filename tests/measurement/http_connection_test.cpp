// The controller and collector connection against the loopback back end.

#include "ScopedEnvironment.h"
#include "BackendServer.h"
#include "service/HttpConnectionService.h"

#include <Poco/Base64Decoder.h>
#include <Poco/Net/HTTPBasicCredentials.h>
#include <gtest/gtest.h>

#include <chrono>
#include <sstream>

using namespace trevask::measurement_library;
using lumivex::test::BackendServer;

namespace {

struct Outcome {
    bool answered = false;
    std::string text;
    int status = 0;
};

Outcome post(const std::string& url, std::string body, std::int32_t timeoutMs = 2000) {
    Outcome outcome;
    HttpConnectionService::Exchange exchange;
    exchange.buildBody = [body] { return body; };
    exchange.readAnswer = [&](std::string& text, int status) {
        outcome.text = text;
        outcome.status = status;
    };
    outcome.answered = HttpConnectionService::getInstance().exchange(url, "POST", exchange, timeoutMs);
    return outcome;
}

}  // namespace

TEST(HttpConnectionService, BaseUrlRules) {
    struct Case {
        std::string controller;
        std::string base;
    };
    const Case cases[] = {
        {"http://ctrl", "http://ctrl/api/v1/"},
        {"http://ctrl/", "http://ctrl//api/v1/"},
        {"http://ctrl/api/v2", "http://ctrl/api/v2/"},
        {"https://ctrl/x/api/v1/", "https://ctrl/x/api/v1/"},
        {"", "/api/v1/"},
    };
    auto& service = HttpConnectionService::getInstance();
    for (const auto& c : cases) {
        service.configure(c.controller, "http://coll/report", nullptr);
        EXPECT_EQ(service.getBaseUrl(), c.base) << c.controller;
        EXPECT_EQ(service.endpointUrl(HttpConnectionService::MEASUREMENT_AGENTS), c.base + "measurement-agents");
        EXPECT_EQ(service.endpointUrl(HttpConnectionService::MEASUREMENTS), c.base + "measurements");
    }
    EXPECT_EQ(service.endpointUrl(HttpConnectionService::COLLECTOR), "http://coll/report");
    EXPECT_EQ(service.endpointUrl(6), "");
    EXPECT_EQ(service.endpointUrl(-1), "");
}

TEST(HttpConnectionService, SendsAbsoluteTargetBodyAndCredentialsOverHttpAndHttps) {
    // The test back end's certificate is self-signed.
    lumivex::test::ScopedEnvironment insecureTls(lumivex::test::kInsecureBackendTls, "1");
    for (bool tls : {false, true}) {
        BackendServer::Options options;
        options.tls = tls;
        BackendServer backend(options);
        backend.start();
        auto& service = HttpConnectionService::getInstance();
        service.configure(backend.controllerUrl(), backend.collectorUrl(),
                          std::make_unique<Poco::Net::HTTPBasicCredentials>("board", "secret"));
        const std::string url = service.endpointUrl(HttpConnectionService::MEASUREMENT_AGENTS);
        const Outcome outcome = post(url, R"({"a":1})");
        ASSERT_TRUE(outcome.answered) << tls;
        EXPECT_EQ(outcome.status, 200);
        const auto seen = backend.requests(BackendServer::Endpoint::Registration);
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0].target, url);
        EXPECT_EQ(seen[0].body, R"({"a":1})");
        EXPECT_EQ(seen[0].header("Content-Type"), "application/json");
        ASSERT_TRUE(seen[0].header("Authorization"));
        std::istringstream encoded(seen[0].header("Authorization")->substr(6));
        Poco::Base64Decoder decoder(encoded);
        std::string decoded((std::istreambuf_iterator<char>(decoder)), std::istreambuf_iterator<char>());
        EXPECT_EQ(decoded, "board:secret");

        // Configured again without credentials: no Authorization header.
        service.configure(backend.controllerUrl(), backend.collectorUrl(), nullptr);
        ASSERT_TRUE(post(url, "{}").answered);
        EXPECT_FALSE(backend.requests().back().header("Authorization"));
    }
}

TEST(HttpConnectionService, FailuresGiveNoAnswerWithTheirReason) {
    BackendServer::Options options;
    options.slowDelay = std::chrono::milliseconds(1500);
    BackendServer backend(options);
    backend.start();
    auto& service = HttpConnectionService::getInstance();
    service.configure(backend.controllerUrl(), backend.collectorUrl(), nullptr);

    // An error status is a failure even with a readable record in the body.
    backend.misbehave(BackendServer::Endpoint::Collector, BackendServer::Misbehaviour::ServerError);
    Outcome outcome = post(backend.collectorUrl(), "{}");
    EXPECT_FALSE(outcome.answered);
    EXPECT_EQ(service.lastFailure().rfind("HTTP 500 Internal Server Error from ", 0), 0u) << service.lastFailure();
    backend.misbehave(BackendServer::Endpoint::Collector, BackendServer::Misbehaviour::ServerErrorNoData);
    EXPECT_FALSE(post(backend.collectorUrl(), "{}").answered);
    EXPECT_EQ(service.lastFailure().rfind("HTTP 500 Internal Server Error: internal from ", 0), 0u)
        << service.lastFailure();

    backend.misbehave(BackendServer::Endpoint::Collector, BackendServer::Misbehaviour::Close);
    EXPECT_FALSE(post(backend.collectorUrl(), "{}").answered);

    backend.misbehave(BackendServer::Endpoint::Collector, BackendServer::Misbehaviour::Slow);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(post(backend.collectorUrl(), "{}", 300).answered);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1400));

    EXPECT_FALSE(post("ftp://127.0.0.1/x", "{}").answered);
    EXPECT_FALSE(post("/api/v1/measurements", "{}").answered);
    const std::string closed = backend.collectorUrl();
    backend.stop();
    EXPECT_FALSE(post(closed, "{}").answered);
}
