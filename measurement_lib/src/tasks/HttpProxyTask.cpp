#include "tasks/HttpProxyTask.h"

#include "model/QosTaskConfigurations.h"
#include "model/result/ConnectivityTaskResults.h"
#include "service/LowLevelResponse.h"
#include "service/RequestService.h"
#include "tasks/TaskException.h"

#include <Poco/Exception.h>
#include <Poco/Logger.h>

#include <openssl/evp.h>

#include <array>
#include <cstdio>

namespace trevask::measurement_library {

namespace {

// Responses that carry no body whatever their headers say.
bool hasNoBody(int status) { return (status >= 100 && status < 200) || status == 204 || status == 304; }

}  // namespace

Poco::Logger& HttpProxyTask::logger() {
    static Poco::Logger& instance = Poco::Logger::get("HttpProxyTask");
    return instance;
}

HttpProxyTask::HttpProxyTask() : BaseTask(kTypeKey) {}

HttpProxyTask::~HttpProxyTask() = default;

std::unique_ptr<BaseTask> HttpProxyTask::create(TaskConfiguration* configuration) {
    auto task = std::make_unique<HttpProxyTask>();
    task->setConfiguration(configuration);
    return task;
}

bool HttpProxyTask::accepts(TaskConfiguration* configuration) {
    return dynamic_cast<HttpProxyTaskConfiguration*>(configuration) != nullptr;
}

std::string HttpProxyTask::md5Hex(std::string_view data) {
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), digest.data(), &length, EVP_md5(), nullptr) != 1 || length != 16) {
        throw std::runtime_error("MD5 digest failed");
    }
    std::string hex;
    hex.reserve(32);
    for (unsigned int i = 0; i < length; ++i) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", digest[i]);
        hex += pair;
    }
    return hex;
}

void HttpProxyTask::doRunTask() {
    if (configuration == nullptr) throw TaskException("No configuration provided");
    auto* config = dynamic_cast<HttpProxyTaskConfiguration*>(configuration);
    if (config == nullptr) throw TaskException("Configuration is not an Http Proxy Task configuration");
    if (!config->url) throw TaskException("No url provided");

    RequestService::Headers headers;
    if (config->range && !config->range->empty()) headers.emplace_back("range", *config->range);

    std::unique_ptr<LowLevelResponse> response;
    try {
        response = RequestService::getInstance()->performLowLevelGetRequest(*config->url, "GET", headers,
                                                                            requestTimeoutMs);
    } catch (const Poco::TimeoutException&) {
        throw TaskTimeoutException("Timeout during request");
    } catch (const Poco::Exception& e) {
        // what() of the library's exceptions holds only their class name.
        throw TaskException("Error during request: " + e.displayText());
    } catch (const std::exception& e) {
        throw TaskException("Error during request: " + std::string(e.what()));
    }
    if (!response) throw TaskException("Error during request: no response");

    const int statusCode = static_cast<int>(response->response.getStatus());
    // A connection closed before the announced length leaves a shorter body
    // without any error from the library; its digest and length would be
    // reported as if the whole body had come.
    if (response->response.hasContentLength() && !hasNoBody(statusCode)) {
        const auto announced = response->response.getContentLength64();
        if (announced >= 0 && static_cast<std::uint64_t>(announced) != response->body.size()) {
            throw TaskException("Error during request: the body ended after " + std::to_string(response->body.size()) +
                                " of " + std::to_string(announced) + " bytes");
        }
    }

    auto fresh = std::make_unique<HttpProxyTaskResult>();
    std::string headerText;
    for (const auto& [name, value] : response->response) headerText += name + ": " + value + "\n";
    fresh->http_result_length = std::to_string(response->body.size());
    fresh->http_result_header = std::move(headerText);
    fresh->http_result_status = std::to_string(statusCode);
    fresh->http_result_hash = md5Hex(response->body);
    fresh->http_objective_range = config->range;
    fresh->http_objective_url = config->url;
    result = std::move(fresh);
    response.reset();
    poco_information_f2(logger(), "HTTP proxy task %s: status %s", *config->url, *result->http_result_status);
}

std::unique_ptr<TaskResult> HttpProxyTask::createResult() {
    if (!result) return nullptr;
    auto copy = std::make_unique<HttpProxyTaskResult>(*result);
    fillResult(copy.get());
    return copy;
}

}  // namespace trevask::measurement_library
