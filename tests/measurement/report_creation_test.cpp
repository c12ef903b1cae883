// Building the registration request, the control request and the LMAP report.

#include "model/LmapControlDto.h"
#include "model/LmapReportDto.h"
#include "model/RequestInfo.h"
#include "model/SubMeasurementResultKinds.h"
#include "model/StartMeasurementParameters.h"
#include "model/result/ConnectivityTaskResults.h"
#include "model/result/ProgramTaskResults.h"
#include "model/result/SpeedMeasurementResult.h"
#include "model/result/VelaTaskResult.h"
#include "service/MeasurementExecutorSettings.h"
#include "model/RegistrationRequest.h"
#include "service/RequestCreationService.h"
#include "service/UiConfiguration.h"

#include <boost/json.hpp>
#include <gtest/gtest.h>

using namespace trevask::measurement_library;

namespace {

template <typename T>
std::unique_ptr<T> resultAt(std::uint64_t start, std::uint64_t duration, const char* type) {
    auto result = std::make_unique<T>();
    result->start_time_ns = start;
    result->duration_ns = duration;
    result->objective_task_type = type;
    return result;
}

class RequestCreation : public testing::Test {
protected:
    void TearDown() override {
        UiConfiguration::reset();
        creator.setAgentUuid(std::nullopt);
    }
    RequestCreationService& creator = RequestCreationService::getInstance();
};

}  // namespace

TEST_F(RequestCreation, ReportGroupsResultsIntoSpeedProgramAndOneQosEntry) {
    creator.setAgentUuid("agent-7");
    auto tcp = resultAt<TcpTaskResult>(100, 50, "TCP");         // 100..150
    auto speed = resultAt<VelaTaskResult>(10, 5, "NATIVE_VELA");
    auto program = resultAt<ProgramTaskResult>(300, 20, "");
    auto udp = resultAt<UdpTaskResult>(90, 30, "UDP");          // 90..120
    auto report = creator.createLmapReportDto({tcp.get(), speed.get(), nullptr, program.get(), udp.get()}, nullptr);
    ASSERT_NE(report, nullptr);
    EXPECT_EQ(report->agent_id, "agent-7");
    EXPECT_TRUE(report->group_id.empty());
    EXPECT_EQ(report->date.find('Z'), std::string::npos);
    EXPECT_EQ(report->date.size(), 19u);
    ASSERT_EQ(report->result.size(), 3u);
    for (const auto& entry : report->result) {
        EXPECT_EQ(entry.results.size(), 1u);
        EXPECT_TRUE(entry.tag.empty());
        EXPECT_FALSE(entry.extra_data);
    }
    EXPECT_EQ(report->result[0].results[0]->deserialize_type, "speed_result");
    auto* programSub = dynamic_cast<ProgramTaskMeasurementResult*>(report->result[1].results[0].get());
    ASSERT_NE(programSub, nullptr);
    EXPECT_EQ(programSub->result, program.get());
    EXPECT_EQ(programSub->status, "FINISHED");
    EXPECT_EQ(programSub->relative_start_time_ns, 300u);
    EXPECT_EQ(programSub->relative_end_time_ns, 320u);
    auto* qos = dynamic_cast<QoSMeasurementResult*>(report->result[2].results[0].get());
    ASSERT_NE(qos, nullptr);
    EXPECT_EQ(qos->deserialize_type, "qos_result");
    ASSERT_EQ(qos->results.size(), 2u);
    EXPECT_EQ(qos->results[0], tcp.get());
    EXPECT_EQ(qos->results[1], udp.get());
    EXPECT_EQ(qos->relative_start_time_ns, 90u);
    EXPECT_EQ(qos->relative_end_time_ns, 150u);

    EXPECT_EQ(report->additional_request_info.agent_uuid, "agent-7");
    EXPECT_EQ(report->additional_request_info.agent_type, "DESKTOP");
    EXPECT_EQ(report->additional_request_info.os_platform, "Linux");
    EXPECT_FALSE(report->additional_request_info.certified_measurement_uuid);

    auto empty = creator.createLmapReportDto({}, nullptr);
    ASSERT_NE(empty, nullptr);
    EXPECT_TRUE(empty->result.empty());
}

TEST_F(RequestCreation, NoReportWithoutAgentUuid) {
    creator.setAgentUuid(std::nullopt);
    auto tcp = resultAt<TcpTaskResult>(1, 1, "TCP");
    EXPECT_EQ(creator.createLmapReportDto({tcp.get()}, nullptr), nullptr);
}

TEST_F(RequestCreation, StartParametersReachReportAndControlRequest) {
    creator.setAgentUuid("agent-8", "peer-1");
    MeasurementExecutorSettings settings;
    settings.startParameters = std::make_shared<StartMeasurementParameters>();
    settings.startParameters->anonymousModeEnabled = true;
    settings.startParameters->certifiedMeasurementUuid = "cert-1";

    auto report = creator.createLmapReportDto({}, &settings);
    ASSERT_NE(report, nullptr);
    EXPECT_TRUE(report->additional_request_info.anonymous_mode);
    EXPECT_EQ(report->additional_request_info.certified_measurement_uuid, "cert-1");

    auto control = creator.createLmapControlDto(&settings);
    EXPECT_EQ(control->agent.agent_id, "agent-8");
    EXPECT_EQ(control->agent.group_id, "probe_runner");
    ASSERT_EQ(control->capabilities.tasks.size(), 3u);
    EXPECT_EQ(control->capabilities.tasks[0].name, "SPEED");
    EXPECT_EQ(control->capabilities.tasks[0].selected_measurement_peer_identifier, "peer-1");
    EXPECT_EQ(control->capabilities.tasks[1].name, "QOS");
    EXPECT_FALSE(control->capabilities.tasks[1].selected_measurement_peer_identifier);
    EXPECT_EQ(control->capabilities.tasks[2].name, "PROGRAM");
    EXPECT_EQ(control->additional_request_info.certified_measurement_uuid, "cert-1");
    EXPECT_EQ(control->capabilities.version, "1.0.0");

    // Without start parameters: only speed and QoS are offered.
    EXPECT_EQ(creator.createLmapControlDto(nullptr)->capabilities.tasks.size(), 2u);
}

TEST_F(RequestCreation, CapabilityVersionFollowsTheAppVersion) {
    const struct {
        const char* name;
        std::int32_t code;
        const char* version;
    } cases[] = {{"", 45, "1.0.0"}, {"1.2.3", 0, "1.2.3"}, {"1.2.3", 45, "1.2.3+45"}};
    for (const auto& c : cases) {
        UiConfiguration::store("", c.name, c.code, "");
        EXPECT_EQ(creator.createLmapControlDto(nullptr)->capabilities.version, c.version) << c.name << c.code;
    }
}

TEST_F(RequestCreation, RegistrationRequestAndItsEnvelope) {
    creator.setAgentUuid(std::nullopt);
    auto request = creator.createRegistrationRequest();
    EXPECT_TRUE(request->termsAndConditionsAccepted);
    EXPECT_EQ(request->termsAndConditionsAcceptedVersion, 1);
    EXPECT_FALSE(request->groupName);
    EXPECT_FALSE(request->requestInfo.agent_uuid);
    EXPECT_EQ(request->requestInfo.language, "en_US");
    EXPECT_EQ(request->requestInfo.timezone, "UTC");
    EXPECT_EQ(request->requestInfo.api_level, "v1");
    EXPECT_TRUE(request->requestInfo.boardid);

    request->termsAndConditionsAcceptedVersion = 65535;
    request->groupName = "not sent";
    const auto body = boost::json::parse(toRequestBody(*request)).as_object();
    ASSERT_EQ(body.size(), 2u);
    EXPECT_EQ(boost::json::serialize(body.at("data")),
              R"({"deserialize_type":"at.trevask.lumivex.shared.halvo.collector.api.v1.dto.agent.registration.)"
              R"(RegistrationRequest","terms_and_conditions_accepted":true,"terms_and_conditions_accepted_version":65535})");
    EXPECT_EQ(body.at("request_info").at("agent_type"), "DESKTOP");
    EXPECT_EQ(body.begin()->key(), "data");
}
