#include "service/RequestService.h"

#include "helper/SentryHelper.h"
#include "model/JsonMembers.h"
#include "service/HttpSessions.h"
#include "service/LowLevelResponse.h"

#include <Poco/Exception.h>
#include <Poco/Format.h>
#include <Poco/Logger.h>
#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/HTTPSessionFactory.h>
#include <Poco/Net/IPAddress.h>
#include <Poco/Net/Socket.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/StreamCopier.h>
#include <Poco/Timespan.h>
#include <Poco/URI.h>

#include <arpa/inet.h>

#include <chrono>
#include <ostream>

namespace trevask::measurement_library {

namespace {

// The request target: the percent-encoded path and the query. An empty path
// becomes "/" so that a base URL without path still gives a valid request line.
std::string requestTarget(const Poco::URI& uri) {
    std::string target = uri.getPathAndQuery();
    if (target.empty() || target.front() == '?') target.insert(0, "/");
    return target;
}

}  // namespace

RequestService* RequestService::getInstance() {
    static RequestService instance;
    return &instance;
}

RequestService::RequestService() = default;

RequestService::~RequestService() = default;

Poco::Logger& RequestService::logger() {
    static Poco::Logger& instance = Poco::Logger::get("RequestService");
    return instance;
}

std::int64_t RequestService::timeoutMicroseconds(std::uint32_t timeoutMs) {
    // 64-bit product: a large time-out must not wrap around to a short one.
    return static_cast<std::int64_t>(timeoutMs) * 1000;
}

std::string RequestService::lastLocalIp() const {
    std::lock_guard lock(lastLocalIpMutex);
    return lastLocalIp_;
}

std::optional<StringResponse> RequestService::performStringRequest(const std::string& url, const std::string& method,
                                                                   const std::string& body, Query query,
                                                                   std::uint32_t timeoutMs) {
    auto transaction = SentryHelper::startTransaction("RequestService::performStringRequest", "performStringRequest");
    std::optional<SentrySpan> span;
    // Ends the monitoring of this request on every way out.
    auto finish = [&] {
        if (span) SentryHelper::finishSpan(*span);
        span.reset();
        SentryHelper::finishTransaction(transaction);
    };
    try {
        Poco::URI uri(url);
        if (query) {
            for (const auto& [key, value] : *query) uri.addQueryParameter(key, value);
        }
        BoundedExchange exchange(uri, backendCertificateCheck(logger(), url), std::chrono::milliseconds(timeoutMs));
        Poco::Net::HTTPClientSession* session = &exchange.session();

        if (logger().warning()) logger().warning(Poco::format("Sending to: %s", uri.toString()));

        Poco::Net::HTTPRequest request(method, uri.toString(), Poco::Net::HTTPMessage::HTTP_1_1);
        const std::string target = requestTarget(uri);
        request.setURI(target);
        if (!body.empty()) {
            request.setContentType("application/json");
            request.setContentLength(static_cast<std::streamsize>(body.size()));
            logger().warning(Poco::format("with body: %s", body));
        }

        span = SentryHelper::startSpan(transaction, "RequestService::performStringRequest", "sendRequest " + url);
        SentryHelper::setSpanData(*span, "requestUri", target);
        SentryHelper::setSpanData(*span, "method", method);
        SentryHelper::setSpanData(*span, "request", body);

        std::ostream& requestStream = exchange.sendRequest(request);
        if (!body.empty()) {
            requestStream.write(body.data(), static_cast<std::streamsize>(body.size()));
            requestStream.flush();
        }
        if (const Poco::Exception* networkError = session->networkException()) {
            logger().error(Poco::format("Non-fatal Poco exception during request: %s", networkError->displayText()));
            finish();
            return std::nullopt;
        }
        exchange.checkDeadline();

        auto localIp = localIpFromSocket(session->socket());
        if (localIp) {
            std::lock_guard lock(lastLocalIpMutex);
            lastLocalIp_ = *localIp;
        }

        Poco::Net::HTTPResponse response;
        std::istream& responseStream = exchange.receiveResponse(response);
        const std::string status = std::to_string(static_cast<int>(response.getStatus()));
        logger().information(Poco::format("Received response from %s with status code %s", uri.toString(), status));

        std::string responseBody = exchange.readBody(responseStream);
        const int code = static_cast<int>(response.getStatus());
        if (code < 200 || code > 299) {
            // The caller decides what an error answer means; the log says why.
            logger().error(Poco::format("Request to %s answered %s", uri.toString(),
                                        describeHttpFailure(code, response.getReason(), responseBody)));
        }

        SentryHelper::setSpanData(*span, "responseStatus", status);
        SentryHelper::setSpanData(*span, "response", responseBody);
        SentryHelper::finishSpan(*span);
        span.reset();

        logger().information(Poco::format("Returning response with status code %s: %s", status, responseBody));
        finish();
        return StringResponse{std::move(responseBody), static_cast<std::int32_t>(response.getStatus()),
                              std::move(localIp)};
    } catch (const Poco::Exception& e) {
        logger().error(Poco::format("Poco exception during request: %s", e.displayText()));
        SentryHelper::captureException(e, url);
    } catch (const std::exception& e) {
        logger().error(Poco::format("std exception during request: %s", std::string(e.what())));
        SentryHelper::captureException(e, url);
    } catch (...) {
        logger().error("unknown exception during request");
    }
    finish();
    return std::nullopt;
}

std::unique_ptr<LowLevelResponse> RequestService::performLowLevelGetRequest(const std::string& url,
                                                                            const std::string& method,
                                                                            const Headers& headers,
                                                                            std::uint32_t timeoutMs) {
    auto transaction =
        SentryHelper::startTransaction("RequestService::performLowLevelGetRequest", "performLowLevelGetRequest");
    std::optional<SentrySpan> span;
    auto finish = [&] {
        if (span) SentryHelper::finishSpan(*span);
        span.reset();
        SentryHelper::finishTransaction(transaction);
    };
    try {
        Poco::URI uri(url);
        // The HTTP proxy task's requests keep accepting any certificate.
        BoundedExchange exchange(uri, CertificateCheck::AcceptAny, std::chrono::milliseconds(timeoutMs));
        Poco::Net::HTTPClientSession* session = &exchange.session();

        Poco::Net::HTTPRequest request(method, uri.toString(), Poco::Net::HTTPMessage::HTTP_1_1);
        const std::string target = requestTarget(uri);
        request.setURI(target);
        for (const auto& [name, value] : headers) request.add(name, value);

        span = SentryHelper::startSpan(transaction, "RequestService::performLowLevelGetRequest", "lowlevel " + url);
        SentryHelper::setSpanData(*span, "requestUri", target);
        SentryHelper::setSpanData(*span, "method", method);

        exchange.sendRequest(request).flush();
        if (const Poco::Exception* networkError = session->networkException()) {
            logger().error(Poco::format("Non-fatal Poco exception during request: %s", networkError->displayText()));
            SentryHelper::finishSpan(*span);
            span.reset();
            throw Poco::Exception("Non-fatal Poco exception during request " + networkError->displayText(), -12);
        }

        auto result = std::make_unique<LowLevelResponse>();
        std::istream& responseStream = exchange.receiveResponse(result->response);
        result->body = exchange.readBody(responseStream);

        SentryHelper::setSpanData(*span, "responseStatus", std::to_string(static_cast<int>(result->response.getStatus())));
        SentryHelper::setSpanData(*span, "response", result->body);
        finish();
        return result;
    } catch (const Poco::Exception& e) {
        logger().error(Poco::format("Poco exception during request: %s", e.displayText()));
        SentryHelper::captureException(e);
        finish();
        throw;
    } catch (const std::exception& e) {
        logger().error(Poco::format("std exception during request: %s", std::string(e.what())));
        SentryHelper::captureException(e);
        finish();
        throw;
    }
}

std::string RequestService::replaceUrlPlaceholders(const std::string& urlTemplate,
                                                   const std::optional<std::string>& agentUuid,
                                                   const std::optional<std::string>& measurementUuid) {
    static constexpr std::string_view agentPlaceholder = "{agentUuid}";
    static constexpr std::string_view measurementPlaceholder = "{measurementUuid}";
    std::string result = urlTemplate;
    if (agentUuid) {
        if (auto pos = result.find(agentPlaceholder); pos != std::string::npos) {
            result.replace(pos, agentPlaceholder.size(), *agentUuid);
        }
    }
    if (measurementUuid) {
        if (auto pos = result.find(measurementPlaceholder); pos != std::string::npos) {
            result.replace(pos, measurementPlaceholder.size(), *measurementUuid);
        }
    }
    return result;
}

std::optional<std::string> RequestService::localIpFromSocket(const Poco::Net::Socket& socket) {
    try {
        const Poco::Net::SocketAddress address = socket.address();
        switch (address.family()) {
            case Poco::Net::AddressFamily::IPv4:
                return address.host().toString();
            case Poco::Net::AddressFamily::IPv6: {
                // The standard text form of the 16 bytes, without zone.
                const Poco::Net::IPAddress host = address.host();
                char text[INET6_ADDRSTRLEN] = {};
                if (host.length() != 16 || !inet_ntop(AF_INET6, host.addr(), text, sizeof text)) return std::nullopt;
                return std::string(text);
            }
            default:
                return std::nullopt;
        }
    } catch (const std::exception& e) {
        SentryHelper::captureException(e);
        return std::nullopt;
    }
}

bool RequestService::readJsonBody(const std::string& body,
                                  const std::function<void(const boost::json::value&)>& reader) {
    try {
        const boost::json::value value = parseJson(body);
        reader(value);
        return true;
    } catch (...) {
        return false;
    }
}

}  // namespace trevask::measurement_library
