#include "SentrySink.h"

#include <Poco/Net/HTTPRequestHandler.h>
#include <Poco/Net/HTTPRequestHandlerFactory.h>
#include <Poco/Net/HTTPServer.h>
#include <Poco/Net/HTTPServerParams.h>
#include <Poco/Net/HTTPServerRequest.h>
#include <Poco/Net/HTTPServerResponse.h>
#include <Poco/Net/Context.h>
#include <Poco/Net/SSLManager.h>
#include <Poco/Net/SecureServerSocket.h>
#include <Poco/Net/ServerSocket.h>
#include <Poco/Net/SocketAddress.h>
#include <Poco/StreamCopier.h>

#include <boost/json/parse.hpp>

#include <sstream>
#include <thread>

namespace lumivex::peers {

namespace {

class EnvelopeHandler : public Poco::Net::HTTPRequestHandler {
public:
    explicit EnvelopeHandler(SentrySink& sink) : sink_(sink) {}
    void handleRequest(Poco::Net::HTTPServerRequest& request, Poco::Net::HTTPServerResponse& response) override {
        std::string body;
        Poco::StreamCopier::copyToString(request.stream(), body);
        ReceivedEnvelope envelope = SentrySink::parseEnvelope(body);
        envelope.method = request.getMethod();
        envelope.path = request.getURI();
        envelope.authHeader = request.get("X-Sentry-Auth", "");
        envelope.contentType = request.getContentType();
        sink_.record(std::move(envelope));
        if (sink_.options().delay.count() > 0) std::this_thread::sleep_for(sink_.options().delay);
        response.setStatus(static_cast<Poco::Net::HTTPResponse::HTTPStatus>(sink_.options().status));
        response.setContentType("application/json");
        response.send() << "{}";
    }

private:
    SentrySink& sink_;
};

class HandlerFactory : public Poco::Net::HTTPRequestHandlerFactory {
public:
    explicit HandlerFactory(SentrySink& sink) : sink_(sink) {}
    Poco::Net::HTTPRequestHandler* createRequestHandler(const Poco::Net::HTTPServerRequest&) override {
        return new EnvelopeHandler(sink_);
    }

private:
    SentrySink& sink_;
};

}  // namespace

SentrySink::SentrySink(SentrySinkOptions options) : options_(options) {
    Poco::Net::ServerSocket socket;
    if (!options_.tlsCertificate.empty() && !options_.tlsKey.empty()) {
        Poco::Net::initializeSSL();
        Poco::Net::Context::Ptr context(new Poco::Net::Context(Poco::Net::Context::TLS_SERVER_USE, options_.tlsKey,
                                                               options_.tlsCertificate, "",
                                                               Poco::Net::Context::VERIFY_NONE));
        socket = Poco::Net::SecureServerSocket(Poco::Net::SocketAddress("127.0.0.1", 0), 64, context);
    } else {
        socket = Poco::Net::ServerSocket(Poco::Net::SocketAddress("127.0.0.1", 0));
    }
    port_ = socket.address().port();
    auto* params = new Poco::Net::HTTPServerParams;
    params->setMaxThreads(4);
    params->setKeepAlive(false);
    server_ = std::make_unique<Poco::Net::HTTPServer>(new HandlerFactory(*this), socket, params);
    server_->start();
}

SentrySink::~SentrySink() { server_->stopAll(true); }

std::string SentrySink::dsn(const std::string& key, const std::string& project) const {
    std::string scheme = options_.tlsCertificate.empty() ? "http" : "https";
    return scheme + "://" + key + "@127.0.0.1:" + std::to_string(port_) + "/" + project;
}

ReceivedEnvelope SentrySink::parseEnvelope(const std::string& body) {
    ReceivedEnvelope envelope;
    envelope.body = body;
    std::size_t position = 0;
    auto nextLine = [&](std::string& line) {
        if (position >= body.size()) return false;
        auto end = body.find('\n', position);
        if (end == std::string::npos) end = body.size();
        line = body.substr(position, end - position);
        position = end + 1;
        return true;
    };
    try {
        std::string line;
        if (!nextLine(line)) throw std::runtime_error("empty envelope");
        envelope.header = boost::json::parse(line).as_object();
        while (nextLine(line)) {
            if (line.empty()) continue;
            EnvelopeItem item;
            item.header = boost::json::parse(line).as_object();
            if (auto* type = item.header.if_contains("type"); type && type->is_string()) item.type = type->get_string();
            std::string payload;
            if (auto* length = item.header.if_contains("length"); length && length->is_number()) {
                auto size = length->to_number<std::size_t>();
                if (position + size > body.size()) throw std::runtime_error("item longer than the envelope");
                payload = body.substr(position, size);
                position += size;
                if (position < body.size() && body[position] == '\n') ++position;
            } else {
                nextLine(payload);
            }
            boost::system::error_code ec;
            item.payload = boost::json::parse(payload, ec);
            if (ec) item.payload = nullptr;
            envelope.items.push_back(std::move(item));
        }
    } catch (const std::exception& e) {
        envelope.error = e.what();
    }
    return envelope;
}

void SentrySink::record(ReceivedEnvelope envelope) {
    {
        std::lock_guard lock(mutex_);
        envelopes_.push_back(std::move(envelope));
    }
    changed_.notify_all();
}

std::vector<ReceivedEnvelope> SentrySink::envelopes() const {
    std::lock_guard lock(mutex_);
    return envelopes_;
}

std::vector<EnvelopeItem> SentrySink::items(const std::string& type) const {
    std::vector<EnvelopeItem> out;
    std::lock_guard lock(mutex_);
    for (const auto& envelope : envelopes_) {
        for (const auto& item : envelope.items) {
            if (item.type == type) out.push_back(item);
        }
    }
    return out;
}

bool SentrySink::waitFor(const std::function<bool(const std::vector<ReceivedEnvelope>&)>& done,
                         std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return done(envelopes_); });
}

bool SentrySink::waitForItems(const std::string& type, std::size_t count, std::chrono::milliseconds timeout) const {
    return waitFor(
        [&](const std::vector<ReceivedEnvelope>& all) {
            std::size_t n = 0;
            for (const auto& envelope : all) {
                for (const auto& item : envelope.items) n += item.type == type ? 1 : 0;
            }
            return n >= count;
        },
        timeout);
}

}  // namespace lumivex::peers
