#pragma once
// Test support: a running QoS test server with a connected control
// connection, a blocking request helper with a bound, and the control lines
// the server read.

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "QosControlConnection.h"
#include "QosServer.h"

namespace qos_test {

struct ServerWithControl {
    explicit ServerWithControl(lumivex::test_peers::QosServerOptions options = {}) : server(options) {
        server.start();
        control = std::make_unique<trevask::measurement_library::QosControlConnection>(
            "127.0.0.1", server.controlPort(), options.tls, "TOKEN test-agent", std::chrono::seconds(2));
        connected = control->connect();
    }

    // Sends the request and waits for its reply; empty when none came in time.
    std::optional<std::string> request(const std::string& command, const std::string& id = "1",
                                       std::chrono::milliseconds timeout = std::chrono::milliseconds(3000)) {
        struct Wait {
            std::mutex mutex;
            std::condition_variable done;
            std::optional<std::string> reply;
        };
        auto wait = std::make_shared<Wait>();
        control->sendRequest(command, id, [wait](std::string response, std::string) {
            {
                std::lock_guard lock(wait->mutex);
                wait->reply = std::move(response);
            }
            wait->done.notify_all();
        });
        std::unique_lock lock(wait->mutex);
        wait->done.wait_for(lock, timeout, [&] { return wait->reply.has_value(); });
        return wait->reply;
    }

    // Control lines the server read that start with the prefix.
    std::vector<std::string> commandsStartingWith(const std::string& prefix) const {
        std::vector<std::string> found;
        for (const auto& line : server.controlLines())
            if (line.rfind(prefix, 0) == 0) found.push_back(line);
        return found;
    }

    lumivex::test_peers::QosServer server;
    std::unique_ptr<trevask::measurement_library::QosControlConnection> control;
    bool connected = false;
};

}  // namespace qos_test
