// A full measurement through the measurement start of the agent API services,
// against the loopback back end (controller and collector) and QoS server.

#include "ScopedEnvironment.h"
#include "HttpTestServer.h"
#include "MeasurementTestSupport.h"
#include "SpeedServer.h"
#include "SpeedTestSupport.h"

#include "helper/ProbeHelper.h"
#include "helper/system/WindowsSystemHelper.h"
#include "model/AgentApiResponses.h"
#include "model/ProgramTaskConfiguration.h"
#include "model/result/ProgramTaskResults.h"
#include "model/StartMeasurementParameters.h"
#include "model/result/VelaTaskResult.h"
#include "service/MeasurementExecutorService.h"
#include "service/MeasurementExecutorSettings.h"
#include "service/VelaService.h"
#include "tasks/MeasurementCallbacks.h"

#include <filesystem>
#include <fstream>
#include <Poco/Logger.h>
#include <Poco/Channel.h>
#include <Poco/AutoPtr.h>
#include <Poco/Message.h>
#include <Poco/Base64Decoder.h>
#include <Poco/DigestEngine.h>
#include <Poco/SHA2Engine.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <latch>
#include <map>
#include <mutex>
#include <set>
#include <regex>
#include <sstream>

namespace json = boost::json;
using namespace trevask::measurement_library;
using lumivex::test::BackendServer;
using lumivex::test_peers::QosServer;
using measurement_test::controlDocument;
using measurement_test::DocumentSpec;
using trevask::measurement_sdk::VelaService;

namespace {

using Endpoint = BackendServer::Endpoint;

StartMeasurementParameters startParameters(const BackendServer& backend) {
    StartMeasurementParameters params;
    params.controllerUrl = backend.controllerUrl();
    params.performQos = true;
    params.performQosType = {{"TCP", true}};
    return params;
}

std::vector<std::string> keysOf(const json::object& object) {
    std::vector<std::string> keys;
    for (const auto& member : object) keys.emplace_back(member.key());
    return keys;
}

bool isReportTime(const json::value& value) {
    static const std::regex pattern(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d)");
    return value.is_string() && std::regex_match(std::string(value.get_string()), pattern);
}

std::string decodeBasic(const std::string& header) {
    if (header.rfind("Basic ", 0) != 0) return std::string();
    std::istringstream encoded(header.substr(6));
    Poco::Base64Decoder decoder(encoded);
    return std::string((std::istreambuf_iterator<char>(decoder)), std::istreambuf_iterator<char>());
}

// The control request the agent must send, written out key by key.
std::string expectedControlRequest(const std::string& agentUuid) {
    json::object info;
    info["agent_uuid"] = agentUuid;
    info["language"] = "en_US";
    info["timezone"] = "UTC";
    if (auto os = WindowsSystemHelper::getOsName()) info["os_name"] = *os;
    if (auto version = WindowsSystemHelper::getOsVersion()) info["os_version"] = *version;
    info["os_platform"] = "Linux";
    info["api_level"] = "v1";
    auto codeName = ProbeHelper::getCodeName();
    info["code_name"] = codeName && !codeName->empty() ? *codeName : "probe";
    auto model = WindowsSystemHelper::getModel();
    info["model"] = model && !model->empty() ? *model : "probe";
    info["boardid"] = ProbeHelper::getBoardId();
    info["agent_type"] = "DESKTOP";
    info["anonymous_mode"] = false;
    json::object capabilities{
        {"version", "1.0.0"},
        {"tag", json::array{}},
        {"tasks", json::array{json::object{{"name", "SPEED"}, {"version", "1.0.0"}},
                              json::object{{"name", "QOS"}, {"version", "1.0.0"}}}}};
    json::object document{{"capabilities", capabilities},
                          {"agent", json::object{{"agent-id", agentUuid}, {"group-id", "probe_runner"}}},
                          {"tasks", json::array{}},
                          {"events", json::array{}},
                          {"additional-request-info", info},
                          {"additional-response-info", json::object{}},
                          {"schedules", json::array{}}};
    return json::serialize(document);
}

class FullMeasurement : public testing::Test {
protected:
    void SetUp() override {
        backend.start();
        qos.start();
        backend.setAgentUuid(agentUuid);
        backend.setCollectorUuids("5f0c2a51-0000-4000-8000-00000000c0de", "7a1e0d47-0000-4000-8000-0000000da7a0");
    }

    DocumentSpec tcpAndEcho(std::string echoCommand = "echo") {
        DocumentSpec docShape;
        docShape.qosPort = qos.controlPort();
        docShape.tcp = {{"101", 1, qos.tcpTestPorts().at(0)}};
        docShape.programs = {{"PROGRAM_ECHO", echoCommand, "hello"}};
        docShape.collectorUrl = backend.collectorUrl();
        return docShape;
    }

    // The back end hands out the document; its reports go to the back end's
    // own collector.
    void serveDocument(DocumentSpec& docShape) {
        docShape.collectorUrl = backend.collectorUrl();
        backend.setControlDocument(controlDocument(docShape));
    }

    const std::string agentUuid = "0b7c5c8e-4a64-4f1c-9a0e-6d2b1c3e9f10";
    // Reports the collector refuses are kept below a folder of the test's own.
    std::string dataHome = [] {
        char pattern[] = "/tmp/lumivex-data-XXXXXX";
        const char* made = ::mkdtemp(pattern);
        return std::string(made != nullptr ? made : "/nonexistent");
    }();
    lumivex::test::ScopedEnvironment dataHomeVariable{"XDG_DATA_HOME", dataHome};
    BackendServer backend;
    QosServer qos;

    void TearDown() override { std::filesystem::remove_all(dataHome); }
};

}  // namespace

TEST_F(FullMeasurement, RegistersFetchesRunsReportsAndHandsBackTheCollectorUuids) {
    DocumentSpec docShape = tcpAndEcho("sleep 1.2; echo");
    docShape.speed = true;
    backend.setControlDocument(controlDocument(docShape));

    std::vector<trevask::vela::IntermediateMeasurementCallback> announcements;
    auto previous = trevask::vela::intermediateMeasurementCallback.get();
    trevask::vela::intermediateMeasurementCallback =
        [&](const trevask::vela::IntermediateMeasurementCallback& r) { announcements.push_back(r); };

    const std::size_t threadsBefore = measurement_test::threadCount();
    auto answer = VelaService().startMeasurement(startParameters(backend));
    trevask::vela::intermediateMeasurementCallback = previous;

    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer->uuid, "5f0c2a51-0000-4000-8000-00000000c0de");
    EXPECT_EQ(answer->open_data_uuid, "7a1e0d47-0000-4000-8000-0000000da7a0");
    EXPECT_LE(measurement_test::settledThreadCount(threadsBefore, std::chrono::milliseconds(2000)), threadsBefore);

    // The speed test is announced before it runs; without a server address
    // it fails before it reports any progress.
    ASSERT_EQ(announcements.size(), 1u);
    EXPECT_EQ(announcements[0].currentPhase, "info");
    EXPECT_EQ(announcements[0].serverName, "Vienna 1");
    EXPECT_EQ(announcements[0].providerName, "Loopback Networks");
    EXPECT_EQ(announcements[0].agentPublicIp, "192.0.2.7");

    // Registration, control document, report: in this order, each once.
    const auto seen = backend.requests();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(backend.classify(seen[0]), Endpoint::Registration);
    EXPECT_EQ(backend.classify(seen[1]), Endpoint::Control);
    EXPECT_EQ(backend.classify(seen[2]), Endpoint::Collector);
    EXPECT_EQ(seen[0].target, backend.controllerUrl() + "/api/v1/measurement-agents");
    EXPECT_EQ(seen[1].target, backend.controllerUrl() + "/api/v1/measurements");
    EXPECT_EQ(seen[2].target, backend.collectorUrl());
    EXPECT_FALSE(seen[0].header("Authorization"));

    const json::object registration = json::parse(seen[0].body).as_object();
    EXPECT_EQ(keysOf(registration), (std::vector<std::string>{"data", "request_info"}));
    EXPECT_EQ(json::serialize(registration.at("data")),
              R"({"deserialize_type":"at.trevask.lumivex.shared.halvo.collector.api.v1.dto.agent.registration.)"
              R"(RegistrationRequest","terms_and_conditions_accepted":true,"terms_and_conditions_accepted_version":1})");
    EXPECT_FALSE(registration.at("request_info").as_object().contains("agent_uuid"));

    EXPECT_EQ(seen[1].body, expectedControlRequest(agentUuid));

    // The report.
    const json::object report = json::parse(seen[2].body).as_object();
    EXPECT_EQ(keysOf(report), (std::vector<std::string>{"date", "local_time", "agent-id", "group-id",
                                                         "measurement-point", "result", "additional_request_info",
                                                         "time_based_result"}));
    EXPECT_TRUE(isReportTime(report.at("date")));
    EXPECT_TRUE(isReportTime(report.at("local_time")));
    EXPECT_EQ(report.at("agent-id"), json::value(agentUuid));
    EXPECT_EQ(report.at("group-id"), "");
    const auto& info = report.at("additional_request_info").as_object();
    EXPECT_EQ(info.at("agent_uuid"), json::value(agentUuid));
    EXPECT_EQ(info.at("agent_type"), "DESKTOP");
    EXPECT_EQ(info.at("anonymous_mode"), false);

    const auto& entries = report.at("result").as_array();
    ASSERT_EQ(entries.size(), 3u);  // the program (group 0), the speed test (50), then the QoS tests
    for (const auto& entry : entries) {
        EXPECT_EQ(keysOf(entry.as_object()), (std::vector<std::string>{"option", "extra_data", "tag", "results"}));
        EXPECT_TRUE(entry.at("extra_data").is_null());
        ASSERT_EQ(entry.at("results").as_array().size(), 1u);
    }
    const auto& program = entries[0].at("results").at(0).as_object();
    EXPECT_EQ(program.at("deserialize_type"), "program_task_result");
    EXPECT_EQ(program.at("status"), "FINISHED");
    const auto& programResult = program.at("result").as_object();
    EXPECT_EQ(programResult.at("task_name"), "PROGRAM_ECHO");
    EXPECT_EQ(programResult.at("result"), "OK");
    EXPECT_EQ(programResult.at("output"), "hello\n");
    EXPECT_EQ(programResult.at("status"), "OK");
    EXPECT_EQ(program.at("relative_end_time_ns").to_number<std::uint64_t>() -
                  program.at("relative_start_time_ns").to_number<std::uint64_t>(),
              programResult.at("duration_ns").to_number<std::uint64_t>());

    // The failed speed test is reported without figures.
    const auto& speedEntry = entries[1].at("results").at(0).as_object();
    EXPECT_EQ(speedEntry.at("deserialize_type"), "speed_result");
    EXPECT_FALSE(speedEntry.contains("bytes_download"));
    EXPECT_TRUE(speedEntry.at("rtt_tcp_info").is_null());

    const auto& qosEntry = entries[2].at("results").at(0).as_object();
    EXPECT_EQ(qosEntry.at("deserialize_type"), "qos_result");
    EXPECT_EQ(qosEntry.at("status"), "FINISHED");
    const auto& tcp = qosEntry.at("results").as_array();
    ASSERT_EQ(tcp.size(), 1u);
    EXPECT_EQ(tcp[0].at("objective_task_type"), "TCP");
    EXPECT_EQ(tcp[0].at("qos_test_uid"), "101");
    EXPECT_EQ(tcp[0].at("objective_concurrency_group"), 201);
    EXPECT_EQ(tcp[0].at("status"), "OK");
    EXPECT_EQ(tcp[0].at("tcp_result_out"), "OK");
    EXPECT_EQ(qosEntry.at("relative_start_time_ns"), tcp[0].at("start_time_ns"));

    const auto& timeBased = report.at("time_based_result").as_object();
    EXPECT_TRUE(isReportTime(timeBased.at("start_time")));
    EXPECT_TRUE(isReportTime(timeBased.at("end_time")));
    const auto duration = timeBased.at("duration_ns").to_number<std::int64_t>();
    EXPECT_GE(duration, 1'200'000'000);
    for (const char* key : {"cpu_usage", "mem_usage"}) {
        const auto& samples = timeBased.at(key).as_array();
        EXPECT_FALSE(samples.empty()) << key;
        for (const auto& sample : samples) {
            const auto at = sample.at("relative_time_ns").to_number<std::int64_t>();
            EXPECT_GE(at, 0) << key;
            EXPECT_LE(at, duration) << key;
            const double value = sample.at("value").to_number<double>();
            EXPECT_GE(value, 0.0);
            EXPECT_LE(value, 1.0);
        }
    }
    const auto& points = timeBased.at("network_points_in_time").as_array();
    ASSERT_EQ(points.size(), 1u);
    EXPECT_EQ(points[0].at("time"), timeBased.at("start_time"));
    const auto type = points[0].at("network_type_id").to_number<int>();
    EXPECT_TRUE(type == 95 || type == 98 || type == 99) << type;
    EXPECT_FALSE(timeBased.contains("geo_locations"));

    // The QoS server ran the TCP test.
    bool tcpTest = false;
    for (const auto& line : qos.controlLines()) tcpTest |= line.rfind("TCPTEST OUT", 0) == 0;
    EXPECT_TRUE(tcpTest);
}

TEST_F(FullMeasurement, RefusalsAndAnUnreachableController) {
    struct Case {
        const char* name;
        std::function<void(BackendServer&)> prepare;
        std::string refusal;
        std::size_t controlRequests;
    };
    const Case cases[] = {
        {"document without tasks", [](BackendServer& b) { b.setControlDocument("{}"); },
         "No valid tasks found. No measurements executed", 1},
        {"control answer not JSON",
         [](BackendServer& b) { b.misbehave(Endpoint::Control, BackendServer::Misbehaviour::NonJson); },
         "No valid tasks found. No measurements executed", 1},
        {"control connection closed",
         [](BackendServer& b) { b.misbehave(Endpoint::Control, BackendServer::Misbehaviour::Close); },
         "No lmap control dto loaded. Refusing measurement execution", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        BackendServer peer;
        peer.start();
        c.prepare(peer);
        auto params = startParameters(peer);
        // Through the measurement start: no answer, nothing reported.
        EXPECT_EQ(VelaService().startMeasurement(params), nullptr);
        EXPECT_EQ(peer.count(Endpoint::Collector), 0u);
        EXPECT_EQ(peer.count(Endpoint::Control), c.controlRequests);
        // The executor's own refusal text.
        auto settings = VelaService::buildExecutorSettings(params);
        try {
            MeasurementExecutorService::getInstance().executeFullMeasurement(settings.get(), true, true, true);
            ADD_FAILURE() << "no refusal";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), c.refusal);
        }
    }

    // A controller that closes every connection at once.
    BackendServer refusing;
    refusing.start();
    refusing.refuseConnections(true);
    EXPECT_EQ(VelaService().startMeasurement(startParameters(refusing)), nullptr);
    EXPECT_EQ(refusing.requests().size(), 0u);

    // A controller that is not there: every request fails at once.
    BackendServer gone;
    gone.start();
    auto params = startParameters(gone);
    gone.stop();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(VelaService().startMeasurement(params), nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_EQ(backend.requests().size(), 0u);
}

TEST_F(FullMeasurement, BaseUrlRulesOfTheControllerAddress) {
    DocumentSpec docShape;
    docShape.programs = {{"PROGRAM_ECHO", "echo", "x"}};
    serveDocument(docShape);
    const struct {
        std::string suffix;
        std::string base;
    } cases[] = {
        {"", "/api/v1/"},
        {"/", "//api/v1/"},
        {"/api/v2", "/api/v2/"},
        {"/api/v1/", "/api/v1/"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.suffix);
        backend.clearRequests();
        auto params = startParameters(backend);
        params.controllerUrl = backend.controllerUrl() + c.suffix;
        ASSERT_NE(VelaService().startMeasurement(params), nullptr);
        const auto seen = backend.requests();
        ASSERT_EQ(seen.size(), 3u);
        EXPECT_EQ(seen[0].target, backend.controllerUrl() + c.base + "measurement-agents");
        EXPECT_EQ(seen[1].target, backend.controllerUrl() + c.base + "measurements");
        EXPECT_EQ(seen[2].target, backend.collectorUrl());
    }
}

TEST_F(FullMeasurement, OverrideCollectorAndBoardIdCredentials) {
    BackendServer other;
    other.start();
    other.setCollectorUuids("0ver0000-0000-4000-8000-000000000001", "0ver0000-0000-4000-8000-000000000002");
    DocumentSpec docShape;
    docShape.programs = {{"PROGRAM_ECHO", "echo", "x"}};
    serveDocument(docShape);

    auto params = startParameters(backend);
    params.overrideCollectorUrl = other.collectorUrl();
    GeoLocation where;
    where.latitude = 48.2;
    where.longitude = 16.37;
    params.initialGeoLocation = where;
    auto answer = VelaService().startMeasurement(params);
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer->uuid, "0ver0000-0000-4000-8000-000000000001");
    EXPECT_EQ(backend.count(Endpoint::Collector), 0u);
    ASSERT_EQ(other.count(Endpoint::Collector), 1u);
    const auto overridden = json::parse(other.requests(Endpoint::Collector)[0].body);
    const auto& locations = overridden.at("time_based_result").at("geo_locations").as_array();
    ASSERT_EQ(locations.size(), 1u);
    EXPECT_EQ(locations[0].at("latitude"), 48.2);
    EXPECT_EQ(locations[0].at("longitude"), 16.37);

    // Board-id credentials: on every request to controller and collector
    // when switched on, on none when off.
    Poco::SHA2Engine sha(Poco::SHA2Engine::SHA_512);
    sha.update(ProbeHelper::getBoardId());
    const std::string expected = ProbeHelper::getBoardId() + ":" + Poco::DigestEngine::digestToHex(sha.digest());
    for (bool credentials : {true, false}) {
        SCOPED_TRACE(credentials);
        backend.clearRequests();
        auto settings = VelaService::buildExecutorSettings(startParameters(backend));
        settings->useBoardIdAuth = credentials;
        settings->resultTag = credentials ? "tagged" : "";
        settings->logResult = credentials;
        ASSERT_NE(MeasurementExecutorService::getInstance().executeFullMeasurement(settings.get(), true, true, true),
                  nullptr);
        const auto seen = backend.requests();
        ASSERT_EQ(seen.size(), 3u);
        const auto report = json::parse(seen[2].body);
        EXPECT_EQ(json::serialize(report.at("result").at(0).at("tag")), credentials ? R"(["tagged"])" : "[]");
        for (const auto& request : seen) {
            const auto header = request.header("Authorization");
            if (credentials) {
                ASSERT_TRUE(header) << request.target;
                EXPECT_EQ(decodeBasic(*header), expected);
            } else {
                EXPECT_FALSE(header) << request.target;
            }
        }
    }
}

TEST_F(FullMeasurement, KnownAgentAndCollectorAnswers) {
    DocumentSpec docShape;
    docShape.programs = {{"PROGRAM_ECHO", "echo", "x"}};
    serveDocument(docShape);

    using M = BackendServer::Misbehaviour;
    const struct {
        const char* name;
        std::optional<M> collector;
        bool answered;
    } cases[] = {
        {"normal", std::nullopt, true},
        // An error status is a refusal, whatever the body says.
        {"500 with data", M::ServerError, false},
        {"500 without data", M::ServerErrorNoData, false},
        {"not JSON", M::NonJson, false},
        {"empty body", M::EmptyBody, false},
        {"connection closed", M::Close, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        backend.clearRequests();
        backend.misbehave(Endpoint::Collector, c.collector.value_or(M::None));
        auto params = startParameters(backend);
        params.agentUuid = "given-agent-uuid";
        VelaService service;
        auto answer = service.startMeasurement(params);
        EXPECT_EQ(answer != nullptr, c.answered);
        if (answer) {
            EXPECT_EQ(answer->uuid, "5f0c2a51-0000-4000-8000-00000000c0de");
            EXPECT_EQ(service.lastFailure(), "");
        }
        // A known agent does not register again.
        EXPECT_EQ(backend.count(Endpoint::Registration), 0u);
        ASSERT_EQ(backend.count(Endpoint::Collector), 1u);
        if (!answer) {
            // Not accepted: the failure says so, and the report is kept whole.
            EXPECT_NE(service.lastFailure().find("the report was not accepted by the collector"), std::string::npos)
                << service.lastFailure();
            EXPECT_NE(service.lastFailure().find("the report was kept in " + service.keptReportPath()),
                      std::string::npos);
            ASSERT_EQ(service.keptReportPath().rfind(dataHome + "/lumivex/undelivered-reports/", 0), 0u);
            std::ifstream kept(service.keptReportPath(), std::ios::binary);
            const std::string text((std::istreambuf_iterator<char>(kept)), std::istreambuf_iterator<char>());
            EXPECT_EQ(text, backend.requests(Endpoint::Collector).at(0).body);
        }
        const auto report = json::parse(backend.requests(Endpoint::Collector).at(0).body);
        EXPECT_EQ(report.at("agent-id"), "given-agent-uuid");
    }
}

namespace {

// Keeps the texts of the messages logged to one logger.
class LoggedTexts : public Poco::Channel {
public:
    void log(const Poco::Message& message) override {
        std::lock_guard lock(mutex);
        texts.push_back(message.getText());
    }
    std::vector<std::string> all() {
        std::lock_guard lock(mutex);
        return texts;
    }

private:
    std::mutex mutex;
    std::vector<std::string> texts;
};

}  // namespace

// The report is logged as "Sending result: " and the very text the
// collector receives.
TEST_F(FullMeasurement, TheLoggedReportIsTheOneTheCollectorReceived) {
    DocumentSpec docShape;
    docShape.programs = {{"PROGRAM_ECHO", "echo", "x"}};
    serveDocument(docShape);
    Poco::Logger& logger = Poco::Logger::get("MeasurementExecutorService");
    Poco::AutoPtr<Poco::Channel> previousChannel(logger.getChannel(), true);
    const int previousLevel = logger.getLevel();
    Poco::AutoPtr<LoggedTexts> captured(new LoggedTexts);
    logger.setChannel(captured);
    logger.setLevel(Poco::Message::PRIO_INFORMATION);

    auto params = startParameters(backend);
    params.agentUuid = "given-agent-uuid";
    auto answer = VelaService().startMeasurement(params);
    logger.setChannel(previousChannel);
    logger.setLevel(previousLevel);

    ASSERT_NE(answer, nullptr);
    ASSERT_EQ(backend.count(Endpoint::Collector), 1u);
    std::vector<std::string> sent;
    for (const auto& text : captured->all()) {
        if (text.rfind("Sending result: ", 0) == 0) sent.push_back(text.substr(16));
    }
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], backend.requests(Endpoint::Collector).at(0).body);
}

// The agent UUID reaches the report builder even when the registration
// failed and left it empty: the results are still reported.
TEST_F(FullMeasurement, FailedRegistrationStillReportsTheResults) {
    backend.setControlDocument(controlDocument(tcpAndEcho()));
    backend.misbehave(Endpoint::Registration, BackendServer::Misbehaviour::Close);
    const std::size_t threadsBefore = measurement_test::threadCount();
    auto answer = VelaService().startMeasurement(startParameters(backend));
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer->uuid, "5f0c2a51-0000-4000-8000-00000000c0de");
    EXPECT_LE(measurement_test::settledThreadCount(threadsBefore, std::chrono::milliseconds(2000)), threadsBefore);
    // The tasks ran: the QoS server saw the TCP test.
    EXPECT_GE(qos.controlConnections(), 1);
    EXPECT_EQ(backend.count(Endpoint::Registration), 1u);
    EXPECT_EQ(backend.count(Endpoint::Control), 1u);
    ASSERT_EQ(backend.count(Endpoint::Collector), 1u);
    const auto report = json::parse(backend.requests(Endpoint::Collector).at(0).body);
    EXPECT_EQ(report.at("agent-id"), "");
    EXPECT_EQ(report.at("additional_request_info").at("agent_uuid"), "");
    ASSERT_EQ(report.at("result").as_array().size(), 2u);  // the program and the QoS test
    EXPECT_FALSE(MeasurementExecutorService::isRunning());
}

TEST_F(FullMeasurement, OnlyOneOfConcurrentRunsIsAccepted) {
    DocumentSpec docShape;
    docShape.programs = {{"PROGRAM_WAIT", "sleep 0.3; echo", "done"}};
    serveDocument(docShape);
    auto params = startParameters(backend);
    params.agentUuid = agentUuid;
    auto settings = VelaService::buildExecutorSettings(params);
    auto& executor = MeasurementExecutorService::getInstance();
    executor.configure(settings.get());
    executor.loadLmapControlDto(settings.get(), true, true);
    const auto configurations = executor.parseIntoTaskConfiguration(settings->lmapControlDto.get());
    ASSERT_EQ(configurations.size(), 1u);

    const std::size_t threadsBefore = measurement_test::threadCount();
    constexpr int kCallers = 4;
    std::latch ready(kCallers);
    std::vector<std::unique_ptr<MeasurementResultResponse>> answers(kCallers);
    std::vector<std::thread> callers;
    for (int i = 0; i < kCallers; ++i) {
        callers.emplace_back([&, i] {
            ready.arrive_and_wait();
            answers[i] = executor.executeMeasurements(settings.get(), configurations, settings->collectorUrl,
                                                      R"({"run":"extra"})");
        });
    }
    for (auto& caller : callers) caller.join();
    int accepted = 0;
    for (const auto& answer : answers) accepted += answer != nullptr;
    EXPECT_EQ(accepted, 1);
    ASSERT_EQ(backend.count(Endpoint::Collector), 1u);
    EXPECT_FALSE(MeasurementExecutorService::isRunning());
    EXPECT_LE(measurement_test::settledThreadCount(threadsBefore, std::chrono::milliseconds(2000)), threadsBefore);
    const auto report = json::parse(backend.requests(Endpoint::Collector)[0].body);
    EXPECT_EQ(json::serialize(report.at("result").at(0).at("extra_data")), R"({"run":"extra"})");
}

TEST_F(FullMeasurement, ProgressCountsDeliveredResultsOverPlannedConfigurations) {
    DocumentSpec docShape;
    docShape.speed = true;  // fails at once (no server address), and still delivers its result
    docShape.programs = {{"PROGRAM_ONE", "echo", "1"}, {"PROGRAM_TWO", "echo", "2"}};
    serveDocument(docShape);
    std::vector<float> progress;
    std::vector<std::size_t> delivered;
    auto& executor = MeasurementExecutorService::getInstance();
    executor.progressCallback = [&](MeasurementProgress& p) {
        progress.push_back(p.progress);
        delivered.push_back(p.results.size());
    };
    auto answer = VelaService().startMeasurement(startParameters(backend));
    executor.progressCallback = nullptr;
    ASSERT_NE(answer, nullptr);
    ASSERT_EQ(progress.size(), 3u);
    EXPECT_FLOAT_EQ(progress[0], 1.0f / 3);
    EXPECT_FLOAT_EQ(progress[1], 2.0f / 3);
    EXPECT_FLOAT_EQ(progress[2], 1.0f);
    EXPECT_EQ(delivered, (std::vector<std::size_t>{1, 2, 3}));
}

namespace {

// What the executor's progress handler saw of each delivered result.
struct DeliveredResult {
    std::string type;
    std::string status;
    std::string uid;
    bool speed = false;
};

struct ProgressLog {
    ProgressLog() {
        MeasurementExecutorService::getInstance().progressCallback = [this](MeasurementProgress& p) {
            std::lock_guard lock(mutex);
            progress.push_back(p.progress);
            const TaskResult* last = p.results.back();
            delivered.push_back({last->objective_task_type, last->status, last->qos_test_uid,
                                 dynamic_cast<const VelaTaskResult*>(last) != nullptr});
        };
    }
    ~ProgressLog() { MeasurementExecutorService::getInstance().progressCallback = nullptr; }
    std::mutex mutex;
    std::vector<float> progress;
    std::vector<DeliveredResult> delivered;
};

struct QosProgressLog {
    QosProgressLog() {
        trevask::vela::qosProgressCallback = [this](std::shared_ptr<trevask::vela::QosProgressUpdate> u) {
            std::lock_guard lock(mutex);
            updates.push_back(*u);
        };
    }
    std::mutex mutex;
    std::vector<trevask::vela::QosProgressUpdate> updates;
    speed_test_support::SlotGuard<decltype(trevask::vela::qosProgressCallback)> guard{
        trevask::vela::qosProgressCallback};
};

std::uint64_t u64(const json::value& v) { return v.to_number<std::uint64_t>(); }

// The speed sub-result of a report that ran one speed test against the
// loopback measurement server with the short preset.
void expectMeasuredSpeedResult(const json::object& speed, bool tls) {
    EXPECT_EQ(speed.at("deserialize_type"), "speed_result");
    EXPECT_EQ(speed.at("status"), "FINISHED");
    EXPECT_EQ(u64(speed.at("relative_start_time_ns")), 0u);

    // Download and upload figures.
    for (const char* key : {"bytes_download", "bytes_upload", "duration_download_ns", "duration_upload_ns",
                            "relative_start_time_download_ns", "relative_start_time_upload_ns", "duration_rtt_ns",
                            "duration_rtt_tcp_ns"}) {
        ASSERT_TRUE(speed.contains(key)) << key;
        EXPECT_GT(u64(speed.at(key)), 0u) << key;
    }
    EXPECT_EQ(u64(speed.at("relative_end_time_ns")),
              u64(speed.at("relative_start_time_upload_ns")) + u64(speed.at("duration_upload_ns")));
    EXPECT_GT(u64(speed.at("relative_start_time_upload_ns")), u64(speed.at("relative_start_time_download_ns")));

    // Raw data: samples of each connection, bytes growing.
    for (const char* key : {"download_raw_data", "upload_raw_data"}) {
        const auto& raw = speed.at(key).as_array();
        ASSERT_FALSE(raw.empty()) << key;
        std::map<std::int64_t, std::uint64_t> lastBytes;
        for (const auto& item : raw) {
            const auto stream = item.at("stream_id").to_number<std::int64_t>();
            EXPECT_GE(stream, 0) << key;
            EXPECT_LT(stream, 2) << key;  // two connections with the short preset
            const auto bytes = u64(item.at("bytes"));
            EXPECT_GE(bytes, lastBytes[stream]) << key;
            lastBytes[stream] = bytes;
            EXPECT_EQ(u64(item.at("bytes_including_slow_start")), 0u);
        }
    }

    // Round-trip statistics: 3 TCP pings, 10 UDP pings.
    const auto& tcp = speed.at("rtt_tcp_info").as_object();
    EXPECT_EQ(u64(tcp.at("requested_num_packets")), 3u);
    EXPECT_EQ(tcp.at("num_sent").to_number<int>(), 3);
    EXPECT_EQ(tcp.at("num_received").to_number<int>(), 3);
    EXPECT_EQ(tcp.at("rtts").as_array().size(), 3u);
    EXPECT_GT(u64(tcp.at("average_ns")), 0u);
    EXPECT_GE(u64(tcp.at("max_ns")), u64(tcp.at("min_ns")));
    const auto& udp = speed.at("rtt_info").as_object();
    EXPECT_EQ(u64(udp.at("requested_num_packets")), 10u);
    const auto& udpSamples = udp.at("rtts").as_array();
    EXPECT_FALSE(udpSamples.empty());
    EXPECT_EQ(udp.at("num_received").to_number<int>() + udp.at("num_missing").to_number<int>(),
              static_cast<int>(udpSamples.size()));
    EXPECT_TRUE(udp.contains("packet_loss"));

    // Connection facts and the interface traffic of the speed test: at least
    // the test's own bytes and 4 %.
    const auto& connection = speed.at("connection_info").as_object();
    EXPECT_EQ(connection.at("address"), "127.0.0.1");
    EXPECT_EQ(connection.at("encrypted"), tls);
    EXPECT_EQ(connection.at("requested_num_streams_download"), 4);
    EXPECT_FALSE(connection.at("download_stream_info").as_array().empty());
    EXPECT_FALSE(connection.at("upload_stream_info").as_array().empty());
    EXPECT_FALSE(connection.at("rtt_stream_info").as_array().empty());
    const auto& downloadTraffic = connection.at("agent_interface_download_measurement_traffic");
    const auto& uploadTraffic = connection.at("agent_interface_upload_measurement_traffic");
    const auto& totalTraffic = connection.at("agent_interface_total_traffic");
    const auto atLeast = [](std::uint64_t bytes) {
        return static_cast<std::uint64_t>(static_cast<double>(bytes) * 1.04);
    };
    EXPECT_GE(u64(downloadTraffic.at("bytes_rx")), atLeast(u64(speed.at("bytes_download"))));
    EXPECT_GE(u64(uploadTraffic.at("bytes_tx")), atLeast(u64(speed.at("bytes_upload"))));
    EXPECT_GE(u64(totalTraffic.at("bytes_rx")), u64(downloadTraffic.at("bytes_rx")));
    EXPECT_GE(u64(totalTraffic.at("bytes_tx")), u64(uploadTraffic.at("bytes_tx")));
}

class FullMeasurementWithSpeedTest : public FullMeasurement {
protected:
    void SetUp() override {
        FullMeasurement::SetUp();
        speed_server::Options options;
        options.secret_key = speed_test_support::kSecret;
        speedServer = std::make_unique<speed_server::SpeedServer>(options);
        speedServer->start();
    }

    measurement_test::SpeedSpec speedSpec(bool tls) const {
        measurement_test::SpeedSpec server;
        server.serverName = "Loopback 1";
        server.host = "127.0.0.1";
        server.port = std::to_string(speedServer->tcp_port());
        server.udpPort = std::to_string(speedServer->udp_port());
        server.encryption = tls ? "true" : "false";
        server.token = speed_test_support::validToken();
        return server;
    }

    speed_test_support::ShortSpeedTests shortSpeedTests;
    std::unique_ptr<speed_server::SpeedServer> speedServer;
};

}  // namespace

// One speed test and the QoS battery: one report with the speed sub-result
// and every QoS result, the QoS progress without the speed test, and the
// measurement progress up to 1.
TEST_F(FullMeasurementWithSpeedTest, SpeedTestAndQosBatteryInOneReport) {
    lumivex::test::HttpTestServer http;
    http.start();
    http.on("GET", "/object", lumivex::test::ScriptedReply::text(200, "payload"));
    const auto tcpPorts = qos.tcpTestPorts();
    const auto udpPorts = qos.udpTestPorts();
    DocumentSpec docShape;
    docShape.speed = true;
    docShape.speedOptions = speedSpec(true);
    docShape.qosPort = qos.controlPort();
    docShape.tcp = {{"101", 1, tcpPorts.at(0)}};
    docShape.objectives = {
        // Objective ids are signed. (A task that talks over the control
        // connection cannot carry a negative id: replies are matched by the
        // digits after "+ID".)
        {"HTTP_PROXY", json::object{{"qostest", "HTTP_PROXY"}, {"qos_test_uid", "-5"}, {"concurrency_group", 6},
                                    {"timeout", "3000000000"}, {"url", http.baseUrl() + "/object"}}},
        {"UDP", json::object{{"qostest", "UDP"}, {"qos_test_uid", "102"}, {"concurrency_group", 2},
                             {"timeout", "3000000000"}, {"out_port", std::to_string(udpPorts.at(0))},
                             {"out_num_packets", "3"}, {"delay", "5000000"}}},
        {"NON_TRANSPARENT_PROXY",
         json::object{{"qostest", "NON_TRANSPARENT_PROXY"}, {"qos_test_uid", "103"}, {"concurrency_group", 3},
                      {"timeout", "3000000000"}, {"port", std::to_string(tcpPorts.at(0))},
                      {"request", "HELLO proxy"}}},
        {"SIP", json::object{{"qostest", "SIP"}, {"qos_test_uid", "104"}, {"concurrency_group", 4},
                             {"timeout", "3000000000"}, {"port", std::to_string(tcpPorts.at(1))}, {"count", "1"},
                             {"from", "a"}, {"to", "b"}, {"via", ""}, {"call_duration", "10000000"}}},
        {"VOIP", json::object{{"qostest", "VOIP"}, {"qos_test_uid", "105"}, {"concurrency_group", 5},
                              {"timeout", "3000000000"}, {"out_port", std::to_string(udpPorts.at(1))},
                              {"call_duration", "200000000"}}},
    };
    serveDocument(docShape);

    speed_test_support::IntermediateLog intermediate;
    speed_test_support::ErrorLog errors;
    QosProgressLog qosProgress;
    ProgressLog progress;
    auto params = startParameters(backend);
    params.performQosType = {{"TCP", true},  {"UDP", true},  {"NON_TRANSPARENT_PROXY", true},
                             {"SIP", true},  {"VOIP", true}, {"HTTP_PROXY", true}};
    const std::size_t threadsBefore = measurement_test::threadCount();
    auto answer = VelaService().startMeasurement(params);

    // The UI's answer is the collector's.
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer->uuid, "5f0c2a51-0000-4000-8000-00000000c0de");
    EXPECT_EQ(answer->open_data_uuid, "7a1e0d47-0000-4000-8000-0000000da7a0");
    EXPECT_TRUE(errors.snapshot().empty());
    EXPECT_LE(measurement_test::settledThreadCount(threadsBefore, std::chrono::milliseconds(3000)), threadsBefore);

    ASSERT_EQ(backend.count(Endpoint::Collector), 1u);
    const json::object report = json::parse(backend.requests(Endpoint::Collector).at(0).body).as_object();
    const auto& entries = report.at("result").as_array();
    ASSERT_EQ(entries.size(), 2u);  // the speed test, then the QoS tests
    ASSERT_EQ(entries[0].at("results").as_array().size(), 1u);
    {
        SCOPED_TRACE("speed sub-result");
        const auto& speed = entries[0].at("results").at(0).as_object();
        expectMeasuredSpeedResult(speed, true);
        EXPECT_EQ(speed.at("connection_info").at("port"), speedServer->tcp_port());
    }
    const auto& qosEntry = entries[1].at("results").at(0).as_object();
    EXPECT_EQ(qosEntry.at("deserialize_type"), "qos_result");
    std::map<std::string, json::object> byType;
    for (const auto& result : qosEntry.at("results").as_array()) {
        byType[std::string(result.at("objective_task_type").as_string())] = result.as_object();
    }
    ASSERT_EQ(byType.size(), 6u);
    for (const auto& [type, result] : byType) {
        SCOPED_TRACE(type);
        EXPECT_EQ(result.at("status"), "OK");
    }
    EXPECT_EQ(byType["HTTP_PROXY"].at("objective_id"), -5);
    EXPECT_EQ(byType["HTTP_PROXY"].at("qos_test_uid"), "-5");
    EXPECT_EQ(byType["HTTP_PROXY"].at("http_result_status"), "200");
    EXPECT_EQ(byType["TCP"].at("objective_id"), 101);
    EXPECT_EQ(byType["UDP"].at("objective_id"), 102);

    // The speed test ran before the QoS tests, and the measurement progress
    // counted every planned configuration up to 1.
    {
        std::lock_guard lock(progress.mutex);
        ASSERT_EQ(progress.delivered.size(), 7u);
        EXPECT_TRUE(progress.delivered[0].speed);
        EXPECT_EQ(progress.delivered[0].type, "NATIVE_VELA");
        EXPECT_EQ(progress.delivered[0].status, "OK");
        for (std::size_t i = 0; i < progress.progress.size(); ++i) {
            EXPECT_FLOAT_EQ(progress.progress[i], static_cast<float>(i + 1) / 7.0f);
        }
        EXPECT_FLOAT_EQ(progress.progress.back(), 1.0f);
    }

    // QoS progress knows nothing of the speed test and ends at 1.
    {
        std::lock_guard lock(qosProgress.mutex);
        ASSERT_FALSE(qosProgress.updates.empty());
        const auto& last = qosProgress.updates.back();
        EXPECT_DOUBLE_EQ(last.progress, 1.0);
        EXPECT_EQ(last.started_qos_types.size(), 6u);
        for (const auto& update : qosProgress.updates) {
            for (const auto& type : update.started_qos_types) {
                EXPECT_NE(type, "NATIVE_VELA");
                EXPECT_NE(type, "VELA");
            }
        }
    }

    // The UI saw the announcement and then every phase of the speed test.
    std::set<std::string> phases;
    for (const auto& record : intermediate.snapshot()) phases.insert(record.currentPhase);
    EXPECT_EQ(phases, (std::set<std::string>{"info", "init", "rtt", "download", "upload"}));

    // The measurement server saw the token it accepts, over TLS.
    EXPECT_EQ(speedServer->stats().tokens_rejected, 0u);
}

// A speed-only measurement: the report holds the speed result alone, the UI
// sees the phases as the task maps them, and a port beyond 16 bits reaches
// the client as its low 16 bits while the report keeps the configured port.
TEST_F(FullMeasurementWithSpeedTest, SpeedOnlyMeasurementAndItsProgress) {
    DocumentSpec docShape;
    docShape.speed = true;
    docShape.speedOptions = speedSpec(false);
    const std::uint32_t configuredPort = 65536u + speedServer->tcp_port();
    docShape.speedOptions.port = std::to_string(configuredPort);
    serveDocument(docShape);

    speed_test_support::IntermediateLog intermediate;
    speed_test_support::ErrorLog errors;
    QosProgressLog qosProgress;
    ProgressLog progress;
    auto answer = VelaService().startMeasurement(startParameters(backend));
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer->uuid, "5f0c2a51-0000-4000-8000-00000000c0de");
    EXPECT_TRUE(errors.snapshot().empty());

    ASSERT_EQ(backend.count(Endpoint::Collector), 1u);
    const json::object report = json::parse(backend.requests(Endpoint::Collector).at(0).body).as_object();
    const auto& entries = report.at("result").as_array();
    ASSERT_EQ(entries.size(), 1u);  // no QoS entry
    const auto& speed = entries[0].at("results").at(0).as_object();
    expectMeasuredSpeedResult(speed, false);
    EXPECT_EQ(speed.at("connection_info").at("port"), configuredPort);
    EXPECT_GT(speedServer->stats().connections, 0u);  // reached through the low 16 bits

    {
        std::lock_guard lock(progress.mutex);
        EXPECT_EQ(progress.progress, (std::vector<float>{1.0f}));
    }
    {
        std::lock_guard lock(qosProgress.mutex);
        EXPECT_TRUE(qosProgress.updates.empty());  // a run without QoS tasks publishes nothing
    }

    // The records the UI received.
    const auto records = intermediate.snapshot();
    ASSERT_GE(records.size(), 6u);
    EXPECT_EQ(records[0].currentPhase, "info");
    EXPECT_EQ(records[0].serverName, "Loopback 1");
    EXPECT_EQ(records[0].providerName, "Loopback Networks");
    const std::map<std::string, int> number{{"init", 0}, {"rtt", 1}, {"download", 2}, {"upload", 3}};
    int lastNumber = 0;
    double lastDownloadBps = 0;
    bool uploadPretest = false;
    bool upload = false;
    std::set<std::string> phases;
    for (std::size_t i = 1; i < records.size(); ++i) {
        const auto& r = records[i];
        SCOPED_TRACE(std::to_string(i) + " " + r.currentPhase);
        ASSERT_TRUE(number.count(r.currentPhase));
        phases.insert(r.currentPhase);
        EXPECT_EQ(r.currentPhaseNum, number.at(r.currentPhase));
        EXPECT_GE(r.currentPhaseNum, lastNumber);  // phases in their order
        lastNumber = r.currentPhaseNum;
        EXPECT_EQ(r.numPhases, 4);
        EXPECT_GE(r.phaseProgress, 0.0f);
        EXPECT_LE(r.phaseProgress, 1.0f);
        EXPECT_GE(r.totalProgress, 0.0f);
        EXPECT_LE(r.totalProgress, 1.0f);
        EXPECT_TRUE(r.serverName.empty());
        if (r.currentPhase == "init") {
            EXPECT_TRUE(r.isPretest);  // the download pretest
        } else if (r.currentPhase == "rtt" || r.currentPhase == "download") {
            EXPECT_FALSE(r.isPretest);
        }
        if (r.currentPhase == "download") {
            EXPECT_GT(r.rttAverageMilliseconds, 0.0);  // stored at the end of the TCP round trips
            lastDownloadBps = r.downloadBps;
        }
        if (r.currentPhase == "upload") {
            // Pretest in the first half of the phase, the test in the second.
            if (r.isPretest) {
                uploadPretest = true;
                EXPECT_LE(r.phaseProgress, 0.5f);
            } else {
                upload = true;
                EXPECT_GE(r.phaseProgress, 0.5f);
            }
            // The download figure stored by the last download record.
            EXPECT_GT(r.downloadBps, 0.0);
            EXPECT_DOUBLE_EQ(r.downloadBps, lastDownloadBps);
            EXPECT_DOUBLE_EQ(r.downloadAverageMbps, lastDownloadBps / 1e6);
            EXPECT_GT(r.rttAverageMilliseconds, 0.0);
        }
    }
    EXPECT_EQ(phases, (std::set<std::string>{"init", "rtt", "download", "upload"}));
    EXPECT_TRUE(uploadPretest);
    EXPECT_TRUE(upload);
}

// Speed tests that fail: the task's status and error report, and the report
// still goes out with the other results. The first rows are failures of the
// real client; the rest use a stand-in for the failures it never produces.
TEST_F(FullMeasurementWithSpeedTest, FailingSpeedTestsStillReport) {
    const std::uint16_t closedPort = speed_test_support::closedSpeedServerPort();
    struct Case {
        const char* name;
        std::function<void(measurement_test::SpeedSpec&)> change;
        std::optional<SpeedTestClientFunctions> client;
        std::optional<std::string> reported;  // errorCallback text (a part of it), code 8
    };
    using speed_test_support::scriptedClient;
    const Case cases[] = {
        {"create fails: no server address", [](auto& s) { s.host.reset(); }, std::nullopt, std::nullopt},
        {"server refuses the token", [](auto& s) { s.token = speed_test_support::validToken("other key"); },
         std::nullopt, "invalid token"},
        {"no token: an empty text reaches the client", [](auto& s) { s.token.reset(); }, std::nullopt,
         "token contains invalid UUID"},
        {"server unreachable", [&](auto& s) { s.port = std::to_string(closedPort); }, std::nullopt, ""},
        {"run fails without an error text", [](auto&) {}, scriptedClient(-1, std::nullopt, std::nullopt),
         "Other error during measurement"},
        {"error text while returning 0", [](auto&) {}, scriptedClient(0, "{}", "late failure"), "late failure"},
        {"no result text", [](auto&) {}, scriptedClient(0, std::nullopt, std::nullopt), std::nullopt},
        {"result text not JSON", [](auto&) {}, scriptedClient(0, "{\"dl\":", std::nullopt), std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        backend.clearRequests();
        DocumentSpec docShape;
        docShape.speed = true;
        docShape.speedOptions = speedSpec(false);
        c.change(docShape.speedOptions);
        docShape.qosPort = qos.controlPort();
        docShape.tcp = {{"101", 1, qos.tcpTestPorts().at(0)}};
        serveDocument(docShape);

        std::optional<speed_test_support::ClientStandIn> standIn;
        if (c.client) standIn.emplace(*c.client);
        speed_test_support::ErrorLog errors;
        ProgressLog progress;
        const auto start = std::chrono::steady_clock::now();
        auto answer = VelaService().startMeasurement(startParameters(backend));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
        ASSERT_NE(answer, nullptr);

        const auto reported = errors.snapshot();
        if (c.reported) {
            ASSERT_EQ(reported.size(), 1u);
            EXPECT_NE(reported[0].first.find(*c.reported), std::string::npos) << reported[0].first;
            EXPECT_EQ(reported[0].second, 8);
        } else {
            EXPECT_TRUE(reported.empty());
        }
        {
            // The runner recorded the speed test's result with its status.
            std::lock_guard lock(progress.mutex);
            ASSERT_EQ(progress.delivered.size(), 2u);
            EXPECT_TRUE(progress.delivered[0].speed);
            EXPECT_EQ(progress.delivered[0].type, "NATIVE_VELA");
            EXPECT_EQ(progress.delivered[0].status, "ERROR");
            EXPECT_EQ(progress.delivered[1].type, "TCP");
            EXPECT_FLOAT_EQ(progress.progress.back(), 1.0f);
        }
        ASSERT_EQ(backend.count(Endpoint::Collector), 1u);
        const auto report = json::parse(backend.requests(Endpoint::Collector).at(0).body);
        const auto& entries = report.at("result").as_array();
        ASSERT_EQ(entries.size(), 2u);
        const auto& speed = entries[0].at("results").at(0).as_object();
        EXPECT_EQ(speed.at("deserialize_type"), "speed_result");
        EXPECT_FALSE(speed.contains("bytes_download"));
        EXPECT_TRUE(speed.at("download_raw_data").as_array().empty());
        EXPECT_TRUE(speed.at("rtt_info").is_null());
        const auto& tcp = entries[1].at("results").at(0).at("results").at(0);
        EXPECT_EQ(tcp.at("qos_test_uid"), "101");
        EXPECT_EQ(tcp.at("status"), "OK");
    }
}

// Refused calls arriving while the accepted run starts must not change the
// accepted run's task count: every progress figure of a run counts that
// run's own configurations. Callers with lists of different lengths race for
// the executor each time a run ends, so the refused ones arrive while the
// winner sets its run up.
TEST_F(FullMeasurement, RefusedCallsLeaveTheAcceptedRunsProgressAlone) {
    auto params = startParameters(backend);
    params.agentUuid = agentUuid;
    auto settings = VelaService::buildExecutorSettings(params);
    settings->collectorUrl = backend.collectorUrl();
    auto& executor = MeasurementExecutorService::getInstance();
    executor.configure(settings.get());

    // Program tasks without a program end at once. Caller i plans i + 1 of
    // them, all named after the caller.
    constexpr int kCallers = 4;
    std::vector<std::unique_ptr<ProgramTaskConfiguration>> owned;
    std::vector<std::vector<TaskConfiguration*>> lists(kCallers);
    std::map<std::string, std::size_t> planned;
    for (int i = 0; i < kCallers; ++i) {
        const std::string name = "PROGRAM_CALLER_" + std::to_string(i);
        planned[name] = static_cast<std::size_t>(i + 1);
        for (int n = 0; n <= i; ++n) {
            owned.push_back(std::make_unique<ProgramTaskConfiguration>());
            owned.back()->taskName = name;
            lists[i].push_back(owned.back().get());
        }
    }

    std::mutex mutex;
    std::vector<std::string> wrong;
    std::size_t figures = 0;
    executor.progressCallback = [&](MeasurementProgress& p) {
        const auto* program = dynamic_cast<const ProgramTaskResult*>(p.results.back());
        std::lock_guard lock(mutex);
        ++figures;
        if (program == nullptr) {
            wrong.push_back("not a program result");
            return;
        }
        const auto count = planned.at(program->task_name);
        const float expected = static_cast<float>(p.results.size()) / static_cast<float>(count);
        if (std::fabs(p.progress - expected) > 1e-6f) {
            wrong.push_back(program->task_name + ": " + std::to_string(p.progress) + " after " +
                            std::to_string(p.results.size()) + " result(s)");
        }
    };

    constexpr int kRuns = 40;
    std::atomic<int> accepted{0};
    std::atomic<int> refused{0};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    auto more = [&] { return accepted.load() < kRuns && std::chrono::steady_clock::now() < deadline; };
    std::vector<std::thread> callers;
    for (int i = 0; i < kCallers; ++i) {
        callers.emplace_back([&, i] {
            while (more()) {
                // Wait for the current run to end, then race the others.
                while (MeasurementExecutorService::isRunning() && more()) std::this_thread::yield();
                auto answer = executor.executeMeasurements(settings.get(), lists[i], settings->collectorUrl, "");
                ++(answer ? accepted : refused);
            }
        });
    }
    for (auto& caller : callers) caller.join();
    executor.progressCallback = nullptr;

    EXPECT_GE(accepted.load(), kRuns);
    EXPECT_GT(refused.load(), 0);
    std::lock_guard lock(mutex);
    EXPECT_GE(figures, static_cast<std::size_t>(accepted.load()));
    EXPECT_TRUE(wrong.empty()) << wrong.size() << " wrong figure(s), first: " << wrong.front();
}
