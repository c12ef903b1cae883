#pragma once
// Base of the sub-results of one LMAP report result entry (speed, QoS,
// program). Owned by the entry and destroyed through this base.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

namespace trevask::measurement_library {

struct SubMeasurementResult {
    std::optional<std::uint64_t> relative_start_time_ns;
    std::optional<std::uint64_t> relative_end_time_ns;
    std::optional<std::string> status;  // the builders set "FINISHED"
    std::string deserialize_type;       // names the kind, e.g. "speed_result"

    explicit SubMeasurementResult(std::string type) : deserialize_type(std::move(type)) {}
    virtual ~SubMeasurementResult() = default;

    SubMeasurementResult(const SubMeasurementResult&) = default;
    SubMeasurementResult(SubMeasurementResult&&) = default;
    SubMeasurementResult& operator=(const SubMeasurementResult&) = default;
    SubMeasurementResult& operator=(SubMeasurementResult&&) = default;
};

}  // namespace trevask::measurement_library
