#include "helper/UuidVerificationHelper.h"

#include "helper/FileHelper.h"
#include "helper/SentryHelper.h"
#include "model/AgentApiResponses.h"
#include "service/HttpConnectionService.h"
#include "service/MeasurementExecutorSettings.h"
#include "model/RegistrationRequest.h"
#include "service/RequestCreationService.h"

#include <Poco/Logger.h>

namespace trevask::measurement_library {

namespace {

constexpr std::int32_t kRegistrationTimeoutMs = 10000;

// A replacement text for std::regex_replace: "$" would start a reference.
std::string literalReplacement(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '$') out += '$';
        out += c;
    }
    return out;
}

}  // namespace

UuidVerificationHelper& UuidVerificationHelper::getInstance() {
    static UuidVerificationHelper instance;
    return instance;
}

UuidVerificationHelper::UuidVerificationHelper()
    : agentUuidPattern(std::string("agentUuid: ") + "[\\w-]*", std::regex::ECMAScript),
      agentIdPattern("\"agent_id\": ?\"[\\w-]*\"", std::regex::ECMAScript),
      logger(Poco::Logger::get("UuidVerificationHelper")) {
    verifiedUuids.max_load_factor(1.0f);
}

bool UuidVerificationHelper::verifyAgentUuid(const std::string& uuid) {
    if (verifiedUuids.count(uuid) != 0) {
        logger.information("agent uuid: %s found in previously verified set.", uuid);
        return true;
    }
    auto answer = registerAgent(uuid);
    if (answer && answer->agent_uuid == uuid) {
        logger.information("agent uuid: %s is valid.", uuid);
        verifiedUuids.insert(uuid);
        return true;
    }
    logger.information("agent uuid: %s is invalid.", uuid);
    return false;
}

std::string UuidVerificationHelper::requestNewAgentUuid() {
    auto answer = registerAgent(std::string());
    if (!answer) return std::string();
    logger.information("received new agent uuid: %s from controller.", answer->agent_uuid);
    return answer->agent_uuid;
}

std::unique_ptr<RegistrationResponse> UuidVerificationHelper::registerAgent(const std::string& uuid) {
    auto request = RequestCreationService::getInstance().createRegistrationRequest();
    request->requestInfo.agent_uuid = uuid;
    auto& connection = HttpConnectionService::getInstance();
    return connection.doRequest<RegistrationResponse>(
        connection.endpointUrl(HttpConnectionService::MEASUREMENT_AGENTS), "POST", request.get(),
        kRegistrationTimeoutMs);
}

bool UuidVerificationHelper::storeAgentUuid(const std::string& uuid, MeasurementExecutorSettings& settings,
                                            const std::string& targetPath) {
    if (uuid.empty()) return false;
    settings.agentUuid = uuid;
    SentryHelper::setAgentUuid(uuid, std::nullopt);

    bool written = false;
    if (!settings.agentUuidFile.empty()) written = FileHelper::writeToFile(settings.agentUuidFile, uuid);

    if (!targetPath.empty()) {
        const std::string text = FileHelper::readFile(settings.lmapControlFile);
        const std::string replaced =
            std::regex_replace(text, agentUuidPattern, literalReplacement("agentUuid: " + uuid));
        written = FileHelper::writeToFile(targetPath, replaced) || written;
    }
    if (!settings.lmapControlFile.empty()) {
        const std::string text = FileHelper::readFile(settings.lmapControlFile);
        const std::string replaced =
            std::regex_replace(text, agentIdPattern, literalReplacement("\"agent_id\": \"" + uuid + "\""));
        return FileHelper::writeToFile(settings.lmapControlFile, replaced) || written;
    }
    return written;
}

}  // namespace trevask::measurement_library
