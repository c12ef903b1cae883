// The crash-reporter service and the transactions the UI-facing services
// report, through a real reporter to the loopback sink.

#include "ServiceTestSupport.h"
#include "SentrySink.h"

#include "helper/SentryHelper.h"
#include "service/CertifiedMeasurementService.h"
#include "service/HistoryService.h"
#include "service/InformationCollectorService.h"
#include "service/MapService.h"
#include "service/MonthlyMeasurementService.h"
#include "service/NewsService.h"
#include "service/SentryService.h"

#include <gtest/gtest.h>

#include <set>

namespace json = boost::json;
using namespace services_test;
using namespace trevask::measurement_sdk;
using lumivex::peers::ReceivedEnvelope;
using lumivex::peers::SentrySink;
using namespace std::chrono_literals;

namespace {

class ServiceTransactionsTest : public ::testing::Test {
protected:
    void TearDown() override { SentryService::closeSentry(); }

    // (name, operation) of every transaction received so far.
    static std::multiset<std::pair<std::string, std::string>> transactions(
        const std::vector<ReceivedEnvelope>& envelopes) {
        std::multiset<std::pair<std::string, std::string>> seen;
        for (const auto& envelope : envelopes) {
            for (const auto& item : envelope.items) {
                if (item.type != "transaction") continue;
                seen.emplace(std::string(item.payload.at("transaction").as_string()),
                             std::string(item.payload.at("contexts").at("trace").at("op").as_string()));
            }
        }
        return seen;
    }

    // The newest exception event after capturing one.
    static json::object eventAfterCapture(SentrySink& sink, std::size_t count) {
        trevask::measurement_library::SentryHelper::captureException(std::runtime_error("probe"));
        EXPECT_TRUE(sink.waitForItems("event", count, 5000ms));
        auto events = sink.items("event");
        return events.size() < count ? json::object{} : events.back().payload.as_object();
    }
};

}  // namespace

TEST_F(ServiceTransactionsTest, EachOperationIsOneNamedTransaction) {
    SentrySink sink;
    SentryService::configureSentry(sink.dsn(), std::string("agent-1"), false);
    HttpTestServer server;
    server.start();
    answerEverything(server, ScriptedReply::json(200, "{}"));
    const std::string url = server.baseUrl();

    HistoryService().requestHistory(url, "a", std::nullopt, 1, 2);
    HistoryService().disassociateAgent(url, "a", std::nullopt);
    MapService().getMapOption(url, std::nullopt);
    MapService().getMarkers(url, 1, 2, 3, 4, std::nullopt, std::nullopt, std::nullopt, std::nullopt);
    MonthlyMeasurementService().postMeasurementCount(url, "a", std::nullopt, std::nullopt, std::nullopt);
    CertifiedMeasurementService().completeCertifiedMeasurement(url, "a", false, std::nullopt);
    EXPECT_ANY_THROW(CertifiedMeasurementService().createCertifiedMeasurement(url, "a", "[]", std::nullopt));
    NewsService().requestNews(url, std::nullopt, std::nullopt, std::nullopt, std::nullopt);
    InformationCollectorService collector;
    collector.requestAgentIp(std::nullopt, std::nullopt);
    collector.start([](auto) {});
    collector.stop();

    const std::multiset<std::pair<std::string, std::string>> expected = {
        {"HistoryService::requestHistory", "requestHistory"},
        {"HistoryService::disassociateAgent", "disassociateAgent"},
        {"MapService::getMapOption", "getMapOption"},
        {"MapService::getMarkers", "getMarkers"},
        {"MonthlyMeasurementService::postMeasurementCount", "postMeasurementCount"},
        {"CertifiedMeasurementService::completeCertifiedMeasurement", "completeCertifiedMeasurement"},
        // A refused form still closes its transaction.
        {"CertifiedMeasurementService::createCertifiedMeasurement", "createCertifiedMeasurement"},
        {"InformationCollectorService::start", "requestAgentIp"},
        {"InformationCollectorService::start", "start"},
        {"InformationCollectorService::start", "stop"},
    };
    // Called by waitFor under the sink's lock: reads only what it is given.
    auto ours = [&](const std::vector<ReceivedEnvelope>& envelopes) {
        std::multiset<std::pair<std::string, std::string>> own;
        for (const auto& t : transactions(envelopes)) {
            // The request layer's own transactions and the reporter's
            // machine-fact reads are not this test's business.
            if (t.first.rfind("RequestService::", 0) == 0) continue;
            if (t.first.find("Service::") == std::string::npos) continue;
            own.insert(t);
        }
        return own;
    };
    sink.waitFor([&](const std::vector<ReceivedEnvelope>& all) { return ours(all).size() >= expected.size(); },
                 5000ms);
    EXPECT_EQ(ours(sink.envelopes()), expected);  // no news transaction among them
}

TEST_F(ServiceTransactionsTest, AgentIdentityDefaultsToNotAvailable) {
    SentrySink sink;
    SentryService::configureSentry(sink.dsn(), std::nullopt, false);
    auto event = eventAfterCapture(sink, 1);
    EXPECT_EQ(event["tags"].at("agent_uuid"), "n/a");

    SentryService::updateSentryContext(std::string("agent-7"), std::map<std::string, std::string>{{"b", "2"}, {"a", "1"}});
    event = eventAfterCapture(sink, 2);
    EXPECT_EQ(event["tags"].at("agent_uuid"), "agent-7");
    EXPECT_EQ(json::serialize(event["contexts"].at("lumivex")), R"({"a":"1","b":"2"})");

    SentryService::updateSentryContext(std::nullopt, std::map<std::string, std::string>{});
    event = eventAfterCapture(sink, 3);
    EXPECT_EQ(event["tags"].at("agent_uuid"), "n/a");
    EXPECT_EQ(event["contexts"].at("quarn_probe").at("agent_uuid"), "n/a");
    EXPECT_EQ(json::serialize(event["contexts"].at("lumivex")), "{}");
}

TEST_F(ServiceTransactionsTest, EmptyAgentIdentityIsPassedOn) {
    SentrySink sink;
    SentryService::configureSentry(sink.dsn(), std::string(), false);
    auto event = eventAfterCapture(sink, 1);
    EXPECT_FALSE(event["tags"].as_object().contains("agent_uuid"));
    EXPECT_EQ(event["contexts"].at("quarn_probe").at("agent_uuid"), "");
}
