#pragma once
// A running QoS test server with the run's control connection, as the task
// runner would hand it to a task.

#include <chrono>
#include <memory>
#include <string>

#include "QosControlConnection.h"
#include "QosServer.h"

namespace voice_test {

struct ServerWithControl {
    explicit ServerWithControl(lumivex::test_peers::QosServerOptions options = {}) : server(options) {
        server.start();
        control = std::make_unique<trevask::measurement_library::QosControlConnection>(
            "127.0.0.1", server.controlPort(), options.tls, "TOKEN test-agent", std::chrono::seconds(2));
        connected = control->connect();
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

}  // namespace voice_test
