#include "Probe.h"

#include <Poco/Exception.h>
#include <Poco/Net/Context.h>
#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/HTTPSClientSession.h>
#include <Poco/Net/NetException.h>
#include <Poco/Net/SSLException.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/URI.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

namespace lumivex::cli {

namespace {

std::string seconds(std::chrono::milliseconds bound) {
    const auto ms = bound.count();
    return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

std::string addressText(const sockaddr* address) {
    char host[NI_MAXHOST] = "";
    char port[NI_MAXSERV] = "";
    if (::getnameinfo(address, address->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in), host,
                      sizeof host, port, sizeof port, NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
        return "?";
    }
    return address->sa_family == AF_INET6 ? "[" + std::string(host) + "]:" + port : std::string(host) + ":" + port;
}

// Connects to one address within `bound`: empty on success, else the cause.
std::string tryConnect(const addrinfo& a, std::chrono::milliseconds bound) {
    const std::string where = addressText(a.ai_addr);
    const int fd = ::socket(a.ai_family, a.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a.ai_protocol);
    if (fd < 0) return std::string("cannot open a socket: ") + std::strerror(errno);
    int error = 0;
    if (::connect(fd, a.ai_addr, a.ai_addrlen) != 0) {
        error = errno;
        if (error == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            const int n = ::poll(&p, 1, static_cast<int>(bound.count()));
            if (n == 0) {
                ::close(fd);
                return "no answer within " + seconds(bound) + " from " + where + " (connecting)";
            }
            socklen_t length = sizeof error;
            if (n < 0 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
        }
    }
    ::close(fd);
    if (error == 0) return std::string();
    if (error == ECONNREFUSED) return "connection refused by " + where;
    return "cannot connect to " + where + ": " + std::strerror(error);
}

}  // namespace

ProbeResult probe(const std::string& url, const std::string& body, std::chrono::milliseconds bound) {
    ProbeResult result;
    Poco::URI uri;
    try {
        uri = Poco::URI(url);
    } catch (const Poco::Exception& e) {
        result.cause = "the URL " + url + " is not valid: " + e.message();
        return result;
    }
    const bool tls = uri.getScheme() == "https";
    if (uri.getHost().empty() || (!tls && uri.getScheme() != "http")) {
        result.cause = "the URL " + url + " names no http:// or https:// host";
        return result;
    }

    // The name first, then each of its addresses: the two causes the HTTP
    // client would blur into one.
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_ADDRCONFIG;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(uri.getPort());
    const int rc = ::getaddrinfo(uri.getHost().c_str(), port.c_str(), &hints, &found);
    if (rc != 0) {
        result.cause = "cannot resolve " + uri.getHost() +
                       (rc == EAI_NONAME || rc == EAI_NODATA ? std::string() : " (" + std::string(::gai_strerror(rc)) + ")");
        return result;
    }
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(found, &::freeaddrinfo);
    std::string firstCause;
    std::string reachable;
    for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
        std::string cause = tryConnect(*a, bound);
        if (cause.empty()) {
            reachable = addressText(a->ai_addr);
            break;
        }
        if (firstCause.empty()) firstCause = cause;
    }
    if (reachable.empty()) {
        result.cause = firstCause.empty() ? "no address for " + uri.getHost() : firstCause;
        return result;
    }

    // One request, as the agent would send it.
    try {
        std::unique_ptr<Poco::Net::HTTPClientSession> session;
        if (tls) {
            Poco::Net::Context::Ptr context = new Poco::Net::Context(Poco::Net::Context::TLS_CLIENT_USE, "", "", "",
                                                                     Poco::Net::Context::VERIFY_RELAXED, 9, true);
            session = std::make_unique<Poco::Net::HTTPSClientSession>(uri.getHost(), uri.getPort(), context);
        } else {
            session = std::make_unique<Poco::Net::HTTPClientSession>(uri.getHost(), uri.getPort());
        }
        const Poco::Timespan timeout(std::chrono::duration_cast<std::chrono::microseconds>(bound).count());
        session->setTimeout(timeout, timeout, timeout);
        Poco::Net::HTTPRequest request(Poco::Net::HTTPRequest::HTTP_POST, uri.getPathEtc(),
                                       Poco::Net::HTTPMessage::HTTP_1_1);
        request.setContentType("application/json");
        request.setContentLength(static_cast<std::streamsize>(body.size()));
        session->sendRequest(request) << body;
        Poco::Net::HTTPResponse response;
        session->receiveResponse(response);
        result.reached = true;
        result.status = static_cast<int>(response.getStatus());
        if (result.status >= 300) {
            result.cause = "HTTP " + std::to_string(result.status) +
                           (response.getReason().empty() ? "" : " " + response.getReason()) + " from " + reachable;
        }
    } catch (const Poco::TimeoutException&) {
        result.cause = "no answer within " + seconds(bound) + " from " + reachable;
    } catch (const Poco::Net::SSLException& e) {
        result.cause = "TLS with " + reachable + " failed: " + e.message();
    } catch (const Poco::Net::NoMessageException&) {
        result.cause = reachable + " closed the connection without an answer";
    } catch (const Poco::Net::ConnectionResetException&) {
        result.cause = reachable + " closed the connection without an answer";
    } catch (const Poco::Exception& e) {
        result.cause = "the exchange with " + reachable + " failed: " + e.displayText();
    } catch (const std::exception& e) {
        result.cause = "the exchange with " + reachable + " failed: " + e.what();
    }
    return result;
}

}  // namespace lumivex::cli
