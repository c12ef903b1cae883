#include "model/CertifiedMeasurementDtos.h"

#include "model/JsonMembers.h"
#include "model/OptionalMemberWriters.h"
#include "model/RequestEnvelope.h"

namespace json = boost::json;

namespace trevask::measurement_library {

namespace {

// The "data" object of the root, when there is one.
const json::object* dataMember(const json::object& root) {
    auto it = root.find("data");
    if (it == root.end()) return nullptr;
    return &requireObject(it->value());
}

}  // namespace

CertifiedMeasurementFormSubmitDto CertifiedMeasurementFormSubmitDtoReader(const json::value& value) {
    const auto& root = requireObject(value);
    CertifiedMeasurementFormSubmitDto dto;
    if (const auto* data = dataMember(root)) {
        readString(*data, "deserialize_type", dto.deserialize_type);
        readOptionalString(*data, "agent_uuid", dto.agent_uuid);
        readOptionalString(*data, "name", dto.name);
        readOptionalString(*data, "email", dto.email);
        readOptionalString(*data, "contact_telephone_number", dto.contact_telephone_number);
        readOptionalString(*data, "address", dto.address);
        readOptionalString(*data, "city", dto.city);
        readOptionalString(*data, "provider_id", dto.provider_id);
        readOptionalString(*data, "internet_access_type", dto.internet_access_type);
        readOptionalDouble(*data, "contract_dl_mbps", dto.contract_dl_mbps);
        readOptionalDouble(*data, "contract_ul_mbps", dto.contract_ul_mbps);
        readOptionalString(*data, "comment", dto.comment);
    }
    RequestInfoReader(root, "request_info", dto.request_info);
    return dto;
}

CertifiedMeasurementInitiationDto CertifiedMeasurementInitiationDtoReader(const json::value& value) {
    const auto& root = requireObject(value);
    CertifiedMeasurementInitiationDto dto;
    if (const auto* data = dataMember(root)) {
        readString(*data, "deserialize_type", dto.deserialize_type);
        readOptionalDouble(*data, "cpu_usage", dto.cpu_usage);
        readOptionalDouble(*data, "ram_usage", dto.ram_usage);
        readOptionalInt(*data, "network_type", dto.network_type);
        readOptionalInt(*data, "app_version_code", dto.app_version_code);
    }
    RequestInfoReader(root, "request_info", dto.request_info);
    return dto;
}

json::object CertifiedMeasurementFormSubmitDtoWriter(const CertifiedMeasurementFormSubmitDto& dto) {
    json::object obj;
    setString(obj, "deserialize_type", dto.deserialize_type);
    setOptionalString(obj, "agent_uuid", dto.agent_uuid);
    setOptionalString(obj, "name", dto.name);
    setOptionalString(obj, "email", dto.email);
    setOptionalString(obj, "contact_telephone_number", dto.contact_telephone_number);
    setOptionalString(obj, "address", dto.address);
    setOptionalString(obj, "city", dto.city);
    setOptionalString(obj, "provider_id", dto.provider_id);
    setOptionalString(obj, "internet_access_type", dto.internet_access_type);
    setOptionalDouble(obj, "contract_dl_mbps", dto.contract_dl_mbps);
    setOptionalDouble(obj, "contract_ul_mbps", dto.contract_ul_mbps);
    setOptionalString(obj, "comment", dto.comment);
    return obj;
}

json::object CertifiedMeasurementInitiationDtoWriter(const CertifiedMeasurementInitiationDto& dto) {
    json::object obj;
    setString(obj, "deserialize_type", dto.deserialize_type);
    setOptionalDouble(obj, "cpu_usage", dto.cpu_usage);
    setOptionalDouble(obj, "ram_usage", dto.ram_usage);
    setOptionalInt32(obj, "network_type", dto.network_type);
    setOptionalInt32(obj, "app_version_code", dto.app_version_code);
    return obj;
}

std::string toRequestBody(const CertifiedMeasurementFormSubmitDto& dto) {
    return serializeCompact(makeRequestEnvelope(CertifiedMeasurementFormSubmitDtoWriter(dto), dto.request_info));
}

std::string toRequestBody(const CertifiedMeasurementInitiationDto& dto) {
    return serializeCompact(makeRequestEnvelope(CertifiedMeasurementInitiationDtoWriter(dto), dto.request_info));
}

std::string toRequestBody(const CertifiedMeasurementCompletionRequest& request) {
    json::object data;
    setString(data, "deserialize_type", request.deserialize_type);
    return serializeCompact(makeRequestEnvelope(std::move(data), request.request_info));
}

}  // namespace trevask::measurement_library
