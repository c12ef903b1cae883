#pragma once
// The texts the measurement channel takes. startMeasurement wants one JSON
// text (not a map) with the controller URL, the agent UUID and which parts
// to run. Its QoS selection is a map from QoS type to true: the agent runs
// only the QoS objectives whose type the map names with true, so
// "performQos" alone runs no QoS test at all.

#include <string>
#include <vector>

namespace lumivex::cli {

struct MeasureRequest {
    std::string controllerUrl;
    std::string agentUuid;  // empty: the agent registers itself
    bool speed = true;
    bool qos = true;
    // The QoS types to run; empty: every type the agent has a test for.
    std::vector<std::string> qosTypes;
};

// The QoS types (objective keys of a control document) the agent runs.
const std::vector<std::string>& allQosTypes();

// The start-parameter JSON text of one measurement.
std::string startParametersJson(const MeasureRequest& request);

// The URL registerAgent takes: the registration goes to this URL followed
// by "/measurement-agents", the same place the measurement itself registers
// at (the controller URL with "/api/v1" unless it already names an API
// version).
std::string registrationUrl(const std::string& controllerUrl);

// Splits "TCP,UDP" into its non-empty items.
std::vector<std::string> splitList(const std::string& text);

}  // namespace lumivex::cli
