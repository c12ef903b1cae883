#include "ClientLog.h"

#include <atomic>
#include <mutex>

namespace vela_client {

namespace {

// The subscriber is never replaced once set, so readers may use the raw
// pointer without a lock; the owning reference lives until process exit.
std::atomic<LogSubscriber*> g_subscriber{nullptr};

std::shared_ptr<LogSubscriber>& subscriber_owner()
{
    static auto* owner = new std::shared_ptr<LogSubscriber>();  // never destroyed: events may come late at exit
    return *owner;
}

std::mutex& set_mutex()
{
    static std::mutex m;
    return m;
}

}  // namespace

const char* level_name(LogLevel level)
{
    switch (level) {
    case LogLevel::Trace: return "TRACE";
    case LogLevel::Debug: return "DEBUG";
    case LogLevel::Info: return "INFO";
    case LogLevel::Warn: return "WARN";
    case LogLevel::Error: return "ERROR";
    }
    return "UNKNOWN";
}

bool set_global_log_subscriber(std::shared_ptr<LogSubscriber> subscriber)
{
    if (!subscriber) {
        return false;
    }
    std::lock_guard lock(set_mutex());
    if (g_subscriber.load(std::memory_order_acquire) != nullptr) {
        return false;
    }
    subscriber_owner() = std::move(subscriber);
    g_subscriber.store(subscriber_owner().get(), std::memory_order_release);
    return true;
}

bool log_subscriber_set() { return g_subscriber.load(std::memory_order_acquire) != nullptr; }

void dispatch_log_event(const LogEvent& event)
{
    if (LogSubscriber* s = g_subscriber.load(std::memory_order_acquire)) {
        s->on_event(event);
    }
}

void log_event(LogLevel level, std::string_view target, std::string message, std::vector<LogField> extra,
               const std::source_location& where)
{
    if (!log_subscriber_set()) {
        return;
    }
    LogEvent event;
    event.level = level;
    event.target = target;
    event.file = where.file_name();
    event.line = where.line();
    event.module_path = std::string(target);
    event.name = "event " + event.file + ":" + std::to_string(event.line);
    event.fields.reserve(extra.size() + 1);
    event.fields.push_back({"message", std::move(message)});
    for (auto& f : extra) {
        event.fields.push_back(std::move(f));
    }
    dispatch_log_event(event);
}

}  // namespace vela_client
