#pragma once
// Shared pieces of the measurement tests: the loopback peers, control
// documents in their wire form, and a thread count of the process.

#include "BackendServer.h"
#include "QosServer.h"

#include <boost/json.hpp>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace measurement_test {

struct ProgramSpec {
    std::string name;  // "PROGRAM_..."
    std::string program;
    std::optional<std::string> arguments;
};

struct TcpObjective {
    std::string uid;
    std::uint32_t group = 1;
    std::uint16_t port = 0;
};

// The options of a "SPEED" task. Without a server address the speed test
// fails at once (the client refuses a configuration without host).
struct SpeedSpec {
    std::string serverName = "Vienna 1";
    std::optional<std::string> host;        // "server_addr"
    std::string port = "6142";              // "server_port"; a text, so it may exceed 16 bits
    std::optional<std::string> udpPort;     // "server_port_udp"
    std::optional<std::string> encryption;  // "encryption" (TLS unless the text is not "true")
    std::optional<std::string> token;       // "auth_token"
};

// A control document as the controller sends it (wire key names).
struct DocumentSpec {
    std::optional<std::uint16_t> qosPort;  // a "QOS" task against 127.0.0.1:qosPort
    std::vector<TcpObjective> tcp;
    // Further QoS objectives: the objectives key (the QoS type) and the
    // objective as the document carries it.
    std::vector<std::pair<std::string, boost::json::object>> objectives;
    bool speed = false;                    // a "SPEED" task with speedOptions
    SpeedSpec speedOptions;
    std::vector<ProgramSpec> programs;
    std::optional<std::string> collectorUrl;  // "result_collector_base_url" of a schedule's action
};

inline std::string controlDocument(const DocumentSpec& docShape) {
    namespace json = boost::json;
    json::array tasks;
    if (docShape.speed) {
        const SpeedSpec& speed = docShape.speedOptions;
        json::array options{json::object{{"name", "server_name"}, {"value", speed.serverName}},
                            json::object{{"name", "server_port"}, {"value", speed.port}}};
        auto option = [&](const char* name, const std::optional<std::string>& value) {
            if (value) options.push_back(json::object{{"name", name}, {"value", *value}});
        };
        option("server_addr", speed.host);
        option("server_port_udp", speed.udpPort);
        option("encryption", speed.encryption);
        option("auth_token", speed.token);
        tasks.push_back(json::object{{"name", "SPEED"}, {"option", options}, {"program", ""}});
    }
    if (docShape.qosPort) {
        json::array tcp;
        for (const auto& objective : docShape.tcp) {
            tcp.push_back(json::object{{"qostest", "TCP"},
                                       {"qos_test_uid", objective.uid},
                                       {"concurrency_group", objective.group},
                                       {"timeout", "3000000000"},
                                       {"out_port", std::to_string(objective.port)}});
        }
        json::object objectives{{"TCP", tcp}};
        for (const auto& [type, objective] : docShape.objectives) {
            if (!objectives.contains(type)) objectives[type] = json::array{};
            objectives[type].as_array().push_back(objective);
        }
        json::array options{
            json::object{{"name", "server_addr"}, {"value", "127.0.0.1"}},
            json::object{{"name", "server_port"}, {"value", std::to_string(*docShape.qosPort)}},
            json::object{{"name", "encryption"}, {"value", "false"}},
            json::object{{"name", "qos"},
                         {"value", ""},
                         {"measurement-parameters",
                          json::object{{"deserialize_type", "qos_params"}, {"objectives", objectives}}}}};
        tasks.push_back(json::object{{"name", "QOS"}, {"option", options}, {"program", ""}});
    }
    for (const auto& program : docShape.programs) {
        json::array options;
        if (program.arguments) options.push_back(json::object{{"name", "arguments"}, {"value", *program.arguments}});
        tasks.push_back(json::object{{"name", program.name}, {"option", options}, {"program", program.program}});
    }
    json::object document{{"tasks", tasks},
                          {"additional-response-info",
                           json::object{{"provider_name", "Loopback Networks"}, {"public_ip", "192.0.2.7"}}}};
    if (docShape.collectorUrl) {
        json::object action{{"name", "report"},
                            {"task", "QOS"},
                            {"option", json::array{json::object{{"name", "result_collector_base_url"},
                                                                {"value", *docShape.collectorUrl}}}}};
        document["schedules"] = json::array{json::object{{"name", "now"}, {"action", json::array{action}}}};
    }
    return json::serialize(document);
}

// Threads of this process right now.
inline std::size_t threadCount() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) ++count;
    return count;
}

// Waits (bounded) until the thread count is back at `baseline` or lower.
inline std::size_t settledThreadCount(std::size_t baseline, std::chrono::milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    std::size_t count = threadCount();
    while (count > baseline && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        count = threadCount();
    }
    return count;
}

}  // namespace measurement_test
