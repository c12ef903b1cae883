#pragma once
// The question for the agent's measurement counts by month, sent in the
// {"data", "request_info"} envelope.

#include "model/BasicRequest.h"
#include "model/RequestInfo.h"

#include <boost/json/fwd.hpp>

#include <cstdint>
#include <optional>
#include <string>

namespace trevask::measurement_library {

struct MeasurementsPerAgentByMonthRequest : BasicRequest {
    static constexpr const char* kType =
        "at.trevask.lumivex.shared.halvo.collector.api.v1.dto.agent.measurementdata."
        "MeasurementsPerAgentByMonthRequest";
    MeasurementsPerAgentByMonthRequest() : BasicRequest(kType) {}

    std::optional<std::int32_t> year;
    std::optional<std::int32_t> month;
    RequestInfo request_info;
};

// "deserialize_type", then "year" and "month" when set.
boost::json::object MeasurementsPerAgentByMonthRequestWriter(const MeasurementsPerAgentByMonthRequest& request);
std::string toRequestBody(const MeasurementsPerAgentByMonthRequest& request);

}  // namespace trevask::measurement_library
