#include "EventChannels.h"

#include "model/AgentApiResponses.h"
#include "tasks/MeasurementCallbacks.h"

#include <boost/json.hpp>

#include <cmath>
#include <memory>
#include <sstream>
#include <type_traits>

namespace trevask {

EncodableEventChannel* intermediateResultsChannel = nullptr;
EncodableEventChannel* measurementStatusChannel = nullptr;
EncodableEventChannel* qosResultsChannel = nullptr;

namespace {

// Deletes the wrappers at process exit.
struct WrapperCleanup {
    ~WrapperCleanup() {
        for (EncodableEventChannel** global : {&intermediateResultsChannel, &measurementStatusChannel, &qosResultsChannel}) {
            delete *global;
            *global = nullptr;
        }
    }
} wrapperCleanup;

template <typename T>
std::string formatNumber(const std::string& name, T value) {
    std::ostringstream out;
    out << '"' << escapeJsonText(name) << "\":";
    if constexpr (std::is_floating_point_v<T>) {
        // "inf" and "nan" are not JSON.
        if (!std::isfinite(value)) {
            out << "null";
            return out.str();
        }
    }
    out << value;
    return out.str();
}

void qosProgressToJsonValue(boost::json::object& obj, const vela::QosProgressUpdate& update) {
    obj["qos_test_state"] = update.qos_test_state;
    obj["progress"] = update.progress;
    boost::json::array started;
    for (const auto& t : update.started_qos_types) started.emplace_back(t);
    obj["started_qos_types"] = std::move(started);
    boost::json::array finished;
    for (const auto& t : update.finished_qos_types) finished.emplace_back(t);
    obj["finished_qos_types"] = std::move(finished);
    boost::json::object progress;
    for (const auto& [type, value] : update.qos_type_to_progress) progress[type] = value;
    obj["qos_type_to_progress"] = std::move(progress);
}

}  // namespace

std::string escapeJsonText(std::string_view text) {
    // boost.json's own string serialisation, without the quotes around it.
    std::string quoted = boost::json::serialize(boost::json::string_view(text.data(), text.size()));
    return quoted.substr(1, quoted.size() - 2);
}

std::string formatJsonNumber(double value) {
    if (!std::isfinite(value)) return "null";
    std::ostringstream out;
    out << value;
    return out.str();
}

void replaceEventChannel(EncodableEventChannel*& global, EncodableEventChannel* wrapper) {
    EncodableEventChannel* old = global;
    global = wrapper;
    delete old;
}

std::string formatJsonMember(const std::string& name, std::int32_t value) {
    return formatNumber(name, value);
}

std::string formatJsonMember(const std::string& name, float value) {
    return formatNumber(name, value);
}

std::string formatJsonMember(const std::string& name, double value) {
    return formatNumber(name, value);
}

std::string formatJsonMember(const std::string& name, std::string value) {
    std::ostringstream out;
    out << '"' << escapeJsonText(name) << "\":\"" << escapeJsonText(value) << '"';
    return out.str();
}

std::ostream& intermediateResultToJson(std::ostream& out, const vela::IntermediateMeasurementCallback& r) {
    out << "{" << formatJsonMember("downloadAverageMbps", r.downloadAverageMbps) << ", "
        << formatJsonMember("uploadAverageMbps", r.uploadAverageMbps) << ", "
        << formatJsonMember("rttAverageMilliseconds", r.rttAverageMilliseconds) << ", \"isPretest\":"
        << (r.isPretest ? "true" : "false") << ", " << formatJsonMember("currentPhase", r.currentPhase) << ", "
        << formatJsonMember("phaseProgress", r.phaseProgress) << ", " << formatJsonMember("numPhases", r.numPhases)
        << ", " << formatJsonMember("currentPhaseNum", r.currentPhaseNum) << ", "
        << formatJsonMember("totalProgress", r.totalProgress) << ", "
        << formatJsonMember("serverName", r.serverName) << ", "
        << formatJsonMember("serverLocation", r.serverLocation) << ", "
        << formatJsonMember("providerName", r.providerName) << ", "
        << formatJsonMember("agentPublicIp", r.agentPublicIp) << "}";
    return out;
}

std::string qosProgressToJson(const std::shared_ptr<vela::QosProgressUpdate>& update) {
    boost::json::value value;
    if (update) {
        boost::json::object obj;
        qosProgressToJsonValue(obj, *update);
        value = std::move(obj);
    }
    std::ostringstream out;
    out << value;
    return out.str();
}

std::string measurementStatusToJson(const measurement_library::MeasurementResultResponse& response) {
    std::string text = "{\"measurementState\":\"resultSent\",\"error\":null,\"measurementUuid\":\"";
    text += escapeJsonText(response.uuid);
    text += "\", \"openDataUuid\": \"";
    text += escapeJsonText(response.open_data_uuid);
    text += '"';
    if (response.certified_measurement_uuid) {
        text += ", \"certifiedMeasurementUuid\": \"";
        text += escapeJsonText(*response.certified_measurement_uuid);
        text += '"';
    }
    text += "}";
    return text;
}

void sendIntermediateResult(const vela::IntermediateMeasurementCallback& result) {
    std::ostringstream out;
    intermediateResultToJson(out, result);
    if (intermediateResultsChannel) intermediateResultsChannel->send(out.str());
}

void sendQosProgress(std::shared_ptr<vela::QosProgressUpdate> update) {
    if (!update) return;
    std::string text = qosProgressToJson(update);
    if (qosResultsChannel) qosResultsChannel->send(text);
}

}  // namespace trevask
