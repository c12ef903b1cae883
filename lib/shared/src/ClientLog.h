#pragma once
// Structured log events of the speed-test client and the process-wide
// dispatcher that hands them to one subscriber. Each event has a level, a
// target naming the emitting library ("client", "protocol"), a source
// location and named fields; the text goes under "message".
//
//   log_event(LogLevel::Info, "client", "[" + id + "] downlink done");
//   log_event(LogLevel::Debug, "protocol", text, {{"bytes", std::uint64_t{n}}});

#include <cstdint>
#include <memory>
#include <source_location>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace vela_client {

enum class LogLevel : std::uint32_t { Trace = 0, Debug = 1, Info = 2, Warn = 3, Error = 4 };

// "TRACE", "DEBUG", "INFO", "WARN", "ERROR".
const char* level_name(LogLevel level);

using LogValue = std::variant<std::string, std::int64_t, std::uint64_t, double, bool>;

struct LogField {
    std::string name;
    LogValue value;
};

struct LogEvent {
    LogLevel level = LogLevel::Info;
    std::string name;          // call-site name, "event <file>:<line>"
    std::string target;
    std::string module_path;   // empty = none
    std::string file;          // empty = none
    std::uint32_t line = 0;    // 0 = none
    std::vector<LogField> fields;
};

class LogSubscriber {
public:
    virtual ~LogSubscriber() = default;
    // Called from whichever thread emits the event; must not throw.
    virtual void on_event(const LogEvent& event) = 0;
};

// Sets the process-wide subscriber. The first one set stays for the life of
// the process; later calls return false and change nothing.
bool set_global_log_subscriber(std::shared_ptr<LogSubscriber> subscriber);

// True when a subscriber is set, so callers can skip building costly texts.
bool log_subscriber_set();

// Hands the event to the process-wide subscriber, if any.
void dispatch_log_event(const LogEvent& event);

// Builds an event with "message" as its first field, followed by `extra`.
void log_event(LogLevel level, std::string_view target, std::string message, std::vector<LogField> extra = {},
               const std::source_location& where = std::source_location::current());

}  // namespace vela_client
