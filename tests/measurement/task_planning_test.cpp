// Task planning: control document to task configurations, and the factory
// table from configurations to tasks.

#include "model/LmapControlDto.h"
#include "model/OtherTaskConfigurations.h"
#include "model/ProgramTaskConfiguration.h"
#include "model/QosTaskConfigurations.h"
#include "model/SpeedTaskConfigurations.h"
#include "model/StartMeasurementParameters.h"
#include "service/MeasurementExecutorService.h"
#include "service/MeasurementExecutorSettings.h"
#include "tasks/BaseTask.h"
#include "tasks/MeasurementCallbacks.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace trevask::measurement_library;

namespace {

// A document in the member-name form of a control-document file.
const char* kDocument = R"({
  "tasks": [
    {"name": "SPEED", "program": "", "option": [
      {"name": "server_addr", "value": "speed.example"},
      {"name": "server_port", "value": "8443"},
      {"name": "encryption", "value": "TRUE"},
      {"name": "Server_port_udp", "value": "1"},
      {"name": "download_duration_seconds", "value": "3"},
      {"name": "server_name", "value": "Graz"},
      {"name": "speed", "value": "", "measurement_parameters": {"deserialize_type": "speed_params"}}]},
    {"name": "QOS", "program": "", "option": [
      {"name": "server_addr", "value": "qos.example"},
      {"name": "server_port", "value": "5233"},
      {"name": "encryption", "value": "TrUe"},
      {"name": "qos", "value": "", "measurement_parameters": {"deserialize_type": "qos_params", "objectives": {
        "TCP": [{"qostest": "TCP", "qos_test_uid": "1", "concurrency_group": 3, "out_port": "1000"},
                {"qostest": "TCP", "qos_test_uid": "3", "concurrency_group": 0, "out_port": "1001"}],
        "UDP": [{"qostest": "UDP", "qos_test_uid": "2", "concurrency_group": 1, "out_port": "1002"}]}}}]},
    {"name": "PROGRAM_A", "program": "echo", "option": [{"name": "arguments", "value": "a"}]},
    {"name": "OTHER", "program": "x", "option": []},
    {"name": "PROGRAM_B", "program": "true", "option": []}
  ],
  "additional_response_info": {"provider_short_name": "", "provider_name": "Example ISP", "public_ip": "192.0.2.1"}
})";

std::vector<std::uint32_t> groupsOf(const std::vector<TaskConfiguration*>& list) {
    std::vector<std::uint32_t> groups;
    for (auto* c : list) groups.push_back(c->concurrency_group);
    return groups;
}

class TaskPlanning : public testing::Test {
protected:
    void SetUp() override {
        previous = trevask::vela::intermediateMeasurementCallback.get();
        trevask::vela::intermediateMeasurementCallback =
            [this](const trevask::vela::IntermediateMeasurementCallback& r) { announcements.push_back(r); };
        settings.agentUuid = "agent-1";
        settings.logLevel = 3;
    }
    void TearDown() override { trevask::vela::intermediateMeasurementCallback = previous; }

    std::vector<TaskConfiguration*> plan(LmapControlDto& document) {
        auto& executor = MeasurementExecutorService::getInstance();
        executor.configure(&settings);
        return executor.parseIntoTaskConfiguration(&document);
    }

    MeasurementExecutorSettings settings;
    std::vector<trevask::vela::IntermediateMeasurementCallback> announcements;
    std::function<void(const trevask::vela::IntermediateMeasurementCallback&)> previous;
};

}  // namespace

TEST_F(TaskPlanning, WithoutStartParametersEverythingIsPlannedInGroupOrder) {
    auto document = LmapControlDtoParser(kDocument);
    const auto list = plan(*document);
    // Speed and QoS sorted together, the program tasks behind them unsorted.
    EXPECT_EQ(groupsOf(list), (std::vector<std::uint32_t>{50, 200, 201, 203, 0, 1}));

    auto* speed = dynamic_cast<VelaTaskConfiguration*>(list[0]);
    ASSERT_NE(speed, nullptr);
    EXPECT_EQ(speed->qostest, "VELA");
    EXPECT_EQ(speed->host, "speed.example");
    EXPECT_EQ(speed->port, 8443);
    EXPECT_FALSE(speed->use_tls);   // only the exact text "true" switches TLS on
    EXPECT_EQ(speed->udpPort, 6142);  // option names are compared exactly
    EXPECT_EQ(speed->download_duration_seconds, 3);
    EXPECT_EQ(speed->timeout, "120000000000");
    EXPECT_TRUE(speed->rttPhase && speed->downloadPhase && speed->uploadPhase);
    ASSERT_NE(speed->speedParameters, nullptr);
    EXPECT_EQ(speed->speedParameters->options.at("server_addr"), "speed.example");

    for (std::size_t i = 1; i <= 3; ++i) {
        EXPECT_EQ(list[i]->server_addr, "qos.example");
        EXPECT_EQ(list[i]->server_port, "5233");
        EXPECT_EQ(list[i]->agentUuid, "agent-1");
    }
    EXPECT_EQ(list[1]->qos_test_uid, "3");
    EXPECT_EQ(settings.qosServerHost, "qos.example");
    EXPECT_EQ(settings.qosServerPort, 5233);
    EXPECT_TRUE(settings.qosServerTls);  // any case of "true"

    auto* first = dynamic_cast<ProgramTaskConfiguration*>(list[4]);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->taskName, "PROGRAM_A");
    EXPECT_EQ(first->program, "echo");
    EXPECT_EQ(first->arguments, "a");

    ASSERT_EQ(announcements.size(), 1u);
    EXPECT_EQ(announcements[0].currentPhase, "info");
    EXPECT_EQ(announcements[0].serverName, "Graz");
    EXPECT_EQ(announcements[0].providerName, "Example ISP");
    EXPECT_EQ(announcements[0].agentPublicIp, "192.0.2.1");

    // Planning the same document again moves the QoS groups once more.
    const auto again = plan(*document);
    EXPECT_EQ(groupsOf(again), (std::vector<std::uint32_t>{50, 400, 401, 403, 0, 1}));
    // Every configuration of both plannings is still owned by the document.
    const auto owns = [&](TaskConfiguration* c) {
        if (document->velaTaskConfiguration.get() == c) return true;
        return std::any_of(document->taskConfigurations.begin(), document->taskConfigurations.end(),
                           [c](const auto& owned) { return owned.get() == c; });
    };
    EXPECT_TRUE(owns(list[0])) << "the first speed configuration was freed";
    EXPECT_TRUE(owns(again[0]));
    EXPECT_TRUE(owns(list[4]) && owns(again[5]));
}

TEST_F(TaskPlanning, StartParametersSwitchSpeedPhasesAndQosTypes) {
    struct Case {
        bool speed;
        bool qos;
        std::map<std::string, bool> types;
        std::vector<std::uint32_t> groups;
    };
    const Case cases[] = {
        {false, true, {{"TCP", true}, {"UDP", false}}, {200, 203, 0, 1}},
        {true, true, {{"UDP", true}}, {50, 201, 0, 1}},
        {true, false, {{"TCP", true}}, {50, 0, 1}},
        {false, true, {}, {0, 1}},
    };
    for (const auto& c : cases) {
        announcements.clear();
        auto parameters = std::make_shared<StartMeasurementParameters>();
        parameters->performSpeed = c.speed;
        parameters->performQos = c.qos;
        parameters->performQosType = c.types;
        parameters->performDownloadMeasurement = false;
        settings.startParameters = parameters;
        auto document = LmapControlDtoParser(kDocument);
        const auto list = plan(*document);
        EXPECT_EQ(groupsOf(list), c.groups);
        EXPECT_EQ(announcements.size(), c.speed ? 1u : 0u);
        if (c.speed) {
            auto* speed = dynamic_cast<VelaTaskConfiguration*>(list[0]);
            ASSERT_NE(speed, nullptr);
            EXPECT_TRUE(speed->rttPhase);
            EXPECT_FALSE(speed->downloadPhase);
            EXPECT_TRUE(speed->uploadPhase);
        }
    }
}

TEST_F(TaskPlanning, TwoSpeedTasksKeepBothConfigurations) {
    auto document = LmapControlDtoParser(R"({"tasks": [
        {"name": "SPEED", "program": "", "option": [{"name": "server_port", "value": "1"}]},
        {"name": "SPEED", "program": "", "option": [{"name": "server_port", "value": "2"}]}]})");
    const auto list = plan(*document);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(document->velaTaskConfiguration.get(), list[1]);
    ASSERT_EQ(document->taskConfigurations.size(), 1u);
    EXPECT_EQ(document->taskConfigurations[0].get(), list[0]);
    EXPECT_EQ(dynamic_cast<VelaTaskConfiguration*>(list[0])->port, 1);
    EXPECT_EQ(dynamic_cast<VelaTaskConfiguration*>(list[1])->port, 2);
}

TEST_F(TaskPlanning, BadNumbersKeepDefaultsAndAnEmptyCallbackEndsPlanning) {
    auto document = LmapControlDtoParser(R"({"tasks": [
        {"name": "QOS", "program": "", "option": [{"name": "server_port", "value": "port"},
          {"name": "q", "value": "", "measurement_parameters": {"deserialize_type": "qos_params",
            "objectives": {"TCP": [{"qostest": "TCP", "qos_test_uid": "1", "concurrency_group": 2}]}}}]},
        {"name": "SPEED", "program": "", "option": [{"name": "server_port", "value": "x1"}]},
        {"name": "PROGRAM_LATE", "program": "true", "option": []}]})");
    settings.qosServerPort = 77;
    trevask::vela::intermediateMeasurementCallback = nullptr;
    const auto list = plan(*document);
    EXPECT_EQ(settings.qosServerPort, 77);
    // The empty announcement slot fails the planning after the speed test:
    // what was collected so far is returned.
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0]->server_port, "port");
    EXPECT_EQ(dynamic_cast<VelaTaskConfiguration*>(list[1])->port, 443);
}

TEST(TaskFactory, TasksOnlyForKindsThatRun) {
    TcpTaskConfiguration tcp;
    tcp.qostest = "TCP";
    UdpTaskConfiguration udp;
    EmailTaskConfiguration email;  // a kind no task of this agent runs
    ProgramTaskConfiguration program;
    VelaTaskConfiguration speed;
    std::vector<TaskConfiguration*> configurations{&email, &udp, &tcp, &speed, &program, &tcp};
    const auto tasks = MeasurementExecutorService::createTasks(MeasurementExecutorService::buildTaskFactories(),
                                                               configurations);
    std::vector<std::string> names;
    for (const auto& task : tasks) names.push_back(task->name());
    // The speed test gets the native speed-test task (the first row).
    EXPECT_EQ(names, (std::vector<std::string>{"UDP", "TCP", "NATIVE_VELA", "PROGRAM", "TCP"}));
    EXPECT_TRUE(MeasurementExecutorService::buildTaskFactories().front().accepts(&speed));
    EXPECT_FALSE(MeasurementExecutorService::buildTaskFactories().front().accepts(&tcp));
    EXPECT_FALSE(MeasurementExecutorService::buildTaskFactories().front().accepts(nullptr));
    EXPECT_TRUE(MeasurementExecutorService::createTasks(MeasurementExecutorService::buildTaskFactories(), {}).empty());
}
