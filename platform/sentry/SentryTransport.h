#pragma once
// The crash-reporting client's transport: one thread that posts queued
// envelopes, in order, to the DSN's envelope endpoint over HTTP or HTTPS.
//
// The queue is bounded: when it is full the oldest envelope is dropped (and
// counted), so a reporter that cannot send never grows without end.
// Shutting down never takes longer than its time-out: what cannot be sent
// by then is dropped, an exchange still under way is cut off, and a thread
// that still has not ended is handed over to joinStoppedTransports, which
// the process calls before it exits.

#include "platform/sentry/SentryClient.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>

namespace lumivex::platform::sentry {

class Transport {
public:
    // Without a DSN envelopes are accepted and discarded.
    Transport(std::optional<Dsn> dsn, std::chrono::milliseconds requestTimeout, bool debug,
              std::string caCertificates = {}, std::size_t maxQueued = 100);
    ~Transport();
    Transport(const Transport&) = delete;
    Transport& operator=(const Transport&) = delete;

    void enqueue(std::string envelope);
    // True when the queue was emptied within the time.
    bool flush(std::chrono::milliseconds timeout);
    // Sends what it can within the time, then stops: whatever is still
    // queued is dropped and an exchange under way is cut off. Returns
    // within about the time-out.
    void shutdown(std::chrono::milliseconds timeout);

    // Envelopes dropped because the queue was full or at shutdown.
    std::uint64_t dropped() const;
    std::size_t queued() const;

private:
    struct State;
    static void run(std::shared_ptr<State> state);
    static void send(State& state, const std::string& envelope);

    std::shared_ptr<State> state_;
    std::thread thread_;
};

// Joins the threads of transports that were shut down while an exchange
// would not end in time. Each ends within its request time-out.
void joinStoppedTransports();

}  // namespace lumivex::platform::sentry
