#pragma once
// The measurement library's HTTP(S) client for the two back-end services of
// a measurement: the controller (agent registration, LMAP control document)
// and the collector (LMAP report). One process-wide instance, configured by
// the executor at the start of each measurement and again before the report
// is sent. One request at a time; every failure is logged and reported and
// ends in an empty answer, never an exception.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace Poco {
class Logger;
namespace Net {
class HTTPBasicCredentials;
}  // namespace Net
}  // namespace Poco

namespace trevask::measurement_library {

class MeasurementResultResponse;
class RegistrationResponse;
struct LmapControlDto;
struct LmapReportDto;
class RegistrationRequest;

class HttpConnectionService {
public:
    enum EndpointKind : int {
        VERSIONS = 0,
        MEASUREMENT_AGENTS = 1,  // agent registration
        MEASUREMENTS = 2,        // LMAP control document
        COLLECTOR = 3,           // LMAP report upload (the collector URL unchanged)
        IP_ECHO_IPV4 = 4,
        IP_ECHO_IPV6 = 5,
    };

    static HttpConnectionService& getInstance();

    HttpConnectionService(const HttpConnectionService&) = delete;
    HttpConnectionService& operator=(const HttpConnectionService&) = delete;

    // The controller base gets "/api/v1/" unless it already holds "/api/v",
    // and always ends in "/". The collector URL is kept as given. Credentials
    // held before are dropped, also when `credentials` is empty.
    void configure(std::string controllerUrl, std::string collectorUrl,
                   std::unique_ptr<Poco::Net::HTTPBasicCredentials> credentials);

    // The URL of an endpoint; empty for a value outside the enumeration.
    std::string endpointUrl(int kind) const;

    const std::string& getBaseUrl() const { return baseUrl; }
    const std::string& getCollectorUrl() const { return collectorUrl; }
    // The executor takes the collector URL from the control document.
    void setCollectorUrl(std::string url) { collectorUrl = std::move(url); }
    bool hasCredentials() const { return credentials != nullptr; }

    // Sends `request` (may be null: no body) with `method` to `url` and reads
    // the answer. Instances exist for
    //   MeasurementResultResponse <- LmapReportDto        (the collector)
    //   RegistrationResponse      <- RegistrationRequest  (registration)
    //   LmapControlDto            <- LmapControlDto       (control document)
    // An empty pointer when no answer was read.
    template <typename Answer, typename Request>
    std::unique_ptr<Answer> doRequest(const std::string& url, const std::string& method, const Request* request,
                                      std::int32_t timeoutMs);

    static Poco::Logger& logger();

    // Why the last request gave no answer record ("" after one that did):
    // the transport failure, time-out, size bound or "HTTP <status> ...".
    const std::string& lastFailure() const { return lastFailure_; }

    // One exchange, bounded as a whole by `timeoutMs`, with the answer's body
    // bounded too: `buildBody` (may be empty) makes the request body,
    // `readAnswer` turns a 2xx answer's text and status into the answer
    // record and may throw. An answer with any other status is a failure and
    // is not read. Returns false when no answer was read (the failure is
    // logged, reported and kept in lastFailure); true after readAnswer ran,
    // also when it threw.
    struct Exchange {
        std::function<std::string()> buildBody;
        std::function<void(std::string& text, int status)> readAnswer;
    };
    bool exchange(const std::string& url, const std::string& method, const Exchange& exchange,
                  std::int32_t timeoutMs);

private:
    HttpConnectionService();
    ~HttpConnectionService();

    std::string baseUrl;
    std::string collectorUrl;
    std::unique_ptr<Poco::Net::HTTPBasicCredentials> credentials;
    std::string lastFailure_;
};

template <>
std::unique_ptr<MeasurementResultResponse> HttpConnectionService::doRequest<MeasurementResultResponse, LmapReportDto>(
    const std::string& url, const std::string& method, const LmapReportDto* request, std::int32_t timeoutMs);
template <>
std::unique_ptr<RegistrationResponse> HttpConnectionService::doRequest<RegistrationResponse, RegistrationRequest>(
    const std::string& url, const std::string& method, const RegistrationRequest* request, std::int32_t timeoutMs);
template <>
std::unique_ptr<LmapControlDto> HttpConnectionService::doRequest<LmapControlDto, LmapControlDto>(
    const std::string& url, const std::string& method, const LmapControlDto* request, std::int32_t timeoutMs);

}  // namespace trevask::measurement_library
