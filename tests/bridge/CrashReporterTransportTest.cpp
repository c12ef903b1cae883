// The crash reporter's send queue against a collector that never answers:
// the queue stays bounded (the oldest envelopes make room and are counted)
// and closing cuts the exchange off instead of waiting it out.

#include "platform/sentry/SentryClient.h"
#include "platform/sentry/SentryTransport.h"

#include "HttpTestServer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <unistd.h>

namespace sentry = lumivex::platform::sentry;
using lumivex::test::HttpTestServer;
using lumivex::test::ScriptedReply;
using namespace std::chrono_literals;

namespace {

class CrashReporterTransportTest : public ::testing::Test {
protected:
    void SetUp() override {
        server.onPrefix("*", "/", [](const lumivex::test::RecordedRequest&) { return ScriptedReply::silent(); });
        server.start();
        database = std::filesystem::temp_directory_path() / ("lumivex-bridge-sentry-" + std::to_string(::getpid()));
        std::filesystem::create_directories(database);
    }
    void TearDown() override {
        sentry::close();
        sentry::joinStoppedTransports();
        server.stop();
        std::filesystem::remove_all(database);
    }
    sentry::Options options() const {
        sentry::Options o;
        o.dsn = "http://key@127.0.0.1:" + std::to_string(server.port()) + "/1";
        o.databasePath = database;
        // Longer than the close bound: only cutting the exchange off keeps
        // close within its bound.
        o.requestTimeout = 20s;
        o.shutdownTimeout = 2s;
        o.maxQueuedEnvelopes = 10;
        return o;
    }
    static boost::json::object event() {
        boost::json::object e = sentry::newEvent();
        e["message"] = boost::json::object{{"formatted", "x"}};
        return e;
    }

    HttpTestServer server;
    std::filesystem::path database;
};

TEST_F(CrashReporterTransportTest, TheQueueDropsTheOldestAndCloseIsBounded) {
    const auto droppedBefore = sentry::droppedEnvelopes();
    ASSERT_TRUE(sentry::init(options()));
    for (int i = 0; i < 50; ++i) sentry::captureEvent(event());
    // The first envelope is on its way (and never answered); of the other 49
    // only the newest 10 wait.
    ASSERT_TRUE(server.waitForRequests(1, 10s));
    EXPECT_GE(sentry::droppedEnvelopes() - droppedBefore, 39u);

    const auto start = std::chrono::steady_clock::now();
    sentry::close();
    const auto took = std::chrono::steady_clock::now() - start;
    // About the shutdown time-out; without the cut-off it would be the
    // request time-out.
    EXPECT_LT(took, 4s);
    EXPECT_GE(took, 1500ms);  // it did try to send what was queued
    EXPECT_FALSE(sentry::isInitialized());
    // What was still queued at close is counted too: every envelope but the
    // one that was under way.
    EXPECT_EQ(sentry::droppedEnvelopes() - droppedBefore, 49u);

    // The cut-off thread has ended already.
    const auto joinStart = std::chrono::steady_clock::now();
    sentry::joinStoppedTransports();
    EXPECT_LT(std::chrono::steady_clock::now() - joinStart, 2s);
    EXPECT_EQ(server.requestCount(), 1u);
}

}  // namespace
