// The three requests of the controller and collector connection: the LMAP
// report, the registration and the control document, each with its body and
// the reading of its answer.

#include "model/AgentApiResponses.h"
#include "model/JsonMembers.h"
#include "model/JsonMorpher.h"
#include "model/LmapControlDto.h"
#include "model/LmapReportDto.h"
#include "service/HttpConnectionService.h"
#include "model/RegistrationRequest.h"

#include <boost/json.hpp>

#include <stdexcept>

namespace trevask::measurement_library {

template <>
std::unique_ptr<MeasurementResultResponse> HttpConnectionService::doRequest<MeasurementResultResponse, LmapReportDto>(
    const std::string& url, const std::string& method, const LmapReportDto* request, std::int32_t timeoutMs) {
    std::unique_ptr<MeasurementResultResponse> answer;
    Exchange exchange;
    if (request != nullptr) {
        exchange.buildBody = [request] {
            std::string text = LmapReportDtoSerializer(*request);
            JsonMorpher::morph(request->getKeyMap(), text);
            return text;
        };
    }
    exchange.readAnswer = [&answer](std::string& text, int) {
        // Only an answer that carries the collector's record counts: a body
        // that is not JSON, or holds no "data", means the report was not
        // accepted, and the caller must not be told otherwise.
        const boost::json::value value = parseJson(text);
        const boost::json::object& object = requireObject(value);
        if (!object.contains("data")) throw std::runtime_error("collector answer without data");
        auto record = std::make_unique<MeasurementResultResponse>();
        MeasurementResultResponseReader(object, "data", *record);
        answer = std::move(record);
    };
    this->exchange(url, method, exchange, timeoutMs);
    return answer;
}

template <>
std::unique_ptr<RegistrationResponse> HttpConnectionService::doRequest<RegistrationResponse, RegistrationRequest>(
    const std::string& url, const std::string& method, const RegistrationRequest* request, std::int32_t timeoutMs) {
    std::unique_ptr<RegistrationResponse> answer;
    Exchange exchange;
    if (request != nullptr) exchange.buildBody = [request] { return toRequestBody(*request); };
    exchange.readAnswer = [&answer](std::string& text, int) {
        answer = std::make_unique<RegistrationResponse>();
        const boost::json::value value = parseJson(text);
        auto record = std::make_unique<RegistrationResponse>();
        RegistrationResponseReader(requireObject(value), "data", *record);
        answer = std::move(record);
    };
    this->exchange(url, method, exchange, timeoutMs);
    return answer;
}

template <>
std::unique_ptr<LmapControlDto> HttpConnectionService::doRequest<LmapControlDto, LmapControlDto>(
    const std::string& url, const std::string& method, const LmapControlDto* request, std::int32_t timeoutMs) {
    std::unique_ptr<LmapControlDto> answer;
    Exchange exchange;
    if (request != nullptr) {
        exchange.buildBody = [request] {
            std::string text = LmapControlDtoSerializer(*request);
            JsonMorpher::morph(request->getKeyMap(), text);
            return text;
        };
    }
    exchange.readAnswer = [&answer](std::string& text, int) {
        answer = std::make_unique<LmapControlDto>();
        JsonMorpher::morph(answer->getKeyMap(), text);
        const boost::json::value value = parseJson(text);
        auto record = std::make_unique<LmapControlDto>();
        requireObject(value);
        LmapControlDtoReader(value, *record);
        answer = std::move(record);
    };
    this->exchange(url, method, exchange, timeoutMs);
    return answer;
}

}  // namespace trevask::measurement_library
