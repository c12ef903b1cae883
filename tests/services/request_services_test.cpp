// History, map, monthly-count, news and certified-measurement calls: what
// each sends, and that each hands back the body of any answer and no value
// when no answer was read.

#include "ServiceTestSupport.h"

#include "model/MapMarkerRequest.h"
#include "service/CertifiedMeasurementService.h"
#include "service/HistoryService.h"
#include "service/MapService.h"
#include "service/MonthlyMeasurementService.h"
#include "service/NewsService.h"

#include <gtest/gtest.h>

#include <functional>

namespace json = boost::json;
using namespace services_test;
using namespace trevask::measurement_sdk;
using namespace std::chrono_literals;

namespace {

using Call = std::function<std::optional<std::string>(const std::string& url)>;

struct Operation {
    const char* name;
    Call call;
    const char* method;
    const char* path;
    const char* query;
    bool sendsBody;
};

const std::vector<Operation>& operations() {
    static const std::vector<Operation> all = [] {
        const std::optional<std::string> de = "de";
        std::vector<Operation> ops = {
            {"disassociateAgent", [=](const std::string& u) { return HistoryService().disassociateAgent(u, "a1", de); },
             "DELETE", "/measurement-agents/a1/measurements", "lang=de", false},
            {"disassociateSingleMeasurement",
             [=](const std::string& u) { return HistoryService().disassociateSingleMeasurement(u, "a1", "m1", de); },
             "DELETE", "/measurement-agents/a1/measurements/m1", "lang=de", false},
            {"requestHistory",
             [=](const std::string& u) { return HistoryService().requestHistory(u, "a1", de, 0, 20); }, "GET",
             "/measurement-agents/a1/measurements", "lang=de&page=0&size=20", false},
            {"requestSingleDetailedMeasurement",
             [=](const std::string& u) {
                 return HistoryService().requestSingleDetailedMeasurement(u, "a1", "m1", de);
             },
             "GET", "/measurement-agents/a1/measurements/m1/details", "lang=de", false},
            {"requestSingleFullMeasurement",
             [=](const std::string& u) { return HistoryService().requestSingleFullMeasurement(u, "a1", "m1", de); },
             "GET", "/measurement-agents/a1/measurements/m1", "lang=de", false},
            {"getMapOption", [=](const std::string& u) { return MapService().getMapOption(u, de); }, "GET",
             "/tiles/info", "lang=de", false},
            {"getMarkers",
             [=](const std::string& u) {
                 return MapService().getMarkers(u, 48.2, 16.37, 12, 20, std::nullopt, std::nullopt, std::nullopt, de);
             },
             "POST", "/tiles/markers", "lang=de", true},
            {"postMeasurementCount",
             [=](const std::string& u) {
                 return MonthlyMeasurementService().postMeasurementCount(u, "a1", std::nullopt, std::nullopt, de);
             },
             "POST", "/measurement-agents/a1/measurement-count", "lang=de", true},
            {"requestNews",
             [=](const std::string& u) { return NewsService().requestNews(u, std::nullopt, de, std::nullopt, 5); },
             "GET", "/news", "lang=de&size=5", false},
            {"getCertifiedMeasurementSettings",
             [=](const std::string& u) { return CertifiedMeasurementService().getCertifiedMeasurementSettings(u, "a1", de); },
             "GET", "/measurement-agents/a1/certified-measurement-settings", "lang=de", false},
            {"createCertifiedMeasurement",
             [=](const std::string& u) {
                 return CertifiedMeasurementService().createCertifiedMeasurement(u, "a1", "{}", de);
             },
             "POST", "/measurement-agents/a1/certified-measurement", "lang=de", true},
            {"getCertifiedMeasurement",
             [=](const std::string& u) { return CertifiedMeasurementService().getCertifiedMeasurement(u, "a1", de); },
             "GET", "/measurement-agents/a1/certified-measurement", "lang=de", false},
            {"canPerformCertifiedMeasurement",
             [=](const std::string& u) {
                 return CertifiedMeasurementService().canPerformCertifiedMeasurement(u, "a1", "{}", de);
             },
             "POST", "/measurement-agents/a1/certified-measurement/measurements", "lang=de", true},
            {"completeCertifiedMeasurement",
             [=](const std::string& u) {
                 return CertifiedMeasurementService().completeCertifiedMeasurement(u, "a1", true, de);
             },
             "PUT", "/measurement-agents/a1/certified-measurement", "lang=de&send_complaint_to_provider=true", true},
            {"abortCertifiedMeasurement",
             [=](const std::string& u) { return CertifiedMeasurementService().abortCertifiedMeasurement(u, "a1", de); },
             "DELETE", "/measurement-agents/a1/certified-measurement", "lang=de", false},
            {"getCertifiedMeasurementHistory",
             [=](const std::string& u) {
                 return CertifiedMeasurementService().getCertifiedMeasurementHistory(u, "a1", de, -1, 3);
             },
             "GET", "/measurement-agents/a1/past-certified-measurements", "lang=de&page=-1&size=3", false},
        };
        return ops;
    }();
    return all;
}

}  // namespace

TEST(RequestServices, EachOperationSendsItsMethodPathQueryAndBody) {
    HttpTestServer server;
    server.start();
    answerEverything(server, ScriptedReply::json(200, R"({"data":{}})"));
    for (const auto& op : operations()) {
        SCOPED_TRACE(op.name);
        server.clearRequests();
        EXPECT_EQ(op.call(server.baseUrl()), R"({"data":{}})");
        auto seen = server.requests();
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0].method, op.method);
        EXPECT_EQ(seen[0].path, op.path);
        EXPECT_EQ(seen[0].query, op.query);
        if (op.sendsBody) {
            EXPECT_EQ(seen[0].header("Content-Type"), "application/json");
            EXPECT_NO_THROW(json::parse(seen[0].body));
        } else {
            EXPECT_TRUE(seen[0].body.empty());
            EXPECT_FALSE(seen[0].header("Content-Type"));
        }
    }
}

TEST(RequestServices, AnyAnsweredStatusGivesItsBody) {
    const std::pair<int, std::string> answers[] = {
        {404, R"({"errors":["no such agent"]})"}, {500, "<html>oops</html>"}, {204, ""}};
    HttpTestServer server;
    server.start();
    for (const auto& [status, body] : answers) {
        server.clearRules();
        answerEverything(server, status == 204 ? ScriptedReply::empty(204) : ScriptedReply::text(status, body));
        for (const auto& op : operations()) {
            SCOPED_TRACE(std::string(op.name) + " " + std::to_string(status));
            auto answer = op.call(server.baseUrl());
            ASSERT_TRUE(answer.has_value());
            EXPECT_EQ(*answer, body);
        }
    }
}

TEST(RequestServices, NoValueWhenNoAnswerWasRead) {
    const std::string refused = refusedUrl();
    HttpTestServer closing;
    closing.start();
    answerEverything(closing, ScriptedReply::close());
    for (const auto& op : operations()) {
        SCOPED_TRACE(op.name);
        EXPECT_FALSE(op.call(refused));
        EXPECT_FALSE(op.call(closing.baseUrl()));
    }
    EXPECT_EQ(closing.requestCount(), operations().size());
}

TEST(HistoryService, AddressAndQueryEdgeCases) {
    HttpTestServer server;
    server.start();
    answerEverything(server, ScriptedReply::json(200, "{}"));
    const std::string base = server.baseUrl();
    struct Case {
        const char* name;
        Call call;
        const char* path;
        const char* query;
    };
    const Case cases[] = {
        {"no lang, no paging", [](auto& u) { return HistoryService().requestHistory(u, "a", std::nullopt, std::nullopt, std::nullopt); },
         "/measurement-agents/a/measurements", ""},
        {"empty lang is sent", [](auto& u) { return HistoryService().disassociateAgent(u, "a", std::string()); },
         "/measurement-agents/a/measurements", "lang="},
        {"page only", [](auto& u) { return HistoryService().requestHistory(u, "a", std::nullopt, 2, std::nullopt); },
         "/measurement-agents/a/measurements", "page=2"},
        {"empty measurement (full)", [](auto& u) { return HistoryService().requestSingleFullMeasurement(u, "a", "", std::nullopt); },
         "/measurement-agents/a/measurements/", ""},
        {"empty measurement (details)", [](auto& u) { return HistoryService().requestSingleDetailedMeasurement(u, "a", "", std::nullopt); },
         "/measurement-agents/a/measurements//details", ""},
        {"empty agent", [](auto& u) { return HistoryService().requestHistory(u, "", std::nullopt, std::nullopt, std::nullopt); },
         "/measurement-agents//measurements", ""},
        {"base with slash", [](auto& u) { return HistoryService().disassociateAgent(u + "/", "a", std::nullopt); },
         "//measurement-agents/a/measurements", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        server.clearRequests();
        EXPECT_TRUE(c.call(base));
        auto seen = server.lastRequest();
        ASSERT_TRUE(seen);
        EXPECT_EQ(seen->path, c.path);
        EXPECT_EQ(seen->query, c.query);
    }
}

TEST(MapService, MarkerRequestBodyIsTheBareRecord) {
    using Map = std::map<std::string, std::string>;
    struct Case {
        const char* name;
        std::int32_t zoom;
        std::int32_t size;
        std::optional<std::string> locale;
        std::optional<Map> filter;
        std::optional<Map> options;
        std::string expectedTail;  // after "coords"
        std::string expectedCoordsTail;  // after "lon"
    };
    const std::string markerType = R"("deserialize_type":"at.trevask.brisel.shared.map.MapMarkerRequest")";
    const std::string coordType = R"("deserialize_type":"at.trevask.brisel.shared.map.MapCoordinate")";
    const Case cases[] = {
        {"locale only", 12, 20, "de", std::nullopt, std::nullopt, R"(,"locale":"de")", R"(,"zoom":12,"size":20)"},
        {"empty locale, empty filter", -1, -5, std::string(), Map{}, std::nullopt,
         R"(,"locale":"","filter":{})", R"(,"zoom":-1,"size":-5)"},
        {"maps sorted by key", 3, 4, std::nullopt, Map{{"z", "1"}, {"a", "2"}}, Map{{"k", "v"}},
         R"(,"filter":{"a":"2","z":"1"},"options":{"k":"v"})", R"(,"zoom":3,"size":4)"},
    };
    HttpTestServer server;
    server.start();
    answerEverything(server, ScriptedReply::json(200, "{}"));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        server.clearRequests();
        ASSERT_TRUE(MapService().getMarkers(server.baseUrl(), 48.2, 16.37, c.zoom, c.size, c.locale, c.filter,
                                            c.options, std::nullopt));
        auto seen = server.lastRequest();
        ASSERT_TRUE(seen);
        EXPECT_EQ(seen->query, "");
        EXPECT_EQ(seen->body, "{" + markerType + R"(,"coords":{)" + coordType + R"(,"lat":4.82E1,"lon":1.637E1)" +
                                  c.expectedCoordsTail + "}" + c.expectedTail + "}");
    }
}

TEST(MonthlyMeasurementService, PostsTheCountRequestInTheEnvelope) {
    struct Case {
        const char* name;
        std::string agent;
        std::optional<std::int32_t> year;
        std::optional<std::int32_t> month;
        std::optional<std::string> lang;
        std::vector<std::string> dataKeys;
        const char* path;
        const char* query;
    };
    const Case cases[] = {
        {"nothing", "a1", std::nullopt, std::nullopt, std::nullopt, {"deserialize_type"},
         "/measurement-agents/a1/measurement-count", ""},
        {"month only", "a1", std::nullopt, 3, "de", {"deserialize_type", "month"},
         "/measurement-agents/a1/measurement-count", "lang=de"},
        {"both, empty agent", "", 2025, 12, std::nullopt, {"deserialize_type", "year", "month"},
         "/measurement-agents//measurement-count", ""},
    };
    HttpTestServer server;
    server.start();
    answerEverything(server, ScriptedReply::json(200, "{}"));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        server.clearRequests();
        ASSERT_TRUE(MonthlyMeasurementService().postMeasurementCount(server.baseUrl(), c.agent, c.year, c.month, c.lang));
        auto seen = server.lastRequest();
        ASSERT_TRUE(seen);
        EXPECT_EQ(seen->path, c.path);
        EXPECT_EQ(seen->query, c.query);
        auto body = json::parse(seen->body);
        EXPECT_EQ(keysOf(body), (std::vector<std::string>{"data", "request_info"}));
        const auto& data = body.at("data");
        EXPECT_EQ(keysOf(data), c.dataKeys);
        EXPECT_EQ(data.at("deserialize_type"),
                  "at.trevask.lumivex.shared.halvo.collector.api.v1.dto.agent.measurementdata."
                  "MeasurementsPerAgentByMonthRequest");
        if (c.month) {
            EXPECT_EQ(data.at("month"), *c.month);
        }
        if (c.year) {
            EXPECT_EQ(data.at("year"), *c.year);
        }
        EXPECT_EQ(text(body.at("request_info").at("agent_uuid")), c.agent);
        EXPECT_EQ(text(body.at("request_info").at("language")), c.lang.value_or("en_US"));
        EXPECT_EQ(body.at("request_info").at("agent_type"), "DESKTOP");
    }
}

TEST(NewsService, QueryHoldsWhatIsGivenInKeyOrder) {
    struct Case {
        std::optional<std::string> datetime;
        std::optional<std::string> lang;
        std::optional<std::int32_t> page;
        std::optional<std::int32_t> size;
        const char* query;
    };
    const Case cases[] = {
        {std::nullopt, std::nullopt, std::nullopt, std::nullopt, ""},
        {"2024-01-31T10:00:00Z", "en", 1, 10, "datetime=2024-01-31T10%3A00%3A00Z&lang=en&page=1&size=10"},
        {"yesterday", std::nullopt, -2, std::nullopt, "datetime=yesterday&page=-2"},
    };
    HttpTestServer server;
    server.start();
    answerEverything(server, ScriptedReply::json(200, "[]"));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.query);
        EXPECT_EQ(NewsService().requestNews(server.baseUrl(), c.datetime, c.lang, c.page, c.size), "[]");
        auto seen = server.lastRequest();
        ASSERT_TRUE(seen);
        EXPECT_EQ(seen->path, "/news");
        EXPECT_EQ(seen->query, c.query);
    }
}
