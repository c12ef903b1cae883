#pragma once
// The crash-reporting client's transport: one thread that posts queued
// envelopes, in order, to the DSN's envelope endpoint over HTTP or HTTPS.

#include "platform/sentry/SentryClient.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace lumivex::platform::sentry {

class Transport {
public:
    // Without a DSN envelopes are accepted and discarded.
    Transport(std::optional<Dsn> dsn, std::chrono::milliseconds requestTimeout, bool debug,
              std::string caCertificates = {});
    ~Transport();
    Transport(const Transport&) = delete;
    Transport& operator=(const Transport&) = delete;

    void enqueue(std::string envelope);
    // True when the queue was emptied within the time.
    bool flush(std::chrono::milliseconds timeout);
    // Sends what it can within the time, then stops and joins the thread;
    // whatever is still queued then is dropped.
    void shutdown(std::chrono::milliseconds timeout);

private:
    void run();
    void send(const std::string& envelope);

    std::optional<Dsn> dsn_;
    std::chrono::milliseconds requestTimeout_;
    bool debug_;
    std::string caCertificates_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::string> queue_;
    bool sending_ = false;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace lumivex::platform::sentry
