#pragma once
// The one HTTP and HTTPS client of the UI-facing back-end services (and of the
// HTTP proxy and program tasks). Every request is one synchronous exchange on
// a fresh connection: no retries, no redirects followed, no status check; the
// caller gets the body and the status code of any answer and decides.

#include <boost/json/fwd.hpp>

#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace Poco {
class Logger;
class URI;
namespace Net {
class Socket;
}  // namespace Net
}  // namespace Poco

namespace trevask::measurement_library {

// The answer to a string request. `localIp` is the local address of the
// socket that carried this very request (absent when it could not be read),
// so that a caller can compare against its own request even while other
// threads make requests of their own.
struct StringResponse {
    std::string body;
    std::int32_t status = 0;
    std::optional<std::string> localIp;
};

// Body and complete HTTP response of a low-level request; defined in
// service/LowLevelResponse.h, which pulls in the HTTP message classes.
struct LowLevelResponse;

// A response record read from the answer's body.
template <typename T>
struct TypedResponse {
    std::unique_ptr<T> record;
    std::int32_t status = 0;
    std::optional<std::string> localIp;
};

// How performTypedRequest reads a record of type T from the parsed body.
// Specialise it for each response record with
//   static std::unique_ptr<T> read(const boost::json::value& value);
// which may throw on any malformed answer.
template <typename T>
struct ResponseRecordReader;

class RequestService {
public:
    // Query values; appended in ascending key order. No value and an empty
    // map both add nothing.
    using Query = std::optional<std::map<std::string, std::string>>;
    using Headers = std::vector<std::pair<std::string, std::string>>;

    // The process-wide instance, created on first use.
    static RequestService* getInstance();

    RequestService(const RequestService&) = delete;
    RequestService& operator=(const RequestService&) = delete;

    // Sends `body` (as application/json when not empty) and returns the
    // answer with any status; no value when no response was read. Never throws.
    std::optional<StringResponse> performStringRequest(const std::string& url, const std::string& method,
                                                       const std::string& body, Query query,
                                                       std::uint32_t timeoutMs);

    // A request without body that sends `headers` in their order (a name
    // given twice is sent twice). Throws the networking library's exception
    // on failure, Poco::TimeoutException when the time-out elapses; never
    // returns an empty pointer.
    std::unique_ptr<LowLevelResponse> performLowLevelGetRequest(const std::string& url, const std::string& method,
                                                                const Headers& headers, std::uint32_t timeoutMs);

    // Sends the request envelope of `record` (built by the record's
    // toRequestBody overload). No value when the body cannot be built or no
    // response was read.
    template <typename T>
    std::optional<StringResponse> performDtoRequest(const std::string& url, const std::string& method,
                                                    const T& record, Query query, std::uint32_t timeoutMs) {
        std::string body;
        try {
            body = toRequestBody(record);
        } catch (...) {
            return std::nullopt;
        }
        return performStringRequest(url, method, body, std::move(query), timeoutMs);
    }

    // A request without body whose answer is parsed and read into a T.
    // No value when no response was read or the body cannot be read.
    template <typename T>
    std::optional<TypedResponse<T>> performTypedRequest(const std::string& url, const std::string& method,
                                                        Query query, std::uint32_t timeoutMs) {
        auto response = performStringRequest(url, method, std::string(), std::move(query), timeoutMs);
        if (!response) return std::nullopt;
        std::unique_ptr<T> record;
        const bool read = readJsonBody(response->body, [&record](const boost::json::value& value) {
            record = ResponseRecordReader<T>::read(value);
        });
        if (!read) return std::nullopt;
        return TypedResponse<T>{std::move(record), response->status, std::move(response->localIp)};
    }

    // Replaces the first "{agentUuid}" and then the first "{measurementUuid}"
    // when the respective value is given.
    static std::string replaceUrlPlaceholders(const std::string& urlTemplate,
                                              const std::optional<std::string>& agentUuid,
                                              const std::optional<std::string>& measurementUuid);

    // The local address (no port, no zone) of a connected socket; no value
    // for another family or on any failure.
    static std::optional<std::string> localIpFromSocket(const Poco::Net::Socket& socket);

    // Local address of the most recent string request that reached a server;
    // empty before the first.
    std::string lastLocalIp() const;

    // Connection, send and receive time-out for a time-out in milliseconds.
    static std::int64_t timeoutMicroseconds(std::uint32_t timeoutMs);

    static Poco::Logger& logger();

private:
    RequestService();
    ~RequestService();

    // Parses `body` and hands the value to `reader`; false on any exception.
    static bool readJsonBody(const std::string& body, const std::function<void(const boost::json::value&)>& reader);

    mutable std::mutex lastLocalIpMutex;
    std::string lastLocalIp_;
};

}  // namespace trevask::measurement_library
