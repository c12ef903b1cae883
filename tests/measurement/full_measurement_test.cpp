// A full measurement through the measurement start of the agent API services,
// against the loopback back end (controller and collector) and QoS server.

#include "MeasurementTestSupport.h"

#include "helper/ProbeHelper.h"
#include "helper/system/WindowsSystemHelper.h"
#include "model/AgentApiResponses.h"
#include "model/StartMeasurementParameters.h"
#include "service/MeasurementExecutorService.h"
#include "service/MeasurementExecutorSettings.h"
#include "service/VelaService.h"
#include "tasks/MeasurementCallbacks.h"

#include <Poco/Base64Decoder.h>
#include <Poco/DigestEngine.h>
#include <Poco/SHA2Engine.h>
#include <gtest/gtest.h>

#include <latch>
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

    const std::string agentUuid = "0b7c5c8e-4a64-4f1c-9a0e-6d2b1c3e9f10";
    BackendServer backend;
    QosServer qos;
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

    // The speed test is announced, though no task of this agent runs it.
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
    ASSERT_EQ(entries.size(), 2u);  // the program, then the QoS tests
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

    const auto& qosEntry = entries[1].at("results").at(0).as_object();
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
    docShape.collectorUrl = backend.collectorUrl();
    backend.setControlDocument(controlDocument(docShape));
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
    docShape.collectorUrl = backend.collectorUrl();
    backend.setControlDocument(controlDocument(docShape));

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
    docShape.collectorUrl = backend.collectorUrl();
    backend.setControlDocument(controlDocument(docShape));

    using M = BackendServer::Misbehaviour;
    const struct {
        const char* name;
        std::optional<M> collector;
        bool answered;
    } cases[] = {
        {"normal", std::nullopt, true},
        {"500 with data", M::ServerError, true},
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
        auto answer = VelaService().startMeasurement(params);
        EXPECT_EQ(answer != nullptr, c.answered);
        if (answer) {
            EXPECT_EQ(answer->uuid, "5f0c2a51-0000-4000-8000-00000000c0de");
        }
        // A known agent does not register again.
        EXPECT_EQ(backend.count(Endpoint::Registration), 0u);
        ASSERT_EQ(backend.count(Endpoint::Collector), 1u);
        const auto report = json::parse(backend.requests(Endpoint::Collector).at(0).body);
        EXPECT_EQ(report.at("agent-id"), "given-agent-uuid");
    }
}

TEST_F(FullMeasurement, FailedRegistrationRunsTheTasksButSendsNoReport) {
    backend.setControlDocument(controlDocument(tcpAndEcho()));
    backend.misbehave(Endpoint::Registration, BackendServer::Misbehaviour::Close);
    const std::size_t threadsBefore = measurement_test::threadCount();
    EXPECT_EQ(VelaService().startMeasurement(startParameters(backend)), nullptr);
    EXPECT_LE(measurement_test::settledThreadCount(threadsBefore, std::chrono::milliseconds(2000)), threadsBefore);
    // The tasks ran: the QoS server saw the TCP test.
    EXPECT_GE(qos.controlConnections(), 1);
    EXPECT_EQ(backend.count(Endpoint::Registration), 1u);
    EXPECT_EQ(backend.count(Endpoint::Control), 1u);
    EXPECT_EQ(backend.count(Endpoint::Collector), 0u);
    EXPECT_FALSE(MeasurementExecutorService::isRunning());
}

TEST_F(FullMeasurement, OnlyOneOfConcurrentRunsIsAccepted) {
    DocumentSpec docShape;
    docShape.programs = {{"PROGRAM_WAIT", "sleep 0.3; echo", "done"}};
    docShape.collectorUrl = backend.collectorUrl();
    backend.setControlDocument(controlDocument(docShape));
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
    docShape.speed = true;  // planned, but no task of this agent runs it
    docShape.programs = {{"PROGRAM_ONE", "echo", "1"}, {"PROGRAM_TWO", "echo", "2"}};
    docShape.collectorUrl = backend.collectorUrl();
    backend.setControlDocument(controlDocument(docShape));
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
    ASSERT_EQ(progress.size(), 2u);
    EXPECT_FLOAT_EQ(progress[0], 1.0f / 3);
    EXPECT_FLOAT_EQ(progress[1], 2.0f / 3);
    EXPECT_EQ(delivered, (std::vector<std::size_t>{1, 2}));
}
