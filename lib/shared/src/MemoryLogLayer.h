#pragma once
// Captures the client's log events at or above a level threshold as compact
// JSON texts in memory. The list is a ring: once full, each new event pushes
// out the oldest, so a process that runs many measurements does not grow
// without limit.

#include "ClientLog.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vela_client {

// Mutex-guarded, bounded list of captured events (each one JSON object).
class LogEventList {
public:
    explicit LogEventList(std::size_t capacity) : capacity_(capacity == 0 ? 1 : capacity) {}

    void append(std::string event_json);
    std::vector<std::string> snapshot() const;
    std::size_t size() const;
    // Events pushed out of the ring since creation.
    std::uint64_t dropped() const;
    std::size_t capacity() const { return capacity_; }

private:
    const std::size_t capacity_;
    mutable std::mutex mutex_;
    std::deque<std::string> events_;
    std::uint64_t dropped_ = 0;
};

class MemoryLogLayer : public LogSubscriber {
public:
    static constexpr std::size_t kDefaultCapacity = 10'000;

    // An event is kept when its level number is at least the threshold,
    // comparing the low 32 bits.
    explicit MemoryLogLayer(std::uint64_t threshold, std::size_t capacity = kDefaultCapacity);

    void on_event(const LogEvent& event) override;

    std::uint64_t threshold() const { return threshold_; }
    const std::shared_ptr<LogEventList>& events() const { return events_; }

private:
    std::uint64_t threshold_;
    std::shared_ptr<LogEventList> events_;
};

// The JSON object of one event: "metadata" (name, target, level, module_path,
// file, line, fields, is_span, is_event), then each field under its name.
std::string log_event_to_json(const LogEvent& event);

// What creating a client does for logging: a layer with the threshold
// 4 - verbosity (unsigned 32-bit, so a verbosity above 4 captures nothing),
// offered as the process-wide subscriber. Only the first offer in a process
// is taken; the list of a later layer stays empty. Returns the layer's list.
std::shared_ptr<LogEventList> install_client_log_capture(std::uint32_t verbosity);

}  // namespace vela_client
