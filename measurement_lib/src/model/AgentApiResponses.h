#pragma once
// The controller's and collector's answers to the agent: registration
// (agent UUID and service addresses) and an uploaded report (the UUIDs under
// which the measurement was stored). Each answer carries its record under
// "data"; the readers take the whole answer object and that key.

#include <boost/json/fwd.hpp>

#include <optional>
#include <string>

namespace trevask::measurement_library {

// Base of every record read from a back-end answer.
class BasicResponse {
public:
    virtual ~BasicResponse() = default;
};

struct ServiceUrls {
    std::optional<std::string> controller_service;
    std::optional<std::string> controller_service_ipv4;
    std::optional<std::string> controller_service_ipv6;
    std::optional<std::string> collector_service;
    std::optional<std::string> map_service;
    std::optional<std::string> statistic_service;
    std::optional<std::string> result_service;
    std::optional<std::string> load_balancing_service;
    std::optional<std::string> website;

    bool operator==(const ServiceUrls&) const = default;
};

class SettingsResponse : public BasicResponse {
public:
    ServiceUrls urls;
};

class RegistrationResponse : public BasicResponse {
public:
    std::string agent_uuid;
    SettingsResponse settings;
};

class MeasurementResultResponse : public BasicResponse {
public:
    std::string uuid;
    std::string open_data_uuid;
    std::optional<std::string> certified_measurement_uuid;
};

// The value must be an object ("not an object"); each of the nine addresses
// is an optional text (absent, null or another kind give no value).
ServiceUrls ServiceUrlsReader(const boost::json::value& value);

// The three readers below leave the target alone when `key` is absent, throw
// "not an object" when its member is not an object and "not a string" for a
// text member of another kind. They read into a fresh record first, so a
// failed read leaves the target unchanged.
void SettingsResponseReader(const boost::json::object& obj, const char* key, SettingsResponse& target);
void RegistrationResponseReader(const boost::json::object& obj, const char* key, RegistrationResponse& target);
void MeasurementResultResponseReader(const boost::json::object& obj, const char* key,
                                     MeasurementResultResponse& target);

}  // namespace trevask::measurement_library
