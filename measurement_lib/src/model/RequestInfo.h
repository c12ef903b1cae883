#pragma once
// The client description that travels with every back-end request
// ("request_info") and inside the LMAP documents ("additional_request_info"),
// with its JSON reader and writer.

#include <boost/json/fwd.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace trevask::measurement_library {

struct RequestInfo {
    std::optional<std::string> agent_type;  // "DESKTOP"
    std::optional<std::string> agent_uuid;
    std::optional<std::string> language;    // e.g. "en_US"
    std::optional<std::string> timezone;
    std::optional<std::string> os_name;
    std::optional<std::string> os_version;
    std::optional<std::string> os_platform;
    std::optional<std::string> api_level;   // "v1"
    std::optional<std::string> model;
    std::optional<std::string> code_name;
    std::optional<std::string> app_version_name;
    std::optional<std::int32_t> app_version_code;
    std::optional<std::string> app_git_revision;
    std::optional<std::string> boardid;
    std::optional<std::string> hostname;
    std::optional<std::string> image_build_timestamp;
    std::optional<std::string> certified_measurement_uuid;
    bool anonymous_mode = false;

    bool operator==(const RequestInfo&) const = default;
};


// The JSON object of a client description: the present members in wire order
// ("agent_uuid" ... "image_build_timestamp", then "agent_type",
// "certified_measurement_uuid"), then always "anonymous_mode". Never throws
// for any content.
boost::json::object RequestInfoWriter(const RequestInfo& info);

// obj[key] = RequestInfoWriter(info).
void writeRequestInfoMember(boost::json::object& obj, std::string_view key, const RequestInfo& info);

// Reads obj[key] into `target` when the key is present: the member must be an
// object ("not an object"); text members and "app_version_code" absorb a
// wrong kind; "anonymous_mode" must be a boolean ("bool required"). The target
// ends up equal to what was read (members the object lacks become absent);
// on a failure it is left unchanged.
void RequestInfoReader(const boost::json::object& obj, const char* key, RequestInfo& target);

}  // namespace trevask::measurement_library
