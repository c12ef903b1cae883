// The crash-reporter binding, end to end through a real reporter to the sink.

#include "helper/ProbeHelper.h"
#include "helper/SentryHelper.h"
#include "platform/sentry/SentryClient.h"

#include "JsonCompare.h"
#include "SentrySink.h"

#include <gtest/gtest.h>

#include <Poco/Message.h>
#include <Poco/Timestamp.h>

#include <boost/json/serialize.hpp>

#include <atomic>
#include <stdexcept>
#include <thread>

using trevask::measurement_library::ProbeHelper;
using trevask::measurement_library::SentryHelper;
using lumivex::peers::SentrySink;
namespace json = boost::json;
using namespace std::chrono_literals;

namespace {

class SentryHelperTest : public ::testing::Test {
protected:
    void TearDown() override {
        lumivex::platform::sentry::setEnvelopeObserver(nullptr);
        SentryHelper::close();
    }

    // The one exception event the sink received.
    static json::object onlyEvent(const SentrySink& sink) {
        EXPECT_TRUE(sink.waitForItems("event", 1, 5000ms));
        auto events = sink.items("event");
        EXPECT_EQ(events.size(), 1u);
        return events.empty() ? json::object{} : events.back().payload.as_object();
    }
};

}  // namespace

// Must run before anything initialises the reporter in this process; ctest
// runs every test in a process of its own.
TEST_F(SentryHelperTest, DoesNothingBeforeInitialize) {
    if (SentryHelper::isEnabled()) GTEST_SKIP() << "reporter already initialised in this process";
    std::atomic<int> observed{0};
    lumivex::platform::sentry::setEnvelopeObserver([&](const std::string&) { ++observed; });
    SentryHelper::captureException(std::runtime_error("x"));
    auto tx = SentryHelper::startTransaction("A::b", "b");
    EXPECT_FALSE(tx.hasValue);
    auto span = SentryHelper::startSpan(tx, "op", "desc");
    EXPECT_FALSE(span.hasValue);
    SentryHelper::setSpanData(span, "k", "v");
    SentryHelper::finishSpan(span);
    SentryHelper::finishTransaction(tx);
    SentryHelper::addBreadcrumb(Poco::Message("src", "text", Poco::Message::PRIO_ERROR));
    EXPECT_EQ(observed.load(), 0);
    EXPECT_FALSE(lumivex::platform::sentry::isInitialized());
}

TEST_F(SentryHelperTest, CapturedExceptionCarriesTypeAndValueTexts) {
    SentrySink sink;
    SentryHelper::initialize(sink.dsn(), "agent-1", false);
    EXPECT_TRUE(SentryHelper::isEnabled());
    struct Case {
        std::string info;
        std::string type;
        std::string valueStart;
    } cases[] = {
        {"", "Exception: socket closed; ", "socket closed; "},
        {"while reading", "Exception: socket closed;  (while reading)", "socket closed (while reading); "},
    };
    for (const auto& c : cases) {
        auto location = std::source_location::current();
        SentryHelper::captureException(std::runtime_error("socket closed"), c.info, location);
        std::string where = std::string(location.file_name()) + "(" + std::to_string(location.line()) + ":" +
                            std::to_string(location.column()) + ")";
        std::string value = c.valueStart + where + ": " + location.function_name();
        ASSERT_TRUE(sink.waitFor(
            [&](const auto& all) {
                for (const auto& envelope : all) {
                    for (const auto& item : envelope.items) {
                        if (item.type != "event") continue;
                        const auto& exception = item.payload.at("exception").at("values").at(0);
                        if (exception.at("type") == c.type && exception.at("value") == value) return true;
                    }
                }
                return false;
            },
            5000ms))
            << c.type << " / " << value;
    }
}

TEST_F(SentryHelperTest, LogMessagesBecomeBreadcrumbsWithMappedLevels) {
    SentrySink sink;
    SentryHelper::initialize(sink.dsn(), "agent-1", false);
    const std::pair<int, const char*> levels[] = {{1, "fatal"}, {2, "critical"}, {3, "error"}, {4, "warning"},
                                                  {5, "notice"}, {6, "info"},     {7, "debug"}, {8, "trace"},
                                                  {0, "info"},  {9, "info"}};
    std::vector<Poco::Message> messages;
    for (const auto& [priority, level] : levels) {
        Poco::Message message("SomeClass", "message " + std::to_string(priority),
                              static_cast<Poco::Message::Priority>(priority));
        message.setTime(Poco::Timestamp::fromEpochTime(1700000000 + priority));
        SentryHelper::addBreadcrumb(message);
    }
    SentryHelper::captureException(std::runtime_error("boom"));
    auto event = onlyEvent(sink);
    const auto& crumbs = event.at("breadcrumbs").at("values").as_array();
    ASSERT_GE(crumbs.size(), std::size(levels));
    auto firstOwn = crumbs.size() - std::size(levels);
    for (std::size_t i = 0; i < std::size(levels); ++i) {
        const auto& crumb = crumbs[firstOwn + i].as_object();
        SCOPED_TRACE(levels[i].first);
        EXPECT_EQ(crumb.at("message"), "message " + std::to_string(levels[i].first));
        EXPECT_EQ(crumb.at("level"), levels[i].second);
        EXPECT_EQ(crumb.at("category"), "log");
        EXPECT_FALSE(crumb.contains("type"));
        EXPECT_DOUBLE_EQ(crumb.at("timestamp").to_number<double>(), 1700000000.0 + levels[i].first);
    }
}

TEST_F(SentryHelperTest, TransactionWithSpansAndSpanData) {
    SentrySink sink;
    SentryHelper::initialize(sink.dsn(), "agent-1", false);
    auto tx = SentryHelper::startTransaction("VelaService::registerAgent", "registerAgent");
    ASSERT_TRUE(tx.hasValue);
    auto span = SentryHelper::startSpan(tx, "request", "POST /measurement-agents");
    ASSERT_TRUE(span.hasValue);
    SentryHelper::setSpanData(span, "status", "200");
    SentryHelper::finishSpan(span);
    auto second = SentryHelper::startSpan(tx, "parse", "");
    SentryHelper::finishSpan(second);
    SentryHelper::finishTransaction(tx);
    EXPECT_FALSE(SentryHelper::startSpan({}, "op", "d").hasValue);

    // Other transactions (the machine-fact reads of the scope) arrive too.
    auto named = [](const std::vector<lumivex::peers::ReceivedEnvelope>& all) -> std::optional<json::object> {
        for (const auto& envelope : all) {
            for (const auto& item : envelope.items) {
                if (item.type == "transaction" && item.payload.at("transaction") == "VelaService::registerAgent") {
                    return item.payload.as_object();
                }
            }
        }
        return std::nullopt;
    };
    ASSERT_TRUE(sink.waitFor([&](const auto& all) { return named(all).has_value(); }, 5000ms));
    auto t = *named(sink.envelopes());
    EXPECT_EQ(t.at("transaction"), "VelaService::registerAgent");
    EXPECT_EQ(t.at("contexts").at("trace").at("op"), "registerAgent");
    EXPECT_EQ(t.at("environment"), "release");
    const auto& spans = t.at("spans").as_array();
    ASSERT_EQ(spans.size(), 2u);
    EXPECT_EQ(spans[0].at("op"), "request");
    EXPECT_EQ(spans[0].at("description"), "POST /measurement-agents");
    EXPECT_EQ(spans[0].at("data").at("status"), "200");
    EXPECT_EQ(spans[1].at("op"), "parse");
}

TEST_F(SentryHelperTest, ScopeCarriesTheAgentIdentity) {
    SentrySink sink;
    SentryHelper::initialize(sink.dsn(), "agent-1", false);
    SentryHelper::setAgentUuid("agent-2", std::map<std::string, std::string>{{"b", "2"}, {"a", "1"}});
    SentryHelper::captureException(std::runtime_error("x"));
    auto event = onlyEvent(sink);

    std::string boardId = ProbeHelper::getBoardId();
    EXPECT_FALSE(boardId.empty());
    const auto& user = event.at("user").as_object();
    EXPECT_EQ(user.at("id"), boardId);
    EXPECT_EQ(user.at("ip_address"), "{{auto}}");
    EXPECT_EQ(user.at("email"), "agent-2@unknown");
    EXPECT_EQ(event.at("tags").at("boardid"), boardId);
    EXPECT_EQ(event.at("tags").at("agent_uuid"), "agent-2");
    EXPECT_EQ(event.at("environment"), "release");

    const auto& contexts = event.at("contexts").as_object();
    EXPECT_TRUE(contexts.at("lumivex_config").as_object().empty());
    EXPECT_EQ(json::serialize(contexts.at("lumivex")), R"({"a":"1","b":"2"})");
    const auto& probe = contexts.at("quarn_probe").as_object();
    EXPECT_EQ(probe.at("boardid"), boardId);
    EXPECT_EQ(probe.at("agent_uuid"), "agent-2");
    EXPECT_EQ(probe.at("code_name"), *ProbeHelper::getCodeName());
    if (auto hostname = ProbeHelper::getHostname()) {
        EXPECT_EQ(probe.at("hostname"), *hostname);
    }
    EXPECT_FALSE(probe.contains("image_name"));
    // The order of the entries is the order they were filled in.
    std::vector<std::string> keys;
    for (const auto& member : probe) keys.emplace_back(member.key());
    ASSERT_GE(keys.size(), 3u);
    EXPECT_EQ(keys[0], "boardid");
    EXPECT_EQ(keys[1], "agent_uuid");
}

TEST_F(SentryHelperTest, EmptyAgentUuidAndAbsentOptions) {
    SentrySink sink;
    SentryHelper::initialize(sink.dsn(), "agent-1", false);
    SentryHelper::setAgentUuid("agent-1", std::map<std::string, std::string>{{"k", "v"}});
    SentryHelper::setAgentUuid("", std::nullopt);  // no options: the earlier "lumivex" context stays
    SentryHelper::captureException(std::runtime_error("x"));
    auto event = onlyEvent(sink);
    EXPECT_FALSE(event.at("user").as_object().contains("email"));
    EXPECT_FALSE(event.at("tags").as_object().contains("agent_uuid"));
    EXPECT_EQ(event.at("contexts").at("quarn_probe").at("agent_uuid"), "");
    EXPECT_EQ(event.at("contexts").at("lumivex").at("k"), "v");
}

TEST_F(SentryHelperTest, SecondInitializeSwitchesDsnAndCloseKeepsEnabled) {
    SentrySink first;
    SentrySink second;
    SentryHelper::initialize(first.dsn(), "agent-1", false);
    SentryHelper::captureException(std::runtime_error("one"));
    SentryHelper::initialize(second.dsn(), "agent-1", false);  // no close in between
    SentryHelper::captureException(std::runtime_error("two"));
    SentryHelper::close();
    EXPECT_TRUE(SentryHelper::isEnabled());
    SentryHelper::captureException(std::runtime_error("after close"));
    EXPECT_FALSE(SentryHelper::startTransaction("A::b", "b").hasValue);

    ASSERT_EQ(first.items("event").size(), 1u);
    ASSERT_EQ(second.items("event").size(), 1u);
    EXPECT_EQ(first.items("event")[0].payload.at("exception").at("values").at(0).at("type"), "Exception: one; ");
    EXPECT_EQ(second.items("event")[0].payload.at("exception").at("values").at(0).at("type"), "Exception: two; ");
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(first.items("event").size() + second.items("event").size(), 2u);
}

TEST_F(SentryHelperTest, ConcurrentIdentityUpdatesAndCapturesAreSafe) {
    SentrySink sink;
    SentryHelper::initialize(sink.dsn(), "agent-0", false);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 3; ++i) {
                SentryHelper::setAgentUuid("agent-" + std::to_string(t),
                                           std::map<std::string, std::string>{{"t", std::to_string(t)}});
                SentryHelper::captureException(std::runtime_error("race"));
                SentryHelper::addBreadcrumb(Poco::Message("T", "crumb", Poco::Message::PRIO_INFORMATION));
            }
        });
    }
    for (auto& thread : threads) thread.join();
    SentryHelper::close();
    auto events = sink.items("event");
    ASSERT_EQ(events.size(), 12u);
    for (const auto& event : events) {
        EXPECT_TRUE(event.payload.as_object().contains("user"));
        EXPECT_EQ(std::string(event.payload.at("tags").at("agent_uuid").as_string()).substr(0, 6), "agent-");
    }
}
