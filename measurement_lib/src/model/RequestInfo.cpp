#include "model/RequestInfo.h"

#include "model/JsonMembers.h"

#include <stdexcept>

namespace json = boost::json;

namespace trevask::measurement_library {

json::object RequestInfoWriter(const RequestInfo& info) {
    json::object obj;
    setOptionalString(obj, "agent_uuid", info.agent_uuid);
    setOptionalString(obj, "language", info.language);
    setOptionalString(obj, "timezone", info.timezone);
    setOptionalString(obj, "os_name", info.os_name);
    setOptionalString(obj, "os_version", info.os_version);
    setOptionalString(obj, "os_platform", info.os_platform);
    setOptionalString(obj, "api_level", info.api_level);
    setOptionalString(obj, "code_name", info.code_name);
    setOptionalString(obj, "model", info.model);
    setOptionalString(obj, "app_version_name", info.app_version_name);
    setOptionalInt32(obj, "app_version_code", info.app_version_code);
    setOptionalString(obj, "app_git_revision", info.app_git_revision);
    setOptionalString(obj, "boardid", info.boardid);
    setOptionalString(obj, "hostname", info.hostname);
    setOptionalString(obj, "image_build_timestamp", info.image_build_timestamp);
    setOptionalString(obj, "agent_type", info.agent_type);
    setOptionalString(obj, "certified_measurement_uuid", info.certified_measurement_uuid);
    obj["anonymous_mode"] = info.anonymous_mode;
    return obj;
}

void writeRequestInfoMember(json::object& obj, std::string_view key, const RequestInfo& info) {
    obj[key] = RequestInfoWriter(info);
}

void RequestInfoReader(const json::object& obj, const char* key, RequestInfo& target) {
    auto it = obj.find(key);
    if (it == obj.end()) return;
    const json::object& member = requireObject(it->value());

    RequestInfo read;
    readOptionalString(member, "agent_type", read.agent_type);
    readOptionalString(member, "agent_uuid", read.agent_uuid);
    readOptionalString(member, "language", read.language);
    readOptionalString(member, "timezone", read.timezone);
    readOptionalString(member, "os_name", read.os_name);
    readOptionalString(member, "os_version", read.os_version);
    readOptionalString(member, "os_platform", read.os_platform);
    readOptionalString(member, "api_level", read.api_level);
    readOptionalString(member, "model", read.model);
    readOptionalString(member, "code_name", read.code_name);
    readOptionalString(member, "app_version_name", read.app_version_name);
    readOptionalInt(member, "app_version_code", read.app_version_code);
    readOptionalString(member, "app_git_revision", read.app_git_revision);
    readOptionalString(member, "boardid", read.boardid);
    readOptionalString(member, "hostname", read.hostname);
    readOptionalString(member, "image_build_timestamp", read.image_build_timestamp);
    readOptionalString(member, "certified_measurement_uuid", read.certified_measurement_uuid);
    readBool(member, "anonymous_mode", read.anonymous_mode);
    target = std::move(read);
}

}  // namespace trevask::measurement_library
