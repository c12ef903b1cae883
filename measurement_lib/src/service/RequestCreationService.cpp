#include "service/RequestCreationService.h"

#include "helper/ProbeHelper.h"
#include "helper/SentryHelper.h"
#include "helper/system/WindowsSystemHelper.h"
#include "model/LmapControlDto.h"
#include "model/LmapReportDto.h"
#include "model/RequestInfo.h"
#include "model/result/ProgramTaskResults.h"
#include "model/result/SpeedMeasurementResult.h"
#include "model/result/TaskResult.h"
#include "model/result/VelaTaskResult.h"
#include "model/SubMeasurementResultKinds.h"
#include "service/MeasurementExecutorSettings.h"
#include "service/RequestInfoBuilder.h"
#include "service/UiConfiguration.h"
#include "model/RegistrationRequest.h"

#include <Poco/Logger.h>

#include <algorithm>
#include <ctime>
#include <stdexcept>

namespace trevask::measurement_library {

namespace {

constexpr const char* kCapabilityVersion = "1.0.0";

}  // namespace

std::string formatReportTime(std::chrono::system_clock::time_point time, bool utc) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
    std::tm parts{};
    if (utc) {
        gmtime_r(&seconds, &parts);
    } else {
        localtime_r(&seconds, &parts);
    }
    char text[64];
    const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
    std::string result(text, length);
    if (!result.empty() && result.back() == 'Z') result.pop_back();
    return result;
}

RequestCreationService& RequestCreationService::getInstance() {
    static RequestCreationService instance;
    return instance;
}

Poco::Logger& RequestCreationService::logger() {
    static Poco::Logger& instance = Poco::Logger::get("RequestCreationService");
    return instance;
}

RequestCreationService::RequestCreationService() {
    WindowsSystemHelper::readSysInfo();
    osName = WindowsSystemHelper::getOsName();
    osVersion = WindowsSystemHelper::getOsVersion();
    osPlatform = kOsPlatform;
    model = WindowsSystemHelper::getModel();
    if (!model || model->empty()) model = "probe";
    codeName = ProbeHelper::getCodeName();
    if (!codeName || codeName->empty()) codeName = "probe";
}

void RequestCreationService::setAgentUuid(std::optional<std::string> uuid, std::optional<std::string> peer) {
    agentUuid = std::move(uuid);
    measurementPeerIdentifier = std::move(peer);
}

void RequestCreationService::createClientInfo(RequestInfo& info) const {
    const UiConfiguration ui = UiConfiguration::current();
    info.agent_type = "DESKTOP";
    info.agent_uuid = agentUuid;
    const std::string& language = ui.configLanguage;
    info.language = language.empty() ? std::string("en_US") : language;
    const std::string& timezone = ui.configTimezone;
    info.timezone = timezone.empty() ? std::string("UTC") : timezone;
    info.os_name = osName;
    info.os_version = osVersion;
    info.os_platform = osPlatform;
    info.api_level = "v1";
    info.model = model;
    info.code_name = codeName;
    info.boardid = ProbeHelper::getBoardId();
    info.hostname = hostname;
    info.image_build_timestamp = imageBuildTimestamp;
    const std::string& versionName = ui.configAppVersionName;
    if (!versionName.empty()) info.app_version_name = versionName;
    const std::int32_t versionCode = ui.configAppVersionCode;
    if (versionCode >= 1) info.app_version_code = versionCode;
    const std::string& gitRevision = ui.configAppGitRevision;
    if (!gitRevision.empty()) info.app_git_revision = gitRevision;
}

std::unique_ptr<RegistrationRequest> RequestCreationService::createRegistrationRequest() const {
    auto request = std::make_unique<RegistrationRequest>();
    request->deserialize_type = RegistrationRequest::kType;
    request->termsAndConditionsAccepted = true;
    request->termsAndConditionsAcceptedVersion = 1;
    request->groupName.reset();
    createClientInfo(request->requestInfo);
    return request;
}

std::unique_ptr<LmapControlDto> RequestCreationService::createLmapControlDto(
    const MeasurementExecutorSettings* settings) const {
    auto document = std::make_unique<LmapControlDto>();
    document->agent.agent_id = agentUuid;
    document->agent.group_id = "probe_runner";

    LmapCapabilityTaskDto speed;
    speed.name = "SPEED";
    speed.version = kCapabilityVersion;
    speed.selected_measurement_peer_identifier = measurementPeerIdentifier;
    document->capabilities.tasks.push_back(std::move(speed));
    LmapCapabilityTaskDto qos;
    qos.name = "QOS";
    qos.version = kCapabilityVersion;
    document->capabilities.tasks.push_back(std::move(qos));

    if (settings != nullptr && settings->startParameters) {
        const auto& certified = settings->startParameters->certifiedMeasurementUuid;
        document->additional_request_info.certified_measurement_uuid = certified;
        if (certified) {
            LmapCapabilityTaskDto program;
            program.name = "PROGRAM";
            program.version = kCapabilityVersion;
            document->capabilities.tasks.push_back(std::move(program));
        }
    }

    createClientInfo(document->additional_request_info);

    const auto& info = document->additional_request_info;
    if (info.app_version_name) {
        std::string version = *info.app_version_name;
        if (info.app_version_code) version += "+" + std::to_string(*info.app_version_code);
        document->capabilities.version = version;
    }
    return document;
}

std::unique_ptr<LmapReportDto> RequestCreationService::createLmapReportDto(
    std::vector<TaskResult*> results, const MeasurementExecutorSettings* settings) const {
    if (!agentUuid) {
        static const char* kMessage = "No agent uuid present. AgentUuid is required for lmap report dtos";
        logger().error(kMessage);
        SentryHelper::captureException(std::runtime_error(kMessage), "");
        return nullptr;
    }

    auto report = std::make_unique<LmapReportDto>();
    const auto now = std::chrono::system_clock::now();
    report->date = formatReportTime(now, true);
    report->local_time = formatReportTime(now, false);
    logger().information("Setting LMAP report date to %s and local_time to %s", report->date, report->local_time);

    report->agent_id = *agentUuid;

    createClientInfo(report->additional_request_info);
    if (settings != nullptr && settings->startParameters) {
        report->additional_request_info.anonymous_mode = settings->startParameters->anonymousModeEnabled;
        logger().information("is anonymous mode: %b", settings->startParameters->anonymousModeEnabled);
        report->additional_request_info.certified_measurement_uuid =
            settings->startParameters->certifiedMeasurementUuid;
    }

    std::unique_ptr<QoSMeasurementResult> qos;
    for (TaskResult* result : results) {
        if (const auto* vela = dynamic_cast<const VelaTaskResult*>(result)) {
            logger().information("trying to parse vela result");
            LmapResultDto entry;
            entry.results.push_back(std::make_unique<SpeedMeasurementResult>(vela));
            report->result.push_back(std::move(entry));
        } else if (auto* program = dynamic_cast<ProgramTaskResult*>(result)) {
            logger().information("trying to parse program task result");
            auto sub = std::make_unique<ProgramTaskMeasurementResult>();
            sub->result = program;
            sub->status = "FINISHED";
            sub->relative_start_time_ns = program->start_time_ns;
            sub->relative_end_time_ns = program->start_time_ns + program->duration_ns;
            LmapResultDto entry;
            entry.results.push_back(std::move(sub));
            report->result.push_back(std::move(entry));
        } else {
            if (!qos) qos = std::make_unique<QoSMeasurementResult>();
            if (result == nullptr) continue;
            qos->results.push_back(result);
            qos->status = "FINISHED";
            const std::uint64_t start = result->start_time_ns;
            const std::uint64_t end = result->start_time_ns + result->duration_ns;
            qos->relative_start_time_ns =
                qos->relative_start_time_ns ? std::min(*qos->relative_start_time_ns, start) : start;
            qos->relative_end_time_ns = qos->relative_end_time_ns ? std::max(*qos->relative_end_time_ns, end) : end;
        }
    }
    if (qos) {
        LmapResultDto entry;
        entry.results.push_back(std::move(qos));
        report->result.push_back(std::move(entry));
    }
    return report;
}

}  // namespace trevask::measurement_library
