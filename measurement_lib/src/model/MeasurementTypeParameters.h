#pragma once
// Structured parameters of an LMAP task option ("measurement_parameters"):
// the speed measurement's server and stream settings, the QoS measurement's
// objectives, and the options of a program measurement.

#include "model/TaskConfiguration.h"

#include <boost/json/fwd.hpp>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace trevask::measurement_library {

struct MeasurementTypeParameters {
    MeasurementTypeParameters() = default;
    explicit MeasurementTypeParameters(std::string type) : deserialize_type(std::move(type)) {}
    virtual ~MeasurementTypeParameters() = default;

    std::string deserialize_type;  // "speed_params", "qos_params" or "program_params"
    // Plain options of the owning LMAP task, by name; filled by task planning,
    // never read from JSON. Inserting a present name keeps the first value.
    std::unordered_map<std::string, std::string> options;
};

struct SpeedStreamBounds {
    double lower = 0;
    double upper = 0;

    bool operator==(const SpeedStreamBounds&) const = default;
};

struct SpeedStreamConfiguration {
    std::optional<bool> isDefault;
    std::int32_t streams = 0;
    std::int32_t frameSize = 0;
    SpeedStreamBounds bounds;

    bool operator==(const SpeedStreamConfiguration&) const = default;
};

struct SpeedMeasurementConfiguration {
    std::vector<SpeedStreamConfiguration> upload;
    std::vector<SpeedStreamConfiguration> download;

    bool operator==(const SpeedMeasurementConfiguration&) const = default;
};

struct SpeedMeasurementTypeParameters : MeasurementTypeParameters {
    static constexpr const char* kType = "speed_params";
    SpeedMeasurementTypeParameters() : MeasurementTypeParameters(kType) {}

    std::string base_url;  // "base_url" of the "measurement_server" object
    std::optional<SpeedMeasurementConfiguration> measurement_configuration;
};

struct QoSMeasurementTypeParameters : MeasurementTypeParameters {
    static constexpr const char* kType = "qos_params";
    QoSMeasurementTypeParameters() : MeasurementTypeParameters(kType) {}

    // QoS type (the member name in the document) to its configurations, in
    // document order; an entry is empty where no configuration kind was selected.
    std::unordered_map<std::string, std::vector<std::unique_ptr<TaskConfiguration>>> objectives;
};

struct ProgramTaskTypeParameters : MeasurementTypeParameters {
    static constexpr const char* kType = "program_params";
    ProgramTaskTypeParameters() : MeasurementTypeParameters(kType) {}
};

// Reads the parameters of the kind that "deserialize_type" selects
// ("speed_params" or "qos_params", case-insensitive). An empty pointer when
// the value is not an object, the selector is missing or not a string, or it
// names another kind. Member failures raise and nothing is returned; failures
// inside "measurement_configuration" only leave that member empty.
std::unique_ptr<MeasurementTypeParameters> readMeasurementTypeParameters(const boost::json::value& value);

// Fill a freshly created kind record from its JSON object.
void readSpeedMeasurementTypeParameters(const boost::json::object& obj, SpeedMeasurementTypeParameters& params);
void readQosObjectives(const boost::json::object& obj, QoSMeasurementTypeParameters& params);

// Nested readers of the speed kind; each requires an object ("not an object").
SpeedMeasurementConfiguration readSpeedMeasurementConfiguration(const boost::json::value& value);
SpeedStreamConfiguration readSpeedStreamConfiguration(const boost::json::value& value);
SpeedStreamBounds readSpeedStreamBounds(const boost::json::value& value);

}  // namespace trevask::measurement_library
