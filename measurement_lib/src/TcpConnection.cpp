#include "TcpConnection.h"

#include <cstring>
#include <optional>
#include <vector>
#include <stdexcept>

#include <Poco/Format.h>
#include <Poco/Logger.h>
#include <boost/asio/bind_executor.hpp>
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/write.hpp>

#include "NameResolution.h"
#include "helper/SentryHelper.h"

namespace trevask::measurement_library {

namespace asio = boost::asio;
namespace ssl = boost::asio::ssl;
using tcp = boost::asio::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

// now + timeout without overflowing the clock's range.
Clock::time_point saturatingAdd(Clock::time_point now, std::chrono::nanoseconds timeout) {
    const auto headroom = Clock::time_point::max() - now;
    if (timeout >= headroom) return Clock::time_point::max();
    return now + std::chrono::duration_cast<Clock::duration>(timeout);
}

}  // namespace

Poco::Logger& TcpConnection::logger() {
    static Poco::Logger& instance = Poco::Logger::get("TcpConnection");
    return instance;
}

struct TcpConnection::Impl {
    Impl(std::string h, int32_t p, bool tls, std::string name)
        : useTls(tls), port(p), host(std::move(h)), connectionName(std::move(name)) {
        identity = connectionName + "_" + host + ":" + std::to_string(port);
    }

    asio::io_context ios;
    std::string readBuffer;
    std::unique_ptr<tcp::socket> socket;
    std::unique_ptr<ssl::stream<tcp::socket>> tlsStream;
    bool useTls;
    int32_t port;
    std::string host;
    std::string connectionName;
    std::string identity;
    asio::strand<asio::io_context::executor_type> strand{asio::make_strand(ios)};
    std::optional<std::chrono::nanoseconds> ioTimeout;
    std::optional<Clock::time_point> deadline;
    // First read failure; later reads fail with it at once (a stream socket
    // at its end is not reported again by the reactor).
    boost::system::error_code readFailure;
    bool timedOut = false;
    bool lastReadFailed = false;

    tcp::socket* lowest() {
        if (socket) return socket.get();
        if (tlsStream) return &tlsStream->next_layer();
        return nullptr;
    }

    Clock::time_point operationEnd() const {
        const auto now = Clock::now();
        if (!ioTimeout) return deadline ? *deadline : saturatingAdd(now, kDefaultIoTimeout);
        auto end = ioTimeout->count() <= 0 ? now : saturatingAdd(now, *ioTimeout);
        if (deadline && *deadline < end) end = *deadline;
        return end;
    }

    void closeQuietly() {
        if (auto* s = lowest(); s && s->is_open()) {
            boost::system::error_code ignored;
            s->close(ignored);
        }
    }

    // Starts one asynchronous operation through `start` and runs the I/O
    // context on this thread until it completes or `until` has passed. On
    // expiry the socket is closed, the cancelled operation is drained and
    // the result is timed_out.
    template <class Start>
    boost::system::error_code runBounded(Clock::time_point until, Start&& start) {
        struct Outcome {
            bool done = false;
            boost::system::error_code error;
        };
        auto outcome = std::make_shared<Outcome>();
        ios.restart();
        start([outcome](const boost::system::error_code& error, std::size_t) {
            outcome->done = true;
            outcome->error = error;
        });
        if (until > Clock::now()) ios.run_until(until);
        if (outcome->done) return outcome->error;
        closeQuietly();
        ios.restart();
        ios.run();
        timedOut = true;
        return asio::error::timed_out;
    }

    // Reads into readBuffer until it holds "\n", bounded by `until`;
    // not_found when kMaxLineLength + 1 bytes came without one.
    boost::system::error_code readToLineEnd(Clock::time_point until) {
        auto buffer = asio::dynamic_buffer(readBuffer, kMaxLineLength + 1);
        return runBounded(until, [&](auto handler) {
            if (socket)
                asio::async_read_until(*socket, buffer, '\n', handler);
            else
                asio::async_read_until(*tlsStream, buffer, '\n', handler);
        });
    }
};

TcpConnection::TcpConnection(std::string host, int32_t port, bool useTls, std::string connectionName)
    : d(std::make_unique<Impl>(std::move(host), port, useTls, std::move(connectionName))) {}

TcpConnection::~TcpConnection() = default;

void TcpConnection::setIoTimeout(std::chrono::nanoseconds timeout) { d->ioTimeout = timeout; }

void TcpConnection::setDeadline(std::chrono::steady_clock::time_point deadline) { d->deadline = deadline; }

bool TcpConnection::lastReadFailed() const { return d->lastReadFailed; }

bool TcpConnection::hasStream() const { return d->socket != nullptr || d->tlsStream != nullptr; }

const std::string& TcpConnection::connectionIdentity() const { return d->identity; }

const std::string& TcpConnection::host() const { return d->host; }

int32_t TcpConnection::port() const { return d->port; }

bool TcpConnection::hasTimedOut() const { return d->timedOut; }

std::string TcpConnection::takeReadBuffer() {
    std::string rest;
    rest.swap(d->readBuffer);
    return rest;
}

bool TcpConnection::usesTls() const { return d->useTls; }

bool TcpConnection::connect() {
    const std::string& id = d->identity;
    poco_information_f4(logger(), "|%s| connect with host: '%s', port: '%s', tls: %s", id, d->host,
                        std::to_string(d->port), std::string(d->useTls ? "true" : "false"));
    try {
        // A new attempt starts with a clean slate.
        d->readFailure = {};
        d->timedOut = false;
        d->lastReadFailed = false;
        d->readBuffer.clear();
        // One bound for the whole connect: resolution, connect and handshake.
        const auto until = d->operationEnd();
        poco_information_f1(logger(), "|%s| before resolve", id);
        boost::system::error_code resolveError;
        const auto resolved = resolveHost(d->host, d->port, SocketKind::Stream, until, resolveError);
        if (resolveError) {
            if (resolveError == resolutionTimedOut()) d->timedOut = true;
            throw boost::system::system_error(resolveError, "resolve");
        }
        std::vector<tcp::endpoint> endpoints(resolved.size());
        for (std::size_t i = 0; i < resolved.size(); ++i) {
            std::memcpy(endpoints[i].data(), &resolved[i].address, resolved[i].length);
            endpoints[i].resize(resolved[i].length);
        }
        poco_information_f1(logger(), "|%s| after resolve", id);

        auto connectStep = [&](tcp::socket& socket) {
            const auto error = d->runBounded(until, [&](auto handler) {
                asio::async_connect(socket, endpoints,
                                    [handler](const boost::system::error_code& e, const tcp::endpoint&) { handler(e, 0); });
            });
            if (error) throw boost::system::system_error(error, "connect");
        };

        if (d->useTls) {
            poco_information_f1(logger(), "|%s| use tls", id);
            ssl::context context(ssl::context::tls_client);
            context.set_options(ssl::context::default_workarounds | ssl::context::no_compression);
            context.set_verify_mode(ssl::verify_none);
            d->tlsStream = std::make_unique<ssl::stream<tcp::socket>>(d->ios, context);
            connectStep(d->tlsStream->next_layer());
            d->tlsStream->next_layer().set_option(tcp::no_delay(true));
            const auto error = d->runBounded(until, [&](auto handler) {
                d->tlsStream->async_handshake(ssl::stream_base::client,
                                              [handler](const boost::system::error_code& e) { handler(e, 0); });
            });
            if (error) throw boost::system::system_error(error, "handshake");
        } else {
            poco_information_f1(logger(), "|%s| NO TLS", id);
            d->socket = std::make_unique<tcp::socket>(d->ios);
            poco_information_f1(logger(), "|%s| after no-tls socket make_unique", id);
            connectStep(*d->socket);
            poco_information_f1(logger(), "|%s| after no-tls socket connect", id);
        }
        poco_information_f1(logger(), "|%s| connect ret true", id);
        return true;
    } catch (const std::exception& e) {
        poco_error_f2(logger(), "|%s|: Exception while establishing TCP connection: %s", id, std::string(e.what()));
        SentryHelper::captureException(e);
        poco_information_f1(logger(), "|%s| RET FALSE", id);
        return false;
    }
}

bool TcpConnection::readOneLine(std::string& line, Clock::time_point until, boost::system::error_code& error) {
    auto end = d->readBuffer.find('\n');
    if (end == std::string::npos) {
        if (d->readFailure) {
            error = d->readFailure;
            return false;
        }
        error = d->readToLineEnd(until);
        if (error == asio::error::not_found) {
            // The buffer is full without a line end: this line is dropped
            // (rather than the buffer grown) and the stream stays usable.
            if (!skipRestOfLine(until, error)) {
                d->readFailure = error;
                return false;
            }
            error = asio::error::message_size;
            return false;
        }
        if (error) {
            d->readFailure = error;
            return false;
        }
        end = d->readBuffer.find('\n');
    }
    line.assign(d->readBuffer, 0, end);
    d->readBuffer.erase(0, end + 1);
    return true;
}

bool TcpConnection::skipRestOfLine(Clock::time_point until, boost::system::error_code& error) {
    while (true) {
        d->readBuffer.clear();
        error = d->readToLineEnd(until);
        if (error == asio::error::not_found) continue;
        if (error) return false;
        d->readBuffer.erase(0, d->readBuffer.find('\n') + 1);
        return true;
    }
}

std::string TcpConnection::readLine() {
    if (!hasStream()) return {};
    std::string line;
    boost::system::error_code error;
    d->lastReadFailed = !readOneLine(line, d->operationEnd(), error);
    if (!d->lastReadFailed) return line;
    poco_error_f2(logger(), "|%s| Could not read line, error: %s", d->identity, error.message());
    SentryHelper::captureException(boost::system::system_error(error, "readLine"));
    return {};
}

std::string TcpConnection::readMultiLine() {
    if (!hasStream()) return {};
    const auto until = d->operationEnd();
    std::string answer;
    boost::system::error_code error;
    std::string line;
    d->lastReadFailed = true;
    while (readOneLine(line, until, error)) {
        if (answer.size() + line.size() + 1 > kMaxLineLength + 1) {
            // One message is held to the same bound as one line.
            error = asio::error::message_size;
            break;
        }
        answer += line;
        answer += '\n';
        if (line.empty()) {
            d->lastReadFailed = false;
            return answer;
        }
    }
    poco_error_f2(logger(), "|%s| Could not read line, error: %s", d->identity, error.message());
    SentryHelper::captureException(boost::system::system_error(error, "readMultiLine"));
    return {};
}

void TcpConnection::writeAll(const std::string& data, const char* operation) {
    const auto error = d->runBounded(d->operationEnd(), [&](auto handler) {
        if (d->socket)
            asio::async_write(*d->socket, asio::buffer(data), handler);
        else
            asio::async_write(*d->tlsStream, asio::buffer(data), handler);
    });
    if (!error) return;
    poco_error_f2(logger(), "|%s| Could not write message, error: %s", d->identity, error.message());
    throw boost::system::system_error(error, operation);
}

void TcpConnection::sendMessage(std::string message) {
    if (!hasStream()) return;
    message += '\n';
    try {
        writeAll(message, "sendMessage");
    } catch (const std::exception& e) {
        SentryHelper::captureException(e);
    }
}

void TcpConnection::sendMessageWithoutEndl(std::string message) {
    if (!hasStream()) return;
    try {
        writeAll(message, "sendMessageWithoutEndl");
    } catch (const std::exception& e) {
        SentryHelper::captureException(e);
    }
}

void TcpConnection::asyncReadLine(std::string& buffer, IoHandler handler) {
    auto dynamic = asio::dynamic_buffer(buffer, kMaxLineLength + 1);
    auto bound = asio::bind_executor(d->strand, std::move(handler));
    if (d->socket)
        asio::async_read_until(*d->socket, dynamic, '\n', std::move(bound));
    else if (d->tlsStream)
        asio::async_read_until(*d->tlsStream, dynamic, '\n', std::move(bound));
    else
        asio::post(d->strand, [bound]() mutable { bound(asio::error::bad_descriptor, 0); });
}

void TcpConnection::asyncWrite(std::shared_ptr<const std::string> data, IoHandler handler) {
    auto bound = asio::bind_executor(d->strand, [data, handler = std::move(handler)](
                                                    const boost::system::error_code& e, std::size_t n) { handler(e, n); });
    if (d->socket)
        asio::async_write(*d->socket, asio::buffer(*data), std::move(bound));
    else if (d->tlsStream)
        asio::async_write(*d->tlsStream, asio::buffer(*data), std::move(bound));
    else
        asio::post(d->strand, [bound]() mutable { bound(asio::error::bad_descriptor, 0); });
}

void TcpConnection::postToStrand(std::function<void()> function) { asio::post(d->strand, std::move(function)); }

void TcpConnection::shutdownAndClose() {
    auto* socket = d->lowest();
    if (!socket || !socket->is_open()) return;
    boost::system::error_code ignored;
    socket->shutdown(tcp::socket::shutdown_both, ignored);
    socket->close(ignored);
}

void TcpConnection::runIoContext() {
    d->ios.restart();
    d->ios.run();
}

}  // namespace trevask::measurement_library
