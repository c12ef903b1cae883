#pragma once
// The back-end calls of the certified-measurement flow: settings, the
// registration form, the current certified measurement, whether a
// measurement may run now, completion (optionally with a complaint to the
// provider), abort and the list of past certified measurements. Each returns
// the response body for any HTTP status and no value when no response was
// read. Addresses are url + "/measurement-agents/" + agentUuid + suffix.

#include <cstdint>
#include <optional>
#include <string>

namespace trevask::measurement_library {
class RequestService;
}

namespace trevask::measurement_sdk {

class CertifiedMeasurementService {
public:
    CertifiedMeasurementService();
    // Over the given request service (the process-wide one by default).
    explicit CertifiedMeasurementService(measurement_library::RequestService* service);

    std::optional<std::string> getCertifiedMeasurementSettings(const std::string& url, const std::string& agentUuid,
                                                               const std::optional<std::string>& lang);

    // `formValues` is one JSON object with the form's members. Throws the
    // JSON library's exception (nothing is sent) when it is not valid JSON,
    // not an object, or holds a "deserialize_type" that is not a text.
    std::optional<std::string> createCertifiedMeasurement(const std::string& url, const std::string& agentUuid,
                                                          const std::string& formValues,
                                                          const std::optional<std::string>& lang);

    std::optional<std::string> getCertifiedMeasurement(const std::string& url, const std::string& agentUuid,
                                                       const std::optional<std::string>& lang);

    // `json` is one JSON object with the initiation members; throws like
    // createCertifiedMeasurement.
    std::optional<std::string> canPerformCertifiedMeasurement(const std::string& url, const std::string& agentUuid,
                                                              const std::string& json,
                                                              const std::optional<std::string>& lang);

    // PUT with a time-out of 30 s; "send_complaint_to_provider" = "true" only
    // when asked for.
    std::optional<std::string> completeCertifiedMeasurement(const std::string& url, const std::string& agentUuid,
                                                            bool sendComplaintToProvider,
                                                            const std::optional<std::string>& lang);

    std::optional<std::string> abortCertifiedMeasurement(const std::string& url, const std::string& agentUuid,
                                                         const std::optional<std::string>& lang);

    std::optional<std::string> getCertifiedMeasurementHistory(const std::string& url, const std::string& agentUuid,
                                                              const std::optional<std::string>& lang,
                                                              const std::optional<std::int32_t>& page,
                                                              const std::optional<std::int32_t>& size);

private:
    measurement_library::RequestService* requestService;
};

}  // namespace trevask::measurement_sdk
