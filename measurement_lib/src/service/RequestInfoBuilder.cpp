#include "service/RequestInfoBuilder.h"

#include "helper/ProbeHelper.h"
#include "helper/system/WindowsSystemHelper.h"
#include "service/UiConfiguration.h"

namespace trevask::measurement_library {

void buildRequestInfo(RequestInfo& target, const std::string& agentUuid, const std::optional<std::string>& lang) {
    const UiConfiguration config = UiConfiguration::current();

    target.agent_type = "DESKTOP";
    target.agent_uuid = agentUuid;
    target.language = lang ? *lang : std::string("en_US");
    target.timezone = config.configTimezone.empty() ? std::string("UTC") : config.configTimezone;

    WindowsSystemHelper::readSysInfo();
    target.os_name = WindowsSystemHelper::getOsName();
    target.os_version = WindowsSystemHelper::getOsVersion();

    target.os_platform = kOsPlatform;
    target.api_level = "v1";

    target.model = WindowsSystemHelper::getModel();
    target.code_name = ProbeHelper::getCodeName();

    target.hostname.reset();

    if (!config.configAppVersionName.empty()) target.app_version_name = config.configAppVersionName;
    if (config.configAppVersionCode > 0) target.app_version_code = config.configAppVersionCode;
    if (!config.configAppGitRevision.empty()) target.app_git_revision = config.configAppGitRevision;
}

}  // namespace trevask::measurement_library
