#include "model/AgentApiResponses.h"

#include "model/JsonMembers.h"

namespace json = boost::json;

namespace trevask::measurement_library {

namespace {

// The member under `key`, or null when the key is absent; throws
// "not an object" when the member is present but not an object.
const json::object* memberObject(const json::object& obj, const char* key) {
    auto it = obj.find(key);
    if (it == obj.end()) return nullptr;
    return &requireObject(it->value());
}

}  // namespace

ServiceUrls ServiceUrlsReader(const json::value& value) {
    const json::object& obj = requireObject(value);
    ServiceUrls urls;
    readOptionalString(obj, "controller_service", urls.controller_service);
    readOptionalString(obj, "controller_service_ipv4", urls.controller_service_ipv4);
    readOptionalString(obj, "controller_service_ipv6", urls.controller_service_ipv6);
    readOptionalString(obj, "collector_service", urls.collector_service);
    readOptionalString(obj, "map_service", urls.map_service);
    readOptionalString(obj, "statistic_service", urls.statistic_service);
    readOptionalString(obj, "result_service", urls.result_service);
    readOptionalString(obj, "load_balancing_service", urls.load_balancing_service);
    readOptionalString(obj, "website", urls.website);
    return urls;
}

void SettingsResponseReader(const json::object& obj, const char* key, SettingsResponse& target) {
    const json::object* member = memberObject(obj, key);
    if (!member) return;
    ServiceUrls urls;
    if (auto it = member->find("urls"); it != member->end()) urls = ServiceUrlsReader(it->value());
    target.urls = std::move(urls);
}

void RegistrationResponseReader(const json::object& obj, const char* key, RegistrationResponse& target) {
    const json::object* member = memberObject(obj, key);
    if (!member) return;
    RegistrationResponse fresh;
    readString(*member, "agent_uuid", fresh.agent_uuid);
    SettingsResponseReader(*member, "settings", fresh.settings);
    target.agent_uuid = std::move(fresh.agent_uuid);
    target.settings.urls = std::move(fresh.settings.urls);
}

void MeasurementResultResponseReader(const json::object& obj, const char* key, MeasurementResultResponse& target) {
    const json::object* member = memberObject(obj, key);
    if (!member) return;
    MeasurementResultResponse fresh;
    readString(*member, "uuid", fresh.uuid);
    readString(*member, "open_data_uuid", fresh.open_data_uuid);
    readOptionalString(*member, "certified_measurement_uuid", fresh.certified_measurement_uuid);
    target.uuid = std::move(fresh.uuid);
    target.open_data_uuid = std::move(fresh.open_data_uuid);
    target.certified_measurement_uuid = std::move(fresh.certified_measurement_uuid);
}

}  // namespace trevask::measurement_library
