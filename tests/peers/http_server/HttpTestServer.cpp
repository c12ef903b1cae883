#include "HttpTestServer.h"

#include "common/TestCertificate.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstring>
#include <stdexcept>

namespace lumivex::test {

namespace {

constexpr std::size_t kMaxHeadSize = 64 * 1024;
constexpr std::size_t kMaxBodySize = 64 * 1024 * 1024;

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::string trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t");
    return std::string(text.substr(first, last - first + 1));
}

const char* reasonFor(int status) {
    switch (status) {
        case 100: return "Continue";
        case 200: return "OK";
        case 201: return "Created";
        case 202: return "Accepted";
        case 204: return "No Content";
        case 301: return "Moved Permanently";
        case 302: return "Found";
        case 304: return "Not Modified";
        case 400: return "Bad Request";
        case 401: return "Unauthorized";
        case 403: return "Forbidden";
        case 404: return "Not Found";
        case 405: return "Method Not Allowed";
        case 500: return "Internal Server Error";
        case 502: return "Bad Gateway";
        case 503: return "Service Unavailable";
        default: return "Status";
    }
}

bool bodyAllowed(int status) { return status >= 200 && status != 204 && status != 304; }

std::string addressText(const sockaddr_storage& address, std::uint16_t& port) {
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET) {
        const auto& in = reinterpret_cast<const sockaddr_in&>(address);
        inet_ntop(AF_INET, &in.sin_addr, text, sizeof text);
        port = ntohs(in.sin_port);
    } else if (address.ss_family == AF_INET6) {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(address);
        inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof text);
        port = ntohs(in6.sin6_port);
    }
    return text;
}

void ignoreSigpipe() {
    // A client that hangs up before the reply is written must not end the test.
    static const bool once = [] {
        std::signal(SIGPIPE, SIG_IGN);
        return true;
    }();
    (void)once;
}

SSL_CTX* makeTlsContext() {
    const auto& credentials = lumivex::test_peers::sharedTestCertificate();
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    if (!ctx) throw std::runtime_error("SSL_CTX_new failed");
    BIO* certBio = BIO_new_mem_buf(credentials.certificatePem.data(), static_cast<int>(credentials.certificatePem.size()));
    BIO* keyBio = BIO_new_mem_buf(credentials.privateKeyPem.data(), static_cast<int>(credentials.privateKeyPem.size()));
    X509* cert = PEM_read_bio_X509(certBio, nullptr, nullptr, nullptr);
    EVP_PKEY* key = PEM_read_bio_PrivateKey(keyBio, nullptr, nullptr, nullptr);
    const bool ok = cert && key && SSL_CTX_use_certificate(ctx, cert) == 1 && SSL_CTX_use_PrivateKey(ctx, key) == 1;
    X509_free(cert);
    EVP_PKEY_free(key);
    BIO_free(certBio);
    BIO_free(keyBio);
    if (!ok) {
        SSL_CTX_free(ctx);
        throw std::runtime_error("cannot load the test certificate");
    }
    return ctx;
}

}  // namespace

// --- RecordedRequest -----------------------------------------------------------------

std::optional<std::string> RecordedRequest::header(std::string_view name) const {
    for (const auto& [key, value] : headers) {
        if (equalsIgnoreCase(key, name)) return value;
    }
    return std::nullopt;
}

std::size_t RecordedRequest::headerCount(std::string_view name) const {
    return static_cast<std::size_t>(
        std::count_if(headers.begin(), headers.end(), [&](const auto& h) { return equalsIgnoreCase(h.first, name); }));
}

// --- ScriptedReply -------------------------------------------------------------------

ScriptedReply ScriptedReply::json(int status, std::string body) {
    return text(status, std::move(body), "application/json");
}

ScriptedReply ScriptedReply::text(int status, std::string body, std::string contentType) {
    ScriptedReply reply;
    reply.status = status;
    reply.body = std::move(body);
    reply.headers.emplace_back("Content-Type", std::move(contentType));
    return reply;
}

ScriptedReply ScriptedReply::empty(int status) {
    ScriptedReply reply;
    reply.status = status;
    return reply;
}

ScriptedReply ScriptedReply::close() {
    ScriptedReply reply;
    reply.action = Action::Close;
    return reply;
}

ScriptedReply ScriptedReply::stallMidBody(int status, std::string partialBody) {
    ScriptedReply reply = text(status, std::move(partialBody));
    reply.action = Action::StallMidBody;
    return reply;
}

ScriptedReply ScriptedReply::drip(ScriptedReply reply, std::chrono::milliseconds interval) {
    reply.action = Action::Drip;
    reply.dripInterval = interval;
    return reply;
}

ScriptedReply ScriptedReply::stream(int status, std::size_t bytes) {
    ScriptedReply reply;
    reply.status = status;
    reply.action = Action::Stream;
    reply.streamBytes = bytes;
    reply.headers.emplace_back("Content-Type", "application/json");
    return reply;
}

ScriptedReply ScriptedReply::silent() {
    ScriptedReply reply;
    reply.action = Action::Silent;
    return reply;
}

ScriptedReply&& ScriptedReply::after(std::chrono::milliseconds wait) && {
    delay = wait;
    return std::move(*this);
}

ScriptedReply&& ScriptedReply::withHeader(std::string name, std::string value) && {
    headers.emplace_back(std::move(name), std::move(value));
    return std::move(*this);
}

// --- Connection ----------------------------------------------------------------------

class HttpTestServer::Connection {
public:
    Connection(int fd, SSL* ssl, std::string peerAddress, std::uint16_t peerPort)
        : peerAddress(std::move(peerAddress)), peerPort(peerPort), fd_(fd), ssl_(ssl) {}
    ~Connection() { close(); }

    const std::string peerAddress;
    const std::uint16_t peerPort;

    bool handshake() { return !ssl_ || SSL_accept(ssl_) == 1; }

    // Bytes read, 0 at the end of the stream or on any failure (time-out included).
    std::size_t read(char* data, std::size_t size) {
        if (ssl_) {
            const int n = SSL_read(ssl_, data, static_cast<int>(std::min<std::size_t>(size, 1 << 30)));
            return n > 0 ? static_cast<std::size_t>(n) : 0;
        }
        for (;;) {
            const ssize_t n = ::recv(fd_, data, size, 0);
            if (n < 0 && errno == EINTR) continue;
            return n > 0 ? static_cast<std::size_t>(n) : 0;
        }
    }

    bool write(std::string_view data) {
        while (!data.empty()) {
            if (ssl_) {
                const int n = SSL_write(ssl_, data.data(), static_cast<int>(std::min<std::size_t>(data.size(), 1 << 30)));
                if (n <= 0) return false;
                data.remove_prefix(static_cast<std::size_t>(n));
            } else {
                const ssize_t n = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) return false;
                data.remove_prefix(static_cast<std::size_t>(n));
            }
        }
        return true;
    }

    // Unblocks a thread that waits in read or write; safe from any thread.
    void interrupt() {
        std::lock_guard lock(mutex_);
        if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
    }

    void close(bool orderly = true) {
        std::lock_guard lock(mutex_);
        if (ssl_) {
            if (orderly) SSL_shutdown(ssl_);
            SSL_free(ssl_);
            ssl_ = nullptr;
        }
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }

private:
    std::mutex mutex_;
    int fd_;
    SSL* ssl_;
};

// --- HttpTestServer ------------------------------------------------------------------

HttpTestServer::HttpTestServer() : HttpTestServer(Options{}) {}

HttpTestServer::HttpTestServer(Options options) : options_(std::move(options)) {
    fallback_ = ScriptedReply::json(404, R"({"errors":"not found"})");
}

HttpTestServer::~HttpTestServer() {
    stop();
    if (tlsContext_) SSL_CTX_free(static_cast<SSL_CTX*>(tlsContext_));
}

void HttpTestServer::start() {
    ignoreSigpipe();
    if (options_.tls && !tlsContext_) tlsContext_ = makeTlsContext();

    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST | AI_PASSIVE;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(options_.bindAddress.c_str(), "0", &hints, &found) != 0 || !found) {
        throw std::runtime_error("cannot resolve bind address " + options_.bindAddress);
    }
    const int fd = ::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    const bool bound = fd >= 0 && ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
                       ::bind(fd, found->ai_addr, found->ai_addrlen) == 0 && ::listen(fd, 64) == 0;
    freeaddrinfo(found);
    if (!bound) {
        const std::string reason = std::strerror(errno);
        if (fd >= 0) ::close(fd);
        throw std::runtime_error("cannot listen on " + options_.bindAddress + ": " + reason);
    }
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    addressText(local, port_);
    listenFd_ = fd;
    {
        std::lock_guard lock(mutex_);
        stopping_ = false;
        started_ = true;
    }
    acceptThread_ = std::thread([this] { acceptLoop(); });
}

void HttpTestServer::stop() {
    std::vector<std::shared_ptr<Connection>> open;
    {
        std::lock_guard lock(mutex_);
        if (!started_) return;
        started_ = false;
        stopping_ = true;
        changed_.notify_all();
    }
    ::shutdown(listenFd_, SHUT_RDWR);
    if (acceptThread_.joinable()) acceptThread_.join();
    ::close(listenFd_);
    listenFd_ = -1;

    std::vector<std::thread> threads;
    {
        std::lock_guard lock(mutex_);
        for (auto& weak : connections_) {
            if (auto connection = weak.lock()) open.push_back(std::move(connection));
        }
        connections_.clear();
        threads.swap(connectionThreads_);
    }
    for (auto& connection : open) connection->interrupt();
    open.clear();
    for (auto& thread : threads) thread.join();
}

std::string HttpTestServer::baseUrl() const {
    const bool v6 = options_.bindAddress.find(':') != std::string::npos;
    std::string url = options_.tls ? "https://" : "http://";
    url += v6 ? "[" + options_.bindAddress + "]" : options_.bindAddress;
    url += ":" + std::to_string(port_);
    return url;
}

void HttpTestServer::on(std::string method, std::string path, ScriptedReply reply) {
    on(std::move(method), std::move(path), [reply = std::move(reply)](const RecordedRequest&) { return reply; });
}

void HttpTestServer::on(std::string method, std::string path, ReplyHandler handler) {
    std::lock_guard lock(mutex_);
    rules_.push_back(Rule{std::move(method), std::move(path), false, std::move(handler)});
}

void HttpTestServer::onPrefix(std::string method, std::string prefix, ReplyHandler handler) {
    std::lock_guard lock(mutex_);
    rules_.push_back(Rule{std::move(method), std::move(prefix), true, std::move(handler)});
}

void HttpTestServer::setFallback(ScriptedReply reply) {
    std::lock_guard lock(mutex_);
    fallback_ = std::move(reply);
}

void HttpTestServer::clearRules() {
    std::lock_guard lock(mutex_);
    rules_.clear();
}

void HttpTestServer::setCloseOnAccept(bool close) {
    std::lock_guard lock(mutex_);
    closeOnAccept_ = close;
}

std::vector<RecordedRequest> HttpTestServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::optional<RecordedRequest> HttpTestServer::lastRequest() const {
    std::lock_guard lock(mutex_);
    if (requests_.empty()) return std::nullopt;
    return requests_.back();
}

std::size_t HttpTestServer::requestCount() const {
    std::lock_guard lock(mutex_);
    return requests_.size();
}

bool HttpTestServer::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
}

void HttpTestServer::clearRequests() {
    std::lock_guard lock(mutex_);
    requests_.clear();
}

std::size_t HttpTestServer::connectionCount() const {
    std::lock_guard lock(mutex_);
    return connectionCount_;
}

bool HttpTestServer::pause(std::chrono::milliseconds wait) {
    std::unique_lock lock(mutex_);
    return !changed_.wait_for(lock, wait, [&] { return stopping_; });
}

ScriptedReply HttpTestServer::replyFor(const RecordedRequest& request) const {
    ReplyHandler handler;
    {
        std::lock_guard lock(mutex_);
        for (auto it = rules_.rbegin(); it != rules_.rend(); ++it) {
            const bool methodMatches = it->method == "*" || it->method == request.method;
            const bool pathMatches = it->prefix ? request.path.starts_with(it->path) : request.path == it->path;
            if (methodMatches && pathMatches) {
                handler = it->handler;
                break;
            }
        }
        if (!handler) return fallback_;
    }
    return handler(request);
}

void HttpTestServer::acceptLoop() {
    for (;;) {
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        const int fd = ::accept4(listenFd_, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
        if (fd < 0) {
            // EINTR, ECONNABORTED, a full descriptor table, or stop().
            if (pause(std::chrono::milliseconds(1))) continue;
            return;
        }
        std::lock_guard lock(mutex_);
        if (stopping_) {
            ::close(fd);
            return;
        }
        ++connectionCount_;
        if (closeOnAccept_) {
            // Reset rather than an orderly close: the client sees a refused exchange.
            linger hardClose{1, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hardClose, sizeof hardClose);
            ::close(fd);
            continue;
        }
        timeval io{};
        io.tv_sec = options_.ioTimeout.count() / 1000;
        io.tv_usec = (options_.ioTimeout.count() % 1000) * 1000;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &io, sizeof io);
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &io, sizeof io);

        SSL* ssl = nullptr;
        if (tlsContext_) {
            ssl = SSL_new(static_cast<SSL_CTX*>(tlsContext_));
            SSL_set_fd(ssl, fd);
        }
        std::uint16_t peerPort = 0;
        std::string peerAddress = addressText(peer, peerPort);
        auto connection = std::make_shared<Connection>(fd, ssl, std::move(peerAddress), peerPort);
        connections_.push_back(connection);
        connectionThreads_.emplace_back([this, connection]() mutable { serve(std::move(connection)); });
    }
}

namespace {

// Reads more bytes into `buffer`; false at the end of the stream.
template <typename Conn>
bool readMore(Conn& connection, std::string& buffer) {
    char chunk[16384];
    const std::size_t n = connection.read(chunk, sizeof chunk);
    if (n == 0) return false;
    buffer.append(chunk, n);
    return true;
}

template <typename Conn>
bool fill(Conn& connection, std::string& buffer, std::size_t needed) {
    while (buffer.size() < needed) {
        if (!readMore(connection, buffer)) return false;
    }
    return true;
}

template <typename Conn>
std::optional<std::string> takeLine(Conn& connection, std::string& buffer) {
    std::size_t end;
    while ((end = buffer.find("\r\n")) == std::string::npos) {
        if (buffer.size() > kMaxHeadSize || !readMore(connection, buffer)) return std::nullopt;
    }
    std::string line = buffer.substr(0, end);
    buffer.erase(0, end + 2);
    return line;
}

void splitTarget(RecordedRequest& request) {
    std::string_view rest = request.target;
    if (rest.starts_with("http://") || rest.starts_with("https://")) {
        rest.remove_prefix(rest.find("//") + 2);
        const auto slash = rest.find_first_of("/?");
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
    }
    const auto question = rest.find('?');
    request.path = std::string(rest.substr(0, question));
    if (question != std::string_view::npos) request.query = std::string(rest.substr(question + 1));
    if (request.path.empty()) request.path = "/";
}

}  // namespace

void HttpTestServer::serve(std::shared_ptr<Connection> connection) {
    if (!connection->handshake()) {
        connection->close(false);
        return;
    }
    std::string buffer;
    for (;;) {
        // Head.
        std::size_t headEnd;
        while ((headEnd = buffer.find("\r\n\r\n")) == std::string::npos) {
            if (buffer.size() > kMaxHeadSize || !readMore(*connection, buffer)) {
                connection->close();
                return;
            }
        }
        RecordedRequest request;
        request.tls = tlsContext_ != nullptr;
        {
            std::string_view head(buffer.data(), headEnd);
            const auto lineEnd = head.find("\r\n");
            std::string_view requestLine = head.substr(0, lineEnd);
            const auto firstSpace = requestLine.find(' ');
            const auto lastSpace = requestLine.rfind(' ');
            if (firstSpace == std::string_view::npos || lastSpace == firstSpace) {
                connection->close();
                return;
            }
            request.method = std::string(requestLine.substr(0, firstSpace));
            request.target = std::string(requestLine.substr(firstSpace + 1, lastSpace - firstSpace - 1));
            request.version = std::string(requestLine.substr(lastSpace + 1));
            std::string_view fields = lineEnd == std::string_view::npos ? std::string_view() : head.substr(lineEnd + 2);
            while (!fields.empty()) {
                const auto end = fields.find("\r\n");
                std::string_view line = fields.substr(0, end);
                fields = end == std::string_view::npos ? std::string_view() : fields.substr(end + 2);
                const auto colon = line.find(':');
                if (colon == std::string_view::npos) continue;
                request.headers.emplace_back(std::string(line.substr(0, colon)), trim(line.substr(colon + 1)));
            }
        }
        buffer.erase(0, headEnd + 4);
        splitTarget(request);

        // Body.
        const auto transferEncoding = request.header("Transfer-Encoding");
        if (transferEncoding && equalsIgnoreCase(trim(*transferEncoding), "chunked")) {
            for (;;) {
                auto sizeLine = takeLine(*connection, buffer);
                if (!sizeLine) {
                    connection->close();
                    return;
                }
                const std::size_t size = std::strtoull(sizeLine->c_str(), nullptr, 16);
                if (size == 0) {
                    // Trailers up to the empty line.
                    for (;;) {
                        auto trailer = takeLine(*connection, buffer);
                        if (!trailer) {
                            connection->close();
                            return;
                        }
                        if (trailer->empty()) break;
                    }
                    break;
                }
                if (request.body.size() + size > kMaxBodySize || !fill(*connection, buffer, size + 2)) {
                    connection->close();
                    return;
                }
                request.body.append(buffer, 0, size);
                buffer.erase(0, size + 2);
            }
        } else if (const auto contentLength = request.header("Content-Length")) {
            const std::size_t size = std::strtoull(contentLength->c_str(), nullptr, 10);
            if (size > kMaxBodySize || !fill(*connection, buffer, size)) {
                connection->close();
                return;
            }
            request.body = buffer.substr(0, size);
            buffer.erase(0, size);
        }

        request.peerAddress = connection->peerAddress;
        request.peerPort = connection->peerPort;
        const bool closeAfter = request.version == "HTTP/1.0" ||
                                (request.header("Connection") && equalsIgnoreCase(*request.header("Connection"), "close"));
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(request);
            changed_.notify_all();
        }

        const ScriptedReply reply = replyFor(request);
        switch (reply.action) {
            case ScriptedReply::Action::Close:
                pause(reply.delay);
                connection->close(false);
                return;
            case ScriptedReply::Action::Silent: {
                std::unique_lock lock(mutex_);
                changed_.wait(lock, [&] { return stopping_; });
                lock.unlock();
                connection->close(false);
                return;
            }
            case ScriptedReply::Action::Answer:
            case ScriptedReply::Action::StallMidBody:
            case ScriptedReply::Action::Drip:
            case ScriptedReply::Action::Stream:
                break;
        }
        if (!pause(reply.delay)) {
            connection->close(false);
            return;
        }
        std::string out = "HTTP/1.1 " + std::to_string(reply.status) + " " +
                          (reply.reason.empty() ? reasonFor(reply.status) : reply.reason) + "\r\n";
        for (const auto& [name, value] : reply.headers) out += name + ": " + value + "\r\n";
        if (reply.action == ScriptedReply::Action::Stream) {
            // Filler chunks until the byte count is reached, the client
            // goes away or the server stops.
            out += "Transfer-Encoding: chunked\r\n\r\n";
            const std::string chunk = "10000\r\n" + std::string(0x10000, ' ') + "\r\n";
            bool open = connection->write(out);
            std::size_t sent = 0;
            while (open && (reply.streamBytes == 0 || sent < reply.streamBytes)) {
                {
                    std::lock_guard lock(mutex_);
                    if (stopping_) break;
                }
                open = connection->write(chunk);
                sent += 0x10000;
            }
            if (open && reply.streamBytes != 0) connection->write("0\r\n\r\n");
            connection->close(false);
            return;
        }
        const bool withBody = bodyAllowed(reply.status);
        const bool stall = reply.action == ScriptedReply::Action::StallMidBody;
        const std::size_t announced = reply.body.size() + (stall ? 1024 : 0);
        if (withBody && reply.contentLength) out += "Content-Length: " + std::to_string(announced) + "\r\n";
        out += "\r\n";
        if (request.method != "HEAD" && withBody) out += reply.body;
        if (reply.action == ScriptedReply::Action::Drip) {
            for (char c : out) {
                if (!connection->write(std::string_view(&c, 1)) || !pause(reply.dripInterval)) break;
            }
            connection->close(false);
            return;
        }
        if (stall) {
            connection->write(out);
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [&] { return stopping_; });
            lock.unlock();
            connection->close(false);
            return;
        }
        if (!connection->write(out) || !reply.contentLength || closeAfter) {
            connection->close();
            return;
        }
    }
}

}  // namespace lumivex::test
