#include "service/HttpConnectionService.h"

#include "helper/SentryHelper.h"
#include "service/HttpSessions.h"

#include <Poco/Exception.h>
#include <Poco/Logger.h>
#include <Poco/Net/HTTPBasicCredentials.h>
#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/HTTPSessionFactory.h>
#include <Poco/StreamCopier.h>
#include <Poco/Timespan.h>
#include <Poco/URI.h>

#include <algorithm>
#include <chrono>
#include <istream>
#include <ostream>

namespace trevask::measurement_library {

namespace {

// Address-echo endpoints of the deployment (not used by the measurement).
constexpr const char* kIpEchoIpv4 = "https://ipv4.api.lumivex.net/api/v1/ip";
constexpr const char* kIpEchoIpv6 = "https://ipv6.api.lumivex.net/api/v1/ip";

}  // namespace

HttpConnectionService& HttpConnectionService::getInstance() {
    static HttpConnectionService instance;
    return instance;
}

Poco::Logger& HttpConnectionService::logger() {
    static Poco::Logger& instance = Poco::Logger::get("HttpConnectionService");
    return instance;
}

HttpConnectionService::HttpConnectionService() = default;

HttpConnectionService::~HttpConnectionService() = default;

void HttpConnectionService::configure(std::string controllerUrl, std::string collector,
                                      std::unique_ptr<Poco::Net::HTTPBasicCredentials> newCredentials) {
    baseUrl = std::move(controllerUrl);
    if (baseUrl.find("/api/v") == std::string::npos) baseUrl += "/api/v1/";
    if (baseUrl.empty() || baseUrl.back() != '/') baseUrl += '/';
    collectorUrl = std::move(collector);
    credentials = std::move(newCredentials);
}

std::string HttpConnectionService::endpointUrl(int kind) const {
    switch (kind) {
        case VERSIONS: return baseUrl + "versions";
        case MEASUREMENT_AGENTS: return baseUrl + "measurement-agents";
        case MEASUREMENTS: return baseUrl + "measurements";
        case COLLECTOR: return collectorUrl;
        case IP_ECHO_IPV4: return kIpEchoIpv4;
        case IP_ECHO_IPV6: return kIpEchoIpv6;
        default: return std::string();
    }
}

bool HttpConnectionService::exchange(const std::string& url, const std::string& method, const Exchange& exchange,
                                     std::int32_t timeoutMs) {
    bool answered = false;
    lastFailure_.clear();
    try {
        const Poco::URI uri(url);
        BoundedExchange bounded(uri, backendCertificateCheck(logger(), url),
                                std::chrono::milliseconds(std::max<std::int32_t>(timeoutMs, 0)));

        // The whole URL is the request target (absolute form).
        Poco::Net::HTTPRequest request(method, url, Poco::Net::HTTPMessage::HTTP_1_1);
        if (credentials) credentials->authenticate(request);

        std::string body;
        if (exchange.buildBody) {
            try {
                body = exchange.buildBody();
                request.setContentType("application/json");
                request.setContentLength(static_cast<std::streamsize>(body.size()));
            } catch (const std::exception& e) {
                logger().error("err: %s", std::string(e.what()));
                SentryHelper::captureException(e, "");
            }
        }

        std::ostream& requestStream = bounded.sendRequest(request);
        bounded.sendBody(requestStream, body);

        Poco::Net::HTTPResponse response;
        std::istream& responseStream = bounded.receiveResponse(response);
        std::string text = bounded.readBody(responseStream);

        const int status = static_cast<int>(response.getStatus());
        logger().information("Received response from %s with status code %s", url, std::to_string(status));
        if (status < 200 || status > 299) {
            // An error answer is never taken for the service's record.
            logger().error("Received unexpected reason: %s", response.getReason());
            lastFailure_ = describeHttpFailure(status, response.getReason(), text) + " from " + url;
            logger().error("Request failed: %s", lastFailure_);
            return false;
        }

        answered = true;
        exchange.readAnswer(text, status);
    } catch (const Poco::Exception& e) {
        logger().error("Poco exception during request: %s", e.displayText());
        SentryHelper::captureException(e, "");
        if (!answered) lastFailure_ = e.displayText() + " (" + url + ")";
    } catch (const std::exception& e) {
        logger().error("std exception during request");
        SentryHelper::captureException(e, "");
        lastFailure_ = std::string(answered ? "unreadable answer from " : "request failed: ") + url + ": " + e.what();
    }
    return answered;
}

}  // namespace trevask::measurement_library
