#include "model/MeasurementTypeParameters.h"

#include "model/JsonMembers.h"

#include <exception>

namespace json = boost::json;

namespace trevask::measurement_library {

std::unique_ptr<MeasurementTypeParameters> readMeasurementTypeParameters(const json::value& value) {
    const auto type = readTypeText(value, "deserialize_type");
    if (!type) return nullptr;
    // readTypeText gives a text only for an object.
    const auto& obj = value.get_object();
    if (typeTextEquals(*type, SpeedMeasurementTypeParameters::kType)) {
        auto params = std::make_unique<SpeedMeasurementTypeParameters>();
        readSpeedMeasurementTypeParameters(obj, *params);
        return params;
    }
    if (typeTextEquals(*type, QoSMeasurementTypeParameters::kType)) {
        auto params = std::make_unique<QoSMeasurementTypeParameters>();
        readQosObjectives(obj, *params);
        return params;
    }
    return nullptr;
}

void readSpeedMeasurementTypeParameters(const json::object& obj, SpeedMeasurementTypeParameters& params) {
    if (auto it = obj.find("measurement_server"); it != obj.end()) {
        std::string baseUrl;
        readString(requireObject(it->value()), "base_url", baseUrl);
        params.base_url = std::move(baseUrl);
    }

    // An optional nested record: every failure of its own only leaves it empty.
    params.measurement_configuration.reset();
    auto it = obj.find("measurement_configuration");
    if (it == obj.end() || it->value().is_null()) return;
    try {
        params.measurement_configuration = readSpeedMeasurementConfiguration(it->value());
    } catch (const std::exception&) {
        params.measurement_configuration.reset();
    }
}

SpeedMeasurementConfiguration readSpeedMeasurementConfiguration(const json::value& value) {
    const auto& obj = requireObject(value);
    SpeedMeasurementConfiguration config;
    readList(obj, "upload", config.upload, readSpeedStreamConfiguration);
    readList(obj, "download", config.download, readSpeedStreamConfiguration);
    return config;
}

SpeedStreamConfiguration readSpeedStreamConfiguration(const json::value& value) {
    const auto& obj = requireObject(value);
    SpeedStreamConfiguration stream;
    readOptionalBool(obj, "isDefault", stream.isDefault);
    readNumber(obj, "streams", stream.streams);
    readNumber(obj, "frameSize", stream.frameSize);
    if (auto it = obj.find("bounds"); it != obj.end()) stream.bounds = readSpeedStreamBounds(it->value());
    return stream;
}

SpeedStreamBounds readSpeedStreamBounds(const json::value& value) {
    const auto& obj = requireObject(value);
    SpeedStreamBounds bounds;
    readNumber(obj, "lower", bounds.lower);
    readNumber(obj, "upper", bounds.upper);
    return bounds;
}

void readQosObjectives(const json::object& obj, QoSMeasurementTypeParameters& params) {
    auto it = obj.find("objectives");
    if (it == obj.end()) return;
    const auto& types = requireObject(it->value());
    std::unordered_map<std::string, std::vector<std::unique_ptr<TaskConfiguration>>> objectives;
    objectives.reserve(types.size());
    for (const auto& member : types) {
        const auto& list = requireArray(member.value());
        std::vector<std::unique_ptr<TaskConfiguration>> configs;
        configs.reserve(list.size());
        for (const auto& element : list) configs.push_back(readTaskConfiguration(element));
        objectives.emplace(std::string(member.key()), std::move(configs));
    }
    params.objectives = std::move(objectives);
}

}  // namespace trevask::measurement_library
