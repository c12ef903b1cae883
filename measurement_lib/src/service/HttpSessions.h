#pragma once
// The HTTP and HTTPS exchanges of the back-end request layers: certificate
// policy, one overall deadline per exchange and a bound on the answer's body.
// Included only by the request layers' sources.

#include <chrono>
#include <cstddef>
#include <istream>
#include <memory>
#include <string>

namespace Poco {
class Logger;
class URI;
namespace Net {
class HTTPClientSession;
class HTTPRequest;
class HTTPResponse;
}  // namespace Net
}  // namespace Poco

namespace trevask::measurement_library {

// How an HTTPS exchange treats the server's certificate.
enum class CertificateCheck {
    // Verified against the system's trust store, host name included.
    Verify,
    // Any certificate (self-signed test servers; the HTTP proxy task).
    AcceptAny,
};

// Setting LUMIVEX_INSECURE_BACKEND_TLS=1 turns the back end's certificate
// check off, for test back ends with self-signed certificates.
inline constexpr const char* kInsecureBackendTlsVariable = "LUMIVEX_INSECURE_BACKEND_TLS";

// The check for a back-end request to `url`: Verify, unless the variable
// above is "1"; each time that opt-out is used for an https URL, a warning
// goes to `logger`.
CertificateCheck backendCertificateCheck(Poco::Logger& logger, const std::string& url);

// Bound of an answer's body, far above any real back-end answer.
inline constexpr std::size_t kMaxResponseBodyBytes = std::size_t{16} << 20;

class Deadline;

// One request and its answer on a fresh connection, bounded as a whole: the
// time-out covers connecting, the TLS handshake, sending and the complete
// answer. When it passes, the connection is cut and the step under way fails
// with Poco::TimeoutException. Schemes other than "http" and "https" fail
// with Poco::UnknownURISchemeException.
class BoundedExchange {
public:
    BoundedExchange(const Poco::URI& uri, CertificateCheck check, std::chrono::milliseconds timeout);
    ~BoundedExchange();
    BoundedExchange(const BoundedExchange&) = delete;
    BoundedExchange& operator=(const BoundedExchange&) = delete;

    Poco::Net::HTTPClientSession& session() { return *session_; }

    std::ostream& sendRequest(Poco::Net::HTTPRequest& request);
    // Writes the body and flushes; a failure recorded by the stream is raised.
    void sendBody(std::ostream& stream, const std::string& body);
    std::istream& receiveResponse(Poco::Net::HTTPResponse& response);
    // The whole body; throws when it is larger than `limit`, cut short, or
    // not complete before the deadline.
    std::string readBody(std::istream& stream, std::size_t limit = kMaxResponseBodyBytes);

    // Throws Poco::TimeoutException once the deadline has passed.
    void checkDeadline() const;

private:
    std::string url_;
    std::chrono::milliseconds timeout_;
    std::shared_ptr<Deadline> deadline_;
    std::unique_ptr<Poco::Net::HTTPClientSession> session_;
};

// A short text for a failed answer: "HTTP <status> <reason>", then ": " and
// the error message the body carries ("errors", "error" or "message"; at
// most a few hundred characters), when it carries one.
std::string describeHttpFailure(int status, const std::string& reason, const std::string& body);

// The error message a JSON body carries, or an empty text.
std::string errorMessageOf(const std::string& body);

}  // namespace trevask::measurement_library
