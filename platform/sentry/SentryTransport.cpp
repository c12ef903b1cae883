#include "platform/sentry/SentryTransport.h"

#include <Poco/Exception.h>
#include <Poco/Net/Context.h>
#include <Poco/Net/HTTPClientSession.h>
#include <Poco/Net/HTTPRequest.h>
#include <Poco/Net/HTTPResponse.h>
#include <Poco/Net/HTTPSClientSession.h>
#include <Poco/Net/SSLManager.h>
#include <Poco/Net/StreamSocket.h>
#include <Poco/StreamCopier.h>
#include <Poco/URI.h>

#include <condition_variable>
#include <deque>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <sys/socket.h>
#include <vector>

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

// Threads of transports whose shutdown did not see them end. Never freed:
// it must outlive every static destructor that might still run meanwhile.
struct StoppedThreads {
    std::mutex mutex;
    std::vector<std::thread> threads;
};
StoppedThreads& stoppedThreads() {
    static StoppedThreads* threads = new StoppedThreads();
    return *threads;
}

// The part of the shutdown time kept for cutting off an exchange.
constexpr std::chrono::milliseconds kCutOffGrace{250};

}  // namespace

struct Transport::State {
    std::optional<Dsn> dsn;
    std::chrono::milliseconds requestTimeout;
    bool debug;
    std::string caCertificates;
    std::size_t maxQueued;

    mutable std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::string> queue;
    std::uint64_t dropped = 0;
    bool sending = false;
    bool stopping = false;
    bool finished = false;  // the thread has left its loop
    int exchangeFd = -1;    // socket of the exchange under way, while it is open

    void dropAll(const char* when) {
        if (queue.empty()) return;
        dropped += queue.size();
        if (debug) std::cerr << "[sentry] dropping " << queue.size() << " envelope(s) " << when << std::endl;
        queue.clear();
    }
};

Transport::Transport(std::optional<Dsn> dsn, std::chrono::milliseconds requestTimeout, bool debug,
                     std::string caCertificates, std::size_t maxQueued)
    : state_(std::make_shared<State>()) {
    state_->dsn = std::move(dsn);
    state_->requestTimeout = requestTimeout;
    state_->debug = debug;
    state_->caCertificates = std::move(caCertificates);
    state_->maxQueued = maxQueued == 0 ? 1 : maxQueued;
    thread_ = std::thread([state = state_] { run(state); });
}

Transport::~Transport() { shutdown(std::chrono::milliseconds(0)); }

void Transport::enqueue(std::string envelope) {
    {
        std::lock_guard lock(state_->mutex);
        if (state_->stopping) return;
        if (state_->queue.size() >= state_->maxQueued) {
            state_->queue.pop_front();
            ++state_->dropped;
            if (state_->debug) std::cerr << "[sentry] queue full; the oldest envelope is dropped" << std::endl;
        }
        state_->queue.push_back(std::move(envelope));
    }
    state_->changed.notify_all();
}

bool Transport::flush(std::chrono::milliseconds timeout) {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, timeout, [this] { return state_->queue.empty() && !state_->sending; });
}

void Transport::shutdown(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    const auto drainUntil = deadline - std::min(timeout, kCutOffGrace);
    {
        std::unique_lock lock(state_->mutex);
        state_->changed.wait_until(lock, drainUntil, [this] {
            return state_->stopping || (state_->queue.empty() && !state_->sending);
        });
        state_->stopping = true;
        state_->dropAll("at shutdown");
        // Cut off the exchange under way; the fd stays open (the sending
        // thread closes it), so this cannot hit another socket.
        if (state_->exchangeFd >= 0) ::shutdown(state_->exchangeFd, SHUT_RDWR);
    }
    state_->changed.notify_all();
    if (!thread_.joinable() || thread_.get_id() == std::this_thread::get_id()) return;
    {
        std::unique_lock lock(state_->mutex);
        const auto graceUntil = std::max(deadline, std::chrono::steady_clock::now() + std::chrono::milliseconds(10));
        state_->changed.wait_until(lock, graceUntil, [this] { return state_->finished; });
        if (!state_->finished) {
            // Still connecting or resolving: let it end on its own time-out.
            if (state_->debug) std::cerr << "[sentry] transport still busy; it is joined at exit" << std::endl;
            std::lock_guard stoppedLock(stoppedThreads().mutex);
            stoppedThreads().threads.push_back(std::move(thread_));
            return;
        }
    }
    thread_.join();
}

std::uint64_t Transport::dropped() const {
    std::lock_guard lock(state_->mutex);
    return state_->dropped;
}

std::size_t Transport::queued() const {
    std::lock_guard lock(state_->mutex);
    return state_->queue.size();
}

void Transport::run(std::shared_ptr<State> state) {
    std::unique_lock lock(state->mutex);
    for (;;) {
        state->changed.wait(lock, [&] { return state->stopping || !state->queue.empty(); });
        if (state->stopping) break;
        std::string envelope = std::move(state->queue.front());
        state->queue.pop_front();
        state->sending = true;
        lock.unlock();
        send(*state, envelope);
        lock.lock();
        state->sending = false;
        state->changed.notify_all();
    }
    state->finished = true;
    state->changed.notify_all();
}

void Transport::send(State& state, const std::string& envelope) {
    if (!state.dsn) return;
    // Clears the exchange's socket before the session closes it.
    struct ExchangeScope {
        State& state;
        ~ExchangeScope() {
            std::lock_guard lock(state.mutex);
            state.exchangeFd = -1;
        }
    };
    try {
        Poco::URI uri(state.dsn->envelopeUrl());
        std::unique_ptr<Poco::Net::HTTPClientSession> session;
        if (uri.getScheme() == "https") {
            session = std::make_unique<Poco::Net::HTTPSClientSession>(uri.getHost(), uri.getPort(),
                                                                       clientContext(state.caCertificates));
        } else {
            session = std::make_unique<Poco::Net::HTTPClientSession>(uri.getHost(), uri.getPort());
        }
        session->setTimeout(
            Poco::Timespan(std::chrono::duration_cast<std::chrono::microseconds>(state.requestTimeout).count()));
        ExchangeScope scope{state};
        Poco::Net::HTTPRequest request(Poco::Net::HTTPRequest::HTTP_POST, uri.getPathEtc(), Poco::Net::HTTPMessage::HTTP_1_1);
        request.setContentType("application/x-sentry-envelope");
        request.setContentLength(static_cast<std::streamsize>(envelope.size()));
        request.set("X-Sentry-Auth", state.dsn->authHeader());
        request.set("User-Agent", "lumivex.native/1.0.0");
        std::ostream& body = session->sendRequest(request);
        {
            std::lock_guard lock(state.mutex);
            if (state.stopping) return;
            state.exchangeFd = session->socket().impl()->sockfd();
        }
        body.write(envelope.data(), static_cast<std::streamsize>(envelope.size()));
        Poco::Net::HTTPResponse response;
        std::istream& answer = session->receiveResponse(response);
        std::ostringstream ignored;
        Poco::StreamCopier::copyStream(answer, ignored);
        if (state.debug && response.getStatus() / 100 != 2) {
            std::cerr << "[sentry] envelope refused with HTTP " << static_cast<int>(response.getStatus()) << std::endl;
        }
    } catch (const Poco::Exception& e) {
        if (state.debug) std::cerr << "[sentry] sending failed: " << e.displayText() << std::endl;
    } catch (const std::exception& e) {
        if (state.debug) std::cerr << "[sentry] sending failed: " << e.what() << std::endl;
    }
}

void joinStoppedTransports() {
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(stoppedThreads().mutex);
        threads.swap(stoppedThreads().threads);
    }
    for (auto& thread : threads) {
        if (thread.joinable()) thread.join();
    }
}

}  // namespace lumivex::platform::sentry
