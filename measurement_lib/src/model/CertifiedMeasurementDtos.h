#pragma once
// Request records of the certified-measurement flow: the registration form,
// the question whether a measurement may run now, and the completion. Each
// travels in the {"data", "request_info"} envelope.

#include "model/BasicRequest.h"
#include "model/RequestInfo.h"

#include <boost/json/fwd.hpp>

#include <cstdint>
#include <optional>
#include <string>

namespace trevask::measurement_library {

struct CertifiedMeasurementFormSubmitDto : BasicRequest {
    static constexpr const char* kType =
        "at.trevask.lumivex.shared.halvo.collector.api.v1.dto.certified.CertifiedMeasurementFormSubmitDto";
    CertifiedMeasurementFormSubmitDto() : BasicRequest(kType) {}

    std::optional<std::string> agent_uuid;
    std::optional<std::string> name;
    std::optional<std::string> email;
    std::optional<std::string> contact_telephone_number;
    std::optional<std::string> address;
    std::optional<std::string> city;
    std::optional<std::string> provider_id;
    std::optional<std::string> internet_access_type;
    std::optional<double> contract_dl_mbps;
    std::optional<double> contract_ul_mbps;
    std::optional<std::string> comment;
    RequestInfo request_info;
};

struct CertifiedMeasurementInitiationDto : BasicRequest {
    static constexpr const char* kType =
        "at.trevask.lumivex.shared.halvo.collector.api.v1.dto.certified.CertifiedMeasurementInitiationDto";
    CertifiedMeasurementInitiationDto() : BasicRequest(kType) {}

    std::optional<double> cpu_usage;
    std::optional<double> ram_usage;
    std::optional<std::int32_t> network_type;
    std::optional<std::int32_t> app_version_code;
    RequestInfo request_info;
};

// The completion carries no data of its own: an empty type text and the
// client description.
struct CertifiedMeasurementCompletionRequest : BasicRequest {
    CertifiedMeasurementCompletionRequest() : BasicRequest(std::string()) {}

    RequestInfo request_info;
};

// Readers of the UI's values. `root` holds the record under "data" and may
// hold a client description under "request_info". "data" and
// "request_info" must be objects ("not an object"); a present
// "deserialize_type" must be a text; every other member is optional and a
// value of the wrong kind leaves it empty.
CertifiedMeasurementFormSubmitDto CertifiedMeasurementFormSubmitDtoReader(const boost::json::value& root);
CertifiedMeasurementInitiationDto CertifiedMeasurementInitiationDtoReader(const boost::json::value& root);

boost::json::object CertifiedMeasurementFormSubmitDtoWriter(const CertifiedMeasurementFormSubmitDto& dto);
boost::json::object CertifiedMeasurementInitiationDtoWriter(const CertifiedMeasurementInitiationDto& dto);

// The compact envelope of each record.
std::string toRequestBody(const CertifiedMeasurementFormSubmitDto& dto);
std::string toRequestBody(const CertifiedMeasurementInitiationDto& dto);
std::string toRequestBody(const CertifiedMeasurementCompletionRequest& request);

}  // namespace trevask::measurement_library
