#include "MemoryLogLayer.h"

#include "JsonWriter.h"

#include <type_traits>

namespace vela_client {

void LogEventList::append(std::string event_json)
{
    std::lock_guard lock(mutex_);
    if (events_.size() >= capacity_) {
        events_.pop_front();
        ++dropped_;
    }
    events_.push_back(std::move(event_json));
}

std::vector<std::string> LogEventList::snapshot() const
{
    std::lock_guard lock(mutex_);
    return {events_.begin(), events_.end()};
}

std::size_t LogEventList::size() const
{
    std::lock_guard lock(mutex_);
    return events_.size();
}

std::uint64_t LogEventList::dropped() const
{
    std::lock_guard lock(mutex_);
    return dropped_;
}

MemoryLogLayer::MemoryLogLayer(std::uint64_t threshold, std::size_t capacity)
    : threshold_(threshold), events_(std::make_shared<LogEventList>(capacity))
{
}

void MemoryLogLayer::on_event(const LogEvent& event)
{
    if (static_cast<std::uint32_t>(event.level) < static_cast<std::uint32_t>(threshold_)) {
        return;
    }
    try {
        events_->append(log_event_to_json(event));
    } catch (...) {
        // A log event that cannot be captured is dropped; logging never fails
        // the code that logs.
    }
}

std::string log_event_to_json(const LogEvent& event)
{
    JsonWriter w;
    w.begin_object();
    w.key("metadata");
    w.begin_object();
    w.key("name");
    w.string_value(event.name);
    w.key("target");
    w.string_value(event.target);
    w.key("level");
    w.string_value(level_name(event.level));
    w.key("module_path");
    event.module_path.empty() ? w.null_value() : w.string_value(event.module_path);
    w.key("file");
    event.file.empty() ? w.null_value() : w.string_value(event.file);
    w.key("line");
    event.line == 0 ? w.null_value() : w.u64_value(event.line);
    w.key("fields");
    w.begin_array();
    for (const auto& f : event.fields) {
        w.string_value(f.name);
    }
    w.end_array();
    w.key("is_span");
    w.bool_value(false);
    w.key("is_event");
    w.bool_value(true);
    w.end_object();
    for (const auto& f : event.fields) {
        w.key(f.name);
        std::visit(
            [&w](const auto& v) {
                using T = std::decay_t<decltype(v)>;
                if constexpr (std::is_same_v<T, std::string>) {
                    w.string_value(v);
                } else if constexpr (std::is_same_v<T, std::int64_t>) {
                    w.i64_value(v);
                } else if constexpr (std::is_same_v<T, std::uint64_t>) {
                    w.u64_value(v);
                } else if constexpr (std::is_same_v<T, double>) {
                    w.f64_value(v);
                } else {
                    w.bool_value(v);
                }
            },
            f.value);
    }
    w.end_object();
    return w.take();
}

std::shared_ptr<LogEventList> install_client_log_capture(std::uint32_t verbosity)
{
    const std::uint32_t threshold = 4U - verbosity;
    auto layer = std::make_shared<MemoryLogLayer>(threshold);
    std::shared_ptr<LogEventList> list = layer->events();
    // Only the first layer in the process becomes the subscriber; the outcome
    // is deliberately not checked.
    (void)set_global_log_subscriber(std::move(layer));
    return list;
}

}  // namespace vela_client
