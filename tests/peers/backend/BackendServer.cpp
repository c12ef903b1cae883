#include "BackendServer.h"

#include <boost/json.hpp>

#include <utility>

namespace lumivex::test {

namespace {

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

BackendServer::BackendServer() : BackendServer(Options{}) {}

BackendServer::BackendServer(Options options)
    : options_(std::move(options)),
      server_(HttpTestServer::Options{options_.tls, "127.0.0.1", options_.ioTimeout}) {
    controlDocument_ = "{}";
    server_.onPrefix("*", "/", [this](const RecordedRequest& request) { return answer(request); });
    // Absolute-form targets whose path does not start with "/" (never sent by
    // a well-behaved client) still get an answer.
    server_.setFallback(ScriptedReply::json(404, R"({"errors":"not found"})"));
}

BackendServer::~BackendServer() { stop(); }

void BackendServer::start() { server_.start(); }
void BackendServer::stop() { server_.stop(); }

void BackendServer::serveObject(const std::string& path, std::string body) {
    // Added after the catch-all rule, so tried before it.
    server_.on("GET", path, ScriptedReply::text(200, std::move(body), "application/octet-stream"));
}

void BackendServer::setRegistrationBody(std::string body) {
    std::lock_guard lock(mutex_);
    registrationBody_ = std::move(body);
}

void BackendServer::setAgentUuid(std::string uuid, std::optional<std::string> collectorService) {
    std::lock_guard lock(mutex_);
    registrationBody_.reset();
    agentUuid_ = std::move(uuid);
    collectorService_ = std::move(collectorService);
}

void BackendServer::setControlDocument(std::string body) {
    std::lock_guard lock(mutex_);
    controlDocument_ = std::move(body);
}

void BackendServer::setCollectorUuids(std::string uuid, std::string openDataUuid) {
    std::lock_guard lock(mutex_);
    collectorBody_.reset();
    measurementUuid_ = std::move(uuid);
    openDataUuid_ = std::move(openDataUuid);
}

void BackendServer::setCollectorBody(std::string body) {
    std::lock_guard lock(mutex_);
    collectorBody_ = std::move(body);
}

void BackendServer::setUiBody(std::optional<std::string> body) {
    std::lock_guard lock(mutex_);
    uiBody_ = std::move(body);
}

void BackendServer::setReportedIp(std::optional<std::string> address) {
    std::lock_guard lock(mutex_);
    reportedIp_ = std::move(address);
}

void BackendServer::misbehave(Endpoint endpoint, Misbehaviour misbehaviour) {
    std::lock_guard lock(mutex_);
    misbehaviour_[endpoint] = misbehaviour;
}

BackendServer::Endpoint BackendServer::classify(const RecordedRequest& request) const {
    const std::string& path = request.path;
    if (request.method == "POST" && path == options_.collectorPath) return Endpoint::Collector;
    if (path.find("/measurement-agents/") != std::string::npos || endsWith(path, "/tiles/info") ||
        endsWith(path, "/tiles/markers") || endsWith(path, "/news") || endsWith(path, "/ip")) {
        return Endpoint::Ui;
    }
    if (request.method != "POST") return Endpoint::Other;
    if (endsWith(path, "/measurement-agents")) return Endpoint::Registration;
    if (endsWith(path, "/measurements")) return Endpoint::Control;
    return Endpoint::Other;
}

const char* BackendServer::endpointName(Endpoint endpoint) {
    switch (endpoint) {
        case Endpoint::Registration: return "registration";
        case Endpoint::Control: return "control";
        case Endpoint::Collector: return "collector";
        case Endpoint::Ui: return "ui";
        case Endpoint::Other: break;
    }
    return "other";
}

std::vector<RecordedRequest> BackendServer::requests(Endpoint endpoint) const {
    std::vector<RecordedRequest> selected;
    for (auto& request : server_.requests()) {
        if (classify(request) == endpoint) selected.push_back(std::move(request));
    }
    return selected;
}

ScriptedReply BackendServer::normalAnswer(Endpoint endpoint, const RecordedRequest& request) {
    std::lock_guard lock(mutex_);
    switch (endpoint) {
        case Endpoint::Registration: {
            if (registrationBody_) return ScriptedReply::json(200, *registrationBody_);
            boost::json::object urls;
            if (collectorService_) urls["collector_service"] = *collectorService_;
            boost::json::object data{{"agent_uuid", agentUuid_}, {"settings", {{"urls", urls}}}};
            return ScriptedReply::json(200, boost::json::serialize(boost::json::object{{"data", data}}));
        }
        case Endpoint::Control:
            return ScriptedReply::json(200, controlDocument_);
        case Endpoint::Collector: {
            if (collectorBody_) return ScriptedReply::json(200, *collectorBody_);
            boost::json::object data{{"uuid", measurementUuid_}, {"open_data_uuid", openDataUuid_}};
            return ScriptedReply::json(200, boost::json::serialize(boost::json::object{{"data", data}}));
        }
        case Endpoint::Ui: {
            if (endsWith(request.path, "/ip")) {
                const std::string address = reportedIp_.value_or(request.peerAddress);
                const bool v6 = address.find(':') != std::string::npos;
                boost::json::object data{{"ip_address", address}, {"ip_version", v6 ? "IPv6" : "IPv4"}};
                return ScriptedReply::json(200, boost::json::serialize(boost::json::object{{"data", data}}));
            }
            if (uiBody_) return ScriptedReply::json(200, *uiBody_);
            boost::json::object data{{"method", request.method},
                                     {"path", request.path},
                                     {"query", request.query},
                                     {"body", request.body}};
            return ScriptedReply::json(200, boost::json::serialize(boost::json::object{{"data", data}}));
        }
        case Endpoint::Other: break;
    }
    return ScriptedReply::json(404, R"({"errors":"not found"})");
}

ScriptedReply BackendServer::answer(const RecordedRequest& request) {
    const Endpoint endpoint = classify(request);
    if (options_.onRequest) options_.onRequest(endpoint, request);
    Misbehaviour misbehaviour = Misbehaviour::None;
    {
        std::lock_guard lock(mutex_);
        auto it = misbehaviour_.find(endpoint);
        if (it != misbehaviour_.end()) misbehaviour = it->second;
    }
    switch (misbehaviour) {
        case Misbehaviour::None: break;
        case Misbehaviour::Close: return ScriptedReply::close();
        case Misbehaviour::Silent: return ScriptedReply::silent();
        case Misbehaviour::ServerError: {
            ScriptedReply reply = normalAnswer(endpoint, request);
            reply.status = 500;
            return reply;
        }
        case Misbehaviour::ServerErrorNoData: return ScriptedReply::json(500, R"({"errors":["internal"]})");
        case Misbehaviour::NonJson:
            return ScriptedReply::text(200, "<html><body>maintenance</body></html>", "text/html");
        case Misbehaviour::EmptyBody: return ScriptedReply::empty(200);
        case Misbehaviour::Slow: return normalAnswer(endpoint, request).after(options_.slowDelay);
        case Misbehaviour::Drip: return ScriptedReply::drip(normalAnswer(endpoint, request), options_.dripInterval);
        case Misbehaviour::Endless: return ScriptedReply::stream(200, 0);
        case Misbehaviour::Huge: return ScriptedReply::stream(200, options_.hugeBytes);
        case Misbehaviour::NotFound: return ScriptedReply::json(404, R"({"errors":["not found"]})");
        case Misbehaviour::RedirectLoop:
            return ScriptedReply::empty(302).withHeader(
                "Location", request.target.starts_with("/") ? baseUrl() + request.target : request.target);
    }
    return normalAnswer(endpoint, request);
}

}  // namespace lumivex::test
