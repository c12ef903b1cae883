#include "service/HttpSessions.h"

#include <Poco/Exception.h>
#include <Poco/Logger.h>
#include <Poco/Net/Context.h>
#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/HTTPSClientSession.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/NetSSL.h>
#include <Poco/Net/RejectCertificateHandler.h>
#include <Poco/Net/SSLManager.h>
#include <Poco/Net/SecureStreamSocket.h>
#include <Poco/Net/SocketImpl.h>
#include <Poco/Timespan.h>
#include <Poco/URI.h>

#include <boost/json.hpp>

#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <type_traits>

namespace trevask::measurement_library {

namespace {

constexpr const char* kCiphers = "ALL:!ADH:!LOW:!EXP:!MD5:@STRENGTH";

// The contexts are made once. Strict verification: the relaxed mode skips
// the name check for any host that resolves to a loopback address. The process-wide client defaults of the TLS
// manager are the verifying ones, so that no other user of the networking
// library inherits an accept-any default; a certificate that fails the
// check is rejected, never waved through.
struct TlsContexts {
    Poco::Net::Context::Ptr verify;
    Poco::Net::Context::Ptr acceptAny;

    TlsContexts() {
        Poco::Net::initializeSSL();
        verify = new Poco::Net::Context(Poco::Net::Context::TLS_CLIENT_USE, "", "", "",
                                        Poco::Net::Context::VERIFY_STRICT, 9, true, kCiphers);
        verify->requireMinimumProtocol(Poco::Net::Context::PROTO_TLSV1);
        acceptAny = new Poco::Net::Context(Poco::Net::Context::TLS_CLIENT_USE, "", Poco::Net::Context::VERIFY_NONE, 9,
                                           false, kCiphers);
        acceptAny->requireMinimumProtocol(Poco::Net::Context::PROTO_TLSV1);
        Poco::SharedPtr<Poco::Net::InvalidCertificateHandler> reject = new Poco::Net::RejectCertificateHandler(false);
        Poco::Net::SSLManager::instance().initializeClient(nullptr, reject, verify);
    }
};

const TlsContexts& tlsContexts() {
    static const TlsContexts contexts;
    return contexts;
}

}  // namespace

// Cuts the connection of one exchange when its time is up. It keeps its own
// descriptor of the socket, so cutting never touches a descriptor number
// that the session has closed and the process reused meanwhile.
class Deadline {
public:
    explicit Deadline(std::chrono::milliseconds timeout) : at_(std::chrono::steady_clock::now() + timeout) {
        thread_ = std::thread([this] { run(); });
    }
    ~Deadline() {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        changed_.notify_all();
        thread_.join();
        if (fd_ >= 0) ::close(fd_);
    }
    Deadline(const Deadline&) = delete;
    Deadline& operator=(const Deadline&) = delete;

    // Watches the connected socket `fd`.
    void watch(int fd) {
        if (fd < 0) return;
        std::lock_guard lock(mutex_);
        if (fd_ >= 0) ::close(fd_);
        fd_ = ::dup(fd);
        if (expired_ && fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
    }
    bool expired() const {
        std::lock_guard lock(mutex_);
        return expired_ || std::chrono::steady_clock::now() >= at_;
    }

private:
    void run() {
        std::unique_lock lock(mutex_);
        if (changed_.wait_until(lock, at_, [this] { return done_; })) return;
        expired_ = true;
        // Blocked reads and writes of the session return at once.
        if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
    }

    const std::chrono::steady_clock::time_point at_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool done_ = false;
    bool expired_ = false;
    int fd_ = -1;
    std::thread thread_;
};

namespace {

// A session that hands its socket to the deadline as soon as it is
// connected (for HTTPS before the handshake, which is made lazily).
template <typename Base>
class DeadlineSession : public Base {
public:
    template <typename... Args>
    explicit DeadlineSession(std::shared_ptr<Deadline> deadline, Args&&... args)
        : Base(std::forward<Args>(args)...), deadline_(std::move(deadline)) {}

protected:
    void connect(const Poco::Net::SocketAddress& address) override {
        Base::connect(address);
        deadline_->watch(this->socket().impl()->sockfd());
        if constexpr (std::is_same_v<Base, Poco::Net::HTTPSClientSession>) {
            // The handshake, now under the deadline, and the check of the
            // certificate's names against the host (a lazy handshake leaves
            // that check out). A context that accepts any certificate
            // passes it.
            Poco::Net::SecureStreamSocket secure(this->socket());
            secure.completeHandshake();
            secure.verifyPeerCertificate();
        }
    }

private:
    std::shared_ptr<Deadline> deadline_;
};

}  // namespace

CertificateCheck backendCertificateCheck(Poco::Logger& logger, const std::string& url) {
    const char* value = std::getenv(kInsecureBackendTlsVariable);
    if (value == nullptr || std::string(value) != "1") return CertificateCheck::Verify;
    if (url.rfind("https:", 0) == 0 || url.rfind("HTTPS:", 0) == 0) {
        logger.warning("The server certificate of %s is not checked (%s=1; for test back ends only)", url,
                       std::string(kInsecureBackendTlsVariable));
    }
    return CertificateCheck::AcceptAny;
}

BoundedExchange::BoundedExchange(const Poco::URI& uri, CertificateCheck check, std::chrono::milliseconds timeout)
    : url_(uri.toString()), timeout_(timeout) {
    const std::string& scheme = uri.getScheme();
    if (scheme != "http" && scheme != "https") throw Poco::UnknownURISchemeException(scheme);
    deadline_ = std::make_shared<Deadline>(timeout);
    if (scheme == "https") {
        const auto& contexts = tlsContexts();
        Poco::Net::SecureStreamSocket socket(check == CertificateCheck::Verify ? contexts.verify : contexts.acceptAny);
        socket.setLazyHandshake(true);
        auto session = std::make_unique<DeadlineSession<Poco::Net::HTTPSClientSession>>(deadline_, socket);
        session->setHost(uri.getHost());
        session->setPort(uri.getPort());
        session_ = std::move(session);
    } else {
        session_ =
            std::make_unique<DeadlineSession<Poco::Net::HTTPClientSession>>(deadline_, uri.getHost(), uri.getPort());
    }
    // No single step may take longer than the whole exchange.
    const Poco::Timespan span(static_cast<Poco::Timespan::TimeDiff>(timeout.count()) * 1000);
    session_->setTimeout(span, span, span);
}

BoundedExchange::~BoundedExchange() {
    // The watcher ends first, then the session closes its socket.
    deadline_.reset();
    session_.reset();
}

void BoundedExchange::checkDeadline() const {
    if (deadline_->expired()) {
        throw Poco::TimeoutException("no complete answer from " + url_ + " within " +
                                     std::to_string(timeout_.count()) + " ms");
    }
}

namespace {

// Runs one step; a failure caused by the cut connection is reported as
// the time-out it is.
template <typename Step>
auto bounded(const BoundedExchange& exchange, Step&& step) -> decltype(step()) {
    try {
        exchange.checkDeadline();
        return step();
    } catch (const Poco::TimeoutException&) {
        throw;
    } catch (const Poco::Exception&) {
        exchange.checkDeadline();
        throw;
    }
}

}  // namespace

std::ostream& BoundedExchange::sendRequest(Poco::Net::HTTPRequest& request) {
    return bounded(*this, [&]() -> std::ostream& { return session_->sendRequest(request); });
}

void BoundedExchange::sendBody(std::ostream& stream, const std::string& body) {
    bounded(*this, [&] {
        if (!body.empty()) stream.write(body.data(), static_cast<std::streamsize>(body.size()));
        stream.flush();
        if (const Poco::Exception* error = session_->networkException()) error->rethrow();
        if (stream.bad()) throw Poco::IOException("the request could not be sent completely");
    });
    checkDeadline();
}

std::istream& BoundedExchange::receiveResponse(Poco::Net::HTTPResponse& response) {
    return bounded(*this, [&]() -> std::istream& { return session_->receiveResponse(response); });
}

std::string BoundedExchange::readBody(std::istream& stream, std::size_t limit) {
    return bounded(*this, [&] {
        std::string body;
        char buffer[8192];
        while (stream) {
            stream.read(buffer, sizeof buffer);
            const auto got = static_cast<std::size_t>(stream.gcount());
            if (got == 0) break;
            if (body.size() + got > limit) {
                throw Poco::Net::MessageException("the answer of " + url_ + " is larger than " +
                                                  std::to_string(limit) + " bytes");
            }
            body.append(buffer, got);
        }
        // The body streams swallow socket errors and only mark the session;
        // a cut body must not pass for a complete one.
        checkDeadline();
        if (const Poco::Exception* error = session_->networkException()) error->rethrow();
        if (stream.bad()) throw Poco::IOException("the answer of " + url_ + " could not be read completely");
        return body;
    });
}

std::string errorMessageOf(const std::string& body) {
    constexpr std::size_t kMaxMessage = 300;
    std::string message;
    try {
        boost::json::error_code error;
        const boost::json::value value = boost::json::parse(body, error);
        if (error || !value.is_object()) return std::string();
        const auto& object = value.as_object();
        for (const char* key : {"errors", "error", "message"}) {
            const auto* entry = object.if_contains(key);
            if (entry == nullptr || entry->is_null()) continue;
            if (entry->is_string()) {
                message = std::string(entry->as_string());
            } else if (entry->is_array()) {
                for (const auto& item : entry->as_array()) {
                    if (!message.empty()) message += "; ";
                    message += item.is_string() ? std::string(item.as_string()) : boost::json::serialize(item);
                }
            } else {
                message = boost::json::serialize(*entry);
            }
            break;
        }
    } catch (const std::exception&) {
        return std::string();
    }
    if (message.size() > kMaxMessage) message = message.substr(0, kMaxMessage) + "...";
    return message;
}

std::string describeHttpFailure(int status, const std::string& reason, const std::string& body) {
    std::string text = "HTTP " + std::to_string(status);
    if (!reason.empty()) text += " " + reason;
    const std::string message = errorMessageOf(body);
    if (!message.empty()) text += ": " + message;
    return text;
}

}  // namespace trevask::measurement_library
