#include "platform/sentry/SentryTransport.h"

#include <Poco/Exception.h>
#include <Poco/Net/Context.h>
#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/HTTPSClientSession.h>
#include <Poco/Net/SSLManager.h>
#include <Poco/StreamCopier.h>
#include <Poco/URI.h>

#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>

namespace lumivex::platform::sentry {

namespace {

// The peer's certificate is verified against the given CA file, or the
// system's CAs when none is given.
Poco::Net::Context::Ptr clientContext(const std::string& caCertificates) {
    static std::once_flag sslInitialized;
    std::call_once(sslInitialized, [] { Poco::Net::initializeSSL(); });
    return Poco::Net::Context::Ptr(new Poco::Net::Context(Poco::Net::Context::TLS_CLIENT_USE, "", "", caCertificates,
                                                          Poco::Net::Context::VERIFY_RELAXED, 9, caCertificates.empty()));
}

}  // namespace

Transport::Transport(std::optional<Dsn> dsn, std::chrono::milliseconds requestTimeout, bool debug,
                     std::string caCertificates)
    : dsn_(std::move(dsn)), requestTimeout_(requestTimeout), debug_(debug), caCertificates_(std::move(caCertificates)) {
    thread_ = std::thread([this] { run(); });
}

Transport::~Transport() { shutdown(std::chrono::milliseconds(0)); }

void Transport::enqueue(std::string envelope) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        queue_.push_back(std::move(envelope));
    }
    changed_.notify_all();
}

bool Transport::flush(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return queue_.empty() && !sending_; });
}

void Transport::shutdown(std::chrono::milliseconds timeout) {
    {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, timeout, [this] { return stopping_ || (queue_.empty() && !sending_); });
        stopping_ = true;
        if (debug_ && !queue_.empty()) std::cerr << "[sentry] dropping " << queue_.size() << " envelope(s) at shutdown" << std::endl;
        queue_.clear();
    }
    changed_.notify_all();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void Transport::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (stopping_) return;
        std::string envelope = std::move(queue_.front());
        queue_.pop_front();
        sending_ = true;
        lock.unlock();
        send(envelope);
        lock.lock();
        sending_ = false;
        changed_.notify_all();
    }
}

void Transport::send(const std::string& envelope) {
    if (!dsn_) return;
    try {
        Poco::URI uri(dsn_->envelopeUrl());
        std::unique_ptr<Poco::Net::HTTPClientSession> session;
        if (uri.getScheme() == "https") {
            session = std::make_unique<Poco::Net::HTTPSClientSession>(uri.getHost(), uri.getPort(),
                                                                       clientContext(caCertificates_));
        } else {
            session = std::make_unique<Poco::Net::HTTPClientSession>(uri.getHost(), uri.getPort());
        }
        session->setTimeout(Poco::Timespan(std::chrono::duration_cast<std::chrono::microseconds>(requestTimeout_).count()));
        Poco::Net::HTTPRequest request(Poco::Net::HTTPRequest::HTTP_POST, uri.getPathEtc(), Poco::Net::HTTPMessage::HTTP_1_1);
        request.setContentType("application/x-sentry-envelope");
        request.setContentLength(static_cast<std::streamsize>(envelope.size()));
        request.set("X-Sentry-Auth", dsn_->authHeader());
        request.set("User-Agent", "lumivex.native/1.0.0");
        session->sendRequest(request).write(envelope.data(), static_cast<std::streamsize>(envelope.size()));
        Poco::Net::HTTPResponse response;
        std::istream& body = session->receiveResponse(response);
        std::ostringstream ignored;
        Poco::StreamCopier::copyStream(body, ignored);
        if (debug_ && response.getStatus() / 100 != 2) {
            std::cerr << "[sentry] envelope refused with HTTP " << static_cast<int>(response.getStatus()) << std::endl;
        }
    } catch (const Poco::Exception& e) {
        if (debug_) std::cerr << "[sentry] sending failed: " << e.displayText() << std::endl;
    } catch (const std::exception& e) {
        if (debug_) std::cerr << "[sentry] sending failed: " << e.what() << std::endl;
    }
}

}  // namespace lumivex::platform::sentry
