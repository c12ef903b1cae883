#pragma once
// The parameter record of one measurement task and the reader that picks the
// record kind from the "qostest" text of a JSON object.
//
// Ports, counts and time-outs are kept as decimal texts exactly as the
// control document gives them; the task that needs a number converts it.

#include <boost/json/fwd.hpp>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

namespace trevask::measurement_library {

struct TaskConfiguration {
    static constexpr const char* kDefaultTimeout = "10000000000";  // 10 s in ns
    static constexpr const char* kDefaultServerPort = "443";

    TaskConfiguration() = default;
    explicit TaskConfiguration(std::string type) : qostest(std::move(type)) {}
    virtual ~TaskConfiguration() = default;

    TaskConfiguration(const TaskConfiguration&) = default;
    TaskConfiguration& operator=(const TaskConfiguration&) = default;
    TaskConfiguration(TaskConfiguration&&) = default;
    TaskConfiguration& operator=(TaskConfiguration&&) = default;

    std::uint32_t concurrency_group = 0;     // "concurrency_group"
    std::string qostest;                     // "qostest": the kind's type text as read
    std::string qos_test_uid;                // "qos_test_uid"
    std::string timeout = kDefaultTimeout;   // "timeout": decimal nanoseconds
    std::string host;                        // "host" (not read for DNS and traceroute)
    std::string server_port = kDefaultServerPort;  // "server_port": decimal port
    std::string server_addr;                 // "server_addr"
    std::string agentUuid;                   // set by task planning, never read from JSON
};

// Reads one task configuration of the kind that the object's "qostest" text
// selects. Returns an empty pointer when the value is not an object, has no
// "qostest" string, or the text names no kind; never raises for that.
// A member of the wrong JSON kind raises the member readers' errors and
// nothing is returned.
std::unique_ptr<TaskConfiguration> readTaskConfiguration(const boost::json::value& value);

// Reads the common members into `config` in their fixed order. `readHost`
// is false for the kinds that keep the "host" member in a field of their own.
void readTaskConfigurationBase(const boost::json::object& obj, TaskConfiguration& config, bool readHost = true);

}  // namespace trevask::measurement_library
