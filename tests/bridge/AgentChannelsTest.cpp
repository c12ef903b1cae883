// Every back-end channel of the real agent, driven over its UI socket by the
// command-line UI against the loopback back end: the argument checks in
// their order with their texts, the request each call makes as the back end
// saw it (method, path, query, body), and the reply.

#include "AgentHarness.h"

#include "BackendServer.h"

using namespace bridge_test;
namespace json = boost::json;
using lumivex::test::BackendServer;
using lumivex::test::RecordedRequest;

namespace {

// A port nothing listens on: the request fails at once.
const std::string kUnreachable = "http://127.0.0.1:1";

// What the back end must have seen for one call.
struct Seen {
    std::string method;
    std::string path;
    std::string query;
    // Members of the JSON body: a JSON pointer and the expected JSON text,
    // or "-" when the member must be absent.
    std::vector<std::pair<std::string, std::string>> body = {};
};

struct Case {
    std::string channel;
    std::string method;
    json::value args;
    std::string reply;             // "success", "error" or "notImplemented"
    std::string codeOrValue = {};  // error code ("*": any), or the success value (JSON text)
    std::string message = {};      // error message
    std::optional<Seen> seen = {};
};

class AgentChannelsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir.path().empty());
        backend.start();
        url = backend.baseUrl();
        agent = std::make_unique<Child>(std::vector<std::string>{agentBinary()},
                                        std::vector<std::string>{"LUMIVEX_UI_SOCKET=" + socket, "LUMIVEX_DPI=144"},
                                        dir.path(), dir.file("agent.out"), dir.file("agent.err"));
        ASSERT_TRUE(waitForFile(socket, 10s)) << readFile(dir.file("agent.err"));
    }
    void TearDown() override {
        // The UI leaving ends the agent; one that still runs is asked to quit.
        auto status = agent ? agent->wait(5s) : std::nullopt;
        if (agent && !status) {
            runDriver(socket, {"--quit"});
            status = agent->wait(20s);
        }
        ASSERT_TRUE(status) << "the agent did not end";
        EXPECT_TRUE(status->exited && status->code == 0) << status->text() << readFile(dir.file("agent.err"));
        EXPECT_FALSE(exists(socket));
    }

    // Runs every case in one session of the UI (the agent ends when its UI
    // goes) and checks replies and requests in order.
    void check(const std::vector<Case>& cases) {
        std::vector<std::string> steps;
        for (const auto& c : cases) {
            auto s = call(c.channel, c.method, json::serialize(c.args));
            steps.insert(steps.end(), s.begin(), s.end());
        }
        backend.clearRequests();
        DriverRun run = runDriver(socket, steps, 60s);
        ASSERT_TRUE(run.status && run.status->exited) << run.output;
        ASSERT_EQ(run.lines.size(), cases.size()) << run.output;
        std::vector<RecordedRequest> requests = backend.requests();
        std::size_t next = 0;
        for (std::size_t i = 0; i < cases.size(); ++i) {
            const Case& c = cases[i];
            const json::object& line = run.lines[i];
            SCOPED_TRACE(c.channel + " " + c.method + " " + json::serialize(c.args) + " -> " + json::serialize(line));
            ASSERT_EQ(text(line.at("method")), c.method);
            EXPECT_EQ(text(line.at("reply")), c.reply);
            if (c.reply == "error" && c.codeOrValue == "*") {
                EXPECT_FALSE(text(line.at("code")).empty());
                EXPECT_EQ(text(line.at("message")), c.message);
            } else if (c.reply == "error") {
                EXPECT_EQ(text(line.at("code")), c.codeOrValue);
                EXPECT_EQ(text(line.at("message")), c.message);
            } else if (c.reply == "success" && !c.codeOrValue.empty()) {
                EXPECT_EQ(json::serialize(line.at("value")), c.codeOrValue);
            }
            if (!c.seen) continue;
            ASSERT_LT(next, requests.size()) << "no request was made";
            const RecordedRequest& r = requests[next++];
            EXPECT_EQ(r.method, c.seen->method);
            EXPECT_EQ(r.path, c.seen->path);
            EXPECT_EQ(r.query, c.seen->query);
            if (c.reply == "success" && c.codeOrValue.empty()) {
                // Whole-body replies hand the back end's answer over as it came.
                ASSERT_TRUE(line.at("value").is_string());
                auto answer = json::parse(line.at("value").as_string());
                EXPECT_EQ(answer.at("data").at("path"), json::value(c.seen->path));
            }
            if (!c.seen->body.empty()) {
                auto body = json::parse(r.body);
                for (const auto& [pointer, expected] : c.seen->body) {
                    boost::system::error_code ec;
                    const json::value* member = body.find_pointer(pointer, ec);
                    if (expected == "-") {
                        EXPECT_EQ(member, nullptr) << pointer << " in " << r.body;
                    } else {
                        ASSERT_NE(member, nullptr) << pointer << " in " << r.body;
                        EXPECT_EQ(json::serialize(*member), expected) << pointer;
                    }
                }
            } else if (c.seen->method == "GET" || c.seen->method == "DELETE") {
                EXPECT_EQ(r.body, "");
                EXPECT_FALSE(r.header("Content-Type"));
            }
        }
        EXPECT_EQ(next, requests.size()) << "more requests than expected";
    }

    PrivateDir dir;
    std::string socket = dir.file("ui.sock");
    BackendServer backend;
    std::string url;
    std::unique_ptr<Child> agent;
};

// The argument checks every back-end channel opens with, in their order.
std::vector<Case> commonChecks(const std::string& channel, const std::string& method, const char* agentKey,
                               const std::string& url) {
    std::vector<Case> cases = {
        {channel, method, nullptr, "error", "Invalid parameters"},
        {channel, method, "text", "error", "Invalid parameters"},
        {channel, method, json::array{1}, "error", "Invalid parameters"},
        {channel, method, json::object{}, "error", "No url provided"},
        // "url" comes before the agent identity.
        {channel, method, json::object{{"url", 5}}, "error", "No url provided"},
        // A method the channel lacks, with bad arguments: the argument error.
        {channel, "noSuchMethod", nullptr, "error", "Invalid parameters"},
    };
    if (agentKey != nullptr) {
        const std::string other = std::string(agentKey) == "agentUuid" ? "agent_uuid" : "agentUuid";
        cases.push_back({channel, method, json::object{{"url", url}}, "error", "No agent uuid provided"});
        cases.push_back({channel, method, json::object{{"url", url}, {other, "A1"}}, "error", "No agent uuid provided"});
        cases.push_back({channel, method, json::object{{"url", url}, {agentKey, 7}}, "error", "No agent uuid provided"});
    }
    return cases;
}

void append(std::vector<Case>& to, const std::vector<Case>& more) { to.insert(to.end(), more.begin(), more.end()); }

TEST_F(AgentChannelsTest, MeasurementCrashReporterAndSystemChannels) {
    backend.setRegistrationBody(R"({"data":{"agent_uuid":"u-1"},"errors":null})");
    const json::object registration{{"url", url}, {"tcVersionAccepted", 65537}, {"isTcAccepted", true}};
    auto registering = [&](const json::object& changes, const std::vector<std::string>& removed = {}) {
        json::object o = registration;
        for (const auto& member : changes) o[member.key()] = member.value();
        for (const auto& k : removed) o.erase(k);
        return json::value(o);
    };
    check({
        {kVela, "registerAgent", nullptr, "error", "Invalid arguments passed"},
        {kVela, "registerAgent", "text", "error", "Invalid arguments passed"},
        {kVela, "registerAgent", registering(json::object{}, {"url"}), "error", "Invalid url passed"},
        {kVela, "registerAgent", registering({{"url", 5}}), "error", "Invalid url passed"},
        {kVela, "registerAgent", registering({{"url", ""}}), "error", "Empty url passed"},
        {kVela, "registerAgent", registering(json::object{}, {"tcVersionAccepted"}), "error",
         "tcVersionAccepted missing"},
        {kVela, "registerAgent", registering({{"tcVersionAccepted", std::int64_t{1} << 40}}), "error",
         "tcVersionAccepted missing"},
        {kVela, "registerAgent", registering({{"isTcAccepted", 1}}), "error", "isTcAccepted missing"},
        // The back end's "data" member; the version travels in 16 bits.
        {kVela, "registerAgent", registering({{"lang", "de"}, {"groupName", 4}}), "success",
         R"("{\"agent_uuid\":\"u-1\"}")", "",
         Seen{"POST", "/measurement-agents", "lang=de",
              {{"/data/terms_and_conditions_accepted", "true"},
               {"/data/terms_and_conditions_accepted_version", "1"},
               {"/request_info/language", "\"de\""}}}},
        {kVela, "startMeasurement", json::object{{"controllerUrl", url}}, "error", "Invalid arguments passed"},
        {kVela, "startMeasurement", R"({"performQos":1})", "error", "bool required"},
        {kVela, "setFlutterConfiguration", "x", "error", "Invalid arguments passed"},
        {kVela, "setFlutterConfiguration", json::object{{"appVersionCode", "12"}}, "success", R"("")"},
        {kVela, "noSuchMethod", json::object{}, "notImplemented"},

        {kSentry, "closeSentry", nullptr, "error", "Invalid arguments passed"},
        {kSentry, "noSuchMethod", nullptr, "error", "Invalid arguments passed"},
        {kSentry, "configureSentry", json::object{{"dsn", 1}}, "error", "Invalid dsn passed"},
        {kSentry, "configureSentry", json::object{{"dsn", ""}}, "error", "Empty dsn passed"},
        // A DSN on loopback whose port nobody serves: nothing leaves the machine.
        {kSentry, "configureSentry", json::object{{"dsn", "http://key@127.0.0.1:9/1"}}, "success", "null"},
        {kSentry, "updateSentryContext",
         json::object{{"agentUuid", "a-1"}, {"contextOptions", {{"k", "v"}, {"n", 1}}}}, "success", "null"},
        {kSentry, "closeSentry", json::object{}, "success", "null"},
        {kSentry, "noSuchMethod", json::object{}, "notImplemented"},

        // The system channel looks at no argument.
        {kSystem, "requestWindowScale", "text", "success", "1.5E0"},
        {kSystem, "noSuchMethod", nullptr, "notImplemented"},
    });
}

TEST_F(AgentChannelsTest, HistoryAndSettingsChannels) {
    const std::string list = "/measurement-agents/A1/measurements";
    std::vector<Case> cases = commonChecks(kHistory, "requestHistory", "agentUuid", url);
    append(cases, commonChecks(kSettings, "requestDisassociateAgentUuid", "agentUuid", url));
    append(cases, {
        {kHistory, "requestHistory", {{"url", url}, {"agentUuid", "A1"}, {"lang", "de"}, {"page", 2}, {"limit", 20}},
         "success", "", "", Seen{"GET", list, "lang=de&page=2&size=20"}},
        // Only 32-bit integers count: a double limit and a 64-bit page are absent.
        {kHistory, "requestHistory",
         {{"url", url}, {"agentUuid", "A1"}, {"page", std::int64_t{1} << 40}, {"limit", 20.0}},
         "success", "", "", Seen{"GET", list, ""}},
        // A language of the wrong kind is no error.
        {kHistory, "requestHistory", {{"url", url}, {"agentUuid", "A1"}, {"lang", 5}, {"page", 0}},
         "success", "", "", Seen{"GET", list, "page=0"}},
        {kHistory, "requestSingleDetailedMeasurement",
         {{"url", url}, {"agentUuid", "A1"}, {"measurementUuid", "M1"}, {"lang", "en"}},
         "success", "", "", Seen{"GET", list + "/M1/details", "lang=en"}},
        {kHistory, "requestSingleFullMeasurement", {{"url", url}, {"agentUuid", "A1"}, {"measurementUuid", "M1"}},
         "success", "", "", Seen{"GET", list + "/M1", ""}},
        {kHistory, "disassociateSingleMeasurement",
         {{"url", url}, {"agentUuid", "A1"}, {"measurementUuid", "M1"}, {"lang", "de"}},
         "success", "", "", Seen{"DELETE", list + "/M1", "lang=de"}},
        {kHistory, "requestSingleFullMeasurement", {{"url", url}, {"agentUuid", "A1"}}, "error",
         "No measurement uuid provided"},
        {kHistory, "requestSingleDetailedMeasurement", {{"url", url}, {"agentUuid", "A1"}, {"measurementUuid", 3}},
         "error", "No measurement uuid provided"},
        {kHistory, "disassociateSingleMeasurement", {{"url", url}, {"agentUuid", "A1"}}, "error",
         "No measurement uuid provided"},
        {kHistory, "noSuchMethod", {{"url", url}, {"agentUuid", "A1"}}, "notImplemented"},
        // No back end answering, and an empty url (a bare path): no response.
        {kHistory, "requestHistory", {{"url", kUnreachable}, {"agentUuid", "A1"}}, "error", "No server response"},
        {kHistory, "requestHistory", {{"url", ""}, {"agentUuid", "A1"}}, "error", "No server response"},

        {kSettings, "requestDisassociateAgentUuid", {{"url", url}, {"agentUuid", "A1"}, {"lang", "de"}},
         "success", "true", "", Seen{"DELETE", list, "lang=de"}},
        // Never an error: false when nobody answered.
        {kSettings, "requestDisassociateAgentUuid", {{"url", kUnreachable}, {"agentUuid", "A1"}}, "success", "false"},
        {kSettings, "requestHistory", {{"url", url}, {"agentUuid", "A1"}}, "notImplemented"},
    });
    check(cases);
}

TEST_F(AgentChannelsTest, MonthlyAndNewsChannels) {
    const std::string monthlyType =
        "\"at.trevask.lumivex.shared.halvo.collector.api.v1.dto.agent.measurementdata.MeasurementsPerAgentByMonthRequest\"";
    std::vector<Case> cases = commonChecks(kMonthly, "requestMonthlyMeasurements", "agent_uuid", url);
    append(cases, commonChecks(kNews, "requestNews", nullptr, url));
    append(cases, {
        {kMonthly, "requestMonthlyMeasurements", {{"url", url}, {"agent_uuid", "A1"}, {"lang", "de"}}, "success", "",
         "",
         Seen{"POST", "/measurement-agents/A1/measurement-count", "lang=de",
              {{"/data/deserialize_type", monthlyType},
               {"/data/year", "-"},
               {"/data/month", "-"},
               {"/request_info/agent_uuid", "\"A1\""}}}},
        {kMonthly, "requestMonthlyMeasurements", {{"url", kUnreachable}, {"agent_uuid", "A1"}}, "error",
         "Failed to get server response"},
        {kMonthly, "requestHistory", {{"url", url}, {"agent_uuid", "A1"}}, "notImplemented"},

        {kNews, "requestNews",
         {{"url", url}, {"datetime", "2024-05-01T10:00"}, {"lang", "de"}, {"page", 1}, {"limit", 10}}, "success", "",
         "", Seen{"GET", "/news", "datetime=2024-05-01T10%3A00&lang=de&page=1&size=10"}},
        // No agent identity needed; a datetime of another kind is left out.
        {kNews, "requestNews", {{"url", url}, {"datetime", 5}}, "success", "", "", Seen{"GET", "/news", ""}},
        {kNews, "requestNews", {{"url", kUnreachable}}, "error", "No server response"},
        {kNews, "noSuchMethod", {{"url", url}}, "notImplemented"},
    });
    check(cases);
}

TEST_F(AgentChannelsTest, MapChannel) {
    const std::string markerType = "\"at.trevask.brisel.shared.map.MapMarkerRequest\"";
    const std::string coordinateType = "\"at.trevask.brisel.shared.map.MapCoordinate\"";
    const json::object point{{"url", url}, {"lat", 48.2}, {"lon", 16.37}, {"zoom", 12}, {"size", 20}};
    auto with = [&](const json::object& changes, const std::vector<std::string>& removed = {}) {
        json::object o = point;
        for (const auto& member : changes) o[member.key()] = member.value();
        for (const auto& k : removed) o.erase(k);
        return json::value(o);
    };
    std::vector<Case> cases = commonChecks(kMap, "getMarkers", nullptr, url);
    append(cases, {
        // One trailing "/" of the url is dropped for the options, only one.
        {kMap, "requestMapOptions", {{"url", url + "/"}, {"lang", "de"}}, "success", "", "",
         Seen{"GET", "/tiles/info", "lang=de"}},
        {kMap, "requestMapOptions", {{"url", url + "//"}}, "success", "", "", Seen{"GET", "//tiles/info", ""}},
        {kMap, "requestMapOptions", {{"url", url}}, "success", "", "", Seen{"GET", "/tiles/info", ""}},
        {kMap, "requestMapOptions", {{"url", kUnreachable + "/"}}, "error", "Failed to get server response"},
        // The markers' url is used as given.
        {kMap, "getMarkers",
         with({{"url", url + "/"},
               {"locale", "de"},
               {"filter", {{"b", "2"}, {"a", true}}},
               {"options", {{"x", "y"}}},
               {"lang", "en"}}),
         "success", "", "",
         Seen{"POST", "//tiles/markers", "lang=en",
              {{"/deserialize_type", markerType},
               {"/coords/deserialize_type", coordinateType},
               {"/coords/lat", "4.82E1"},
               {"/coords/lon", "1.637E1"},
               {"/coords/zoom", "12"},
               {"/coords/size", "20"},
               {"/coords/x", "-"},
               {"/locale", "\"de\""},
               {"/filter", "{\"b\":\"2\"}"},
               {"/options", "{\"x\":\"y\"}"},
               {"/request_info", "-"},
               {"/data", "-"}}}},
        {kMap, "getMarkers", with({{"filter", "not a map"}}), "success", "", "",
         Seen{"POST", "/tiles/markers", "", {{"/filter", "-"}, {"/options", "-"}, {"/locale", "-"}}}},
        // The marker values in their order, each of exactly its kind.
        {kMap, "getMarkers", with({{"lat", 48}}), "error", "No lat passed"},
        {kMap, "getMarkers", with(json::object{}, {"lat", "zoom"}), "error", "No lat passed"},
        {kMap, "getMarkers", with(json::object{}, {"lon"}), "error", "No lon passed"},
        {kMap, "getMarkers", with({{"zoom", 12.0}}), "error", "No zoom passed"},
        {kMap, "getMarkers", with({{"size", std::int64_t{1} << 40}}), "error", "No size passed"},
        {kMap, "getMarkers", with({{"url", kUnreachable}}), "error", "Failed to get server response"},
        {kMap, "noSuchMethod", {{"url", url}}, "notImplemented"},
    });
    check(cases);
}

TEST_F(AgentChannelsTest, CertifiedMeasurementChannel) {
    const std::string base = "/measurement-agents/A1";
    const std::string formType =
        "\"at.trevask.lumivex.shared.halvo.collector.api.v1.dto.certified.CertifiedMeasurementFormSubmitDto\"";
    const std::string initiationType =
        "\"at.trevask.lumivex.shared.halvo.collector.api.v1.dto.certified.CertifiedMeasurementInitiationDto\"";
    auto args = [&](const json::object& more) {
        json::object o{{"url", url}, {"agent_uuid", "A1"}};
        for (const auto& member : more) o[member.key()] = member.value();
        return json::value(o);
    };
    std::vector<Case> cases = commonChecks(kCertified, "getCertifiedMeasurementSettings", "agent_uuid", url);
    append(cases, {
        {kCertified, "getCertifiedMeasurementSettings", args({{"lang", "de"}}), "success", "", "",
         Seen{"GET", base + "/certified-measurement-settings", "lang=de"}},
        {kCertified, "createCertifiedMeasurement",
         args({{"form_values", R"({"name":"N","contract_dl_mbps":"10","contract_ul_mbps":5,"agent_uuid":"other"})"},
               {"lang", "de"}}),
         "success", "", "",
         Seen{"POST", base + "/certified-measurement", "lang=de",
              {{"/data/deserialize_type", formType},
               {"/data/name", "\"N\""},
               {"/data/contract_dl_mbps", "-"},
               {"/data/contract_ul_mbps", "5E0"},
               {"/data/agent_uuid", "\"A1\""},
               {"/request_info/language", "\"de\""}}}},
        {kCertified, "createCertifiedMeasurement", args({{"form_values", {{"name", "N"}}}}), "error",
         "NO_FORM_VALUES", "Failed to create certified measurement, missing form values"},
        {kCertified, "createCertifiedMeasurement", args(json::object{}), "error", "NO_FORM_VALUES",
         "Failed to create certified measurement, missing form values"},
        // Form values that are not a JSON object, or not JSON at all, are
        // refused with the failure's text and without a request.
        {kCertified, "createCertifiedMeasurement", args({{"form_values", "[1]"}}), "error", "not an object"},
        {kCertified, "canPerformCertifiedMeasurement", args({{"json", "{"}}), "error", "*"},
        {kCertified, "getCertifiedMeasurement", args(json::object{}), "success", "", "",
         Seen{"GET", base + "/certified-measurement", ""}},
        {kCertified, "canPerformCertifiedMeasurement",
         args({{"json", R"({"cpu_usage":0.5,"network_type":98,"app_version_code":1.5})"}}), "success", "", "",
         Seen{"POST", base + "/certified-measurement/measurements", "",
              {{"/data/deserialize_type", initiationType},
               {"/data/cpu_usage", "5E-1"},
               {"/data/network_type", "98"},
               {"/data/app_version_code", "-"}}}},
        {kCertified, "canPerformCertifiedMeasurement", args({{"form_values", "{}"}}), "error", "NO_JSON",
         "Failed to check if measurement can be performed, missing json"},
        {kCertified, "completeCertifiedMeasurement", args({{"sendComplaintToProvider", true}, {"lang", "de"}}),
         "success", "", "",
         Seen{"PUT", base + "/certified-measurement", "lang=de&send_complaint_to_provider=true",
              {{"/data/deserialize_type", "\"\""}, {"/request_info/agent_uuid", "\"A1\""}}}},
        {kCertified, "completeCertifiedMeasurement", args({{"sendComplaintToProvider", "true"}}), "success", "", "",
         Seen{"PUT", base + "/certified-measurement", "", {{"/data/deserialize_type", "\"\""}}}},
        {kCertified, "abortCertifiedMeasurement", args(json::object{}), "success", "", "",
         Seen{"DELETE", base + "/certified-measurement", ""}},
        {kCertified, "getCertifiedMeasurementHistory", args({{"page", 1}, {"limit", 5}}), "success", "", "",
         Seen{"GET", base + "/past-certified-measurements", "page=1&size=5"}},
        {kCertified, "getCertifiedMeasurementHistory", args(json::object{}), "success", "", "",
         Seen{"GET", base + "/past-certified-measurements", ""}},
        {kCertified, "sendComplaintToProvider", args(json::object{}), "notImplemented"},
        {kCertified, "getCertifiedMeasurement", json::object{{"url", kUnreachable}, {"agent_uuid", "A1"}}, "error",
         "No server response"},
    });
    check(cases);

}

}  // namespace
