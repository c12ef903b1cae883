#pragma once
// The log collector of the speed-test client's tests: a process-wide log
// subscriber that keeps the level and message of every log event, so tests
// can look for the client's texts and their order.

#include "ClientLog.h"

#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace speedtest_support {

class CollectingLog : public vela_client::LogSubscriber {
public:
    void on_event(const vela_client::LogEvent& event) override
    {
        for (const auto& field : event.fields)
            if (field.name == "message")
                if (const auto* text = std::get_if<std::string>(&field.value)) {
                    std::lock_guard lock(mutex_);
                    messages_.emplace_back(event.level, *text);
                }
    }

    // Messages that contain `piece`, in the order they were logged.
    std::vector<std::string> containing(const std::string& piece) const
    {
        std::lock_guard lock(mutex_);
        std::vector<std::string> out;
        for (const auto& [level, m] : messages_)
            if (m.find(piece) != std::string::npos)
                out.push_back(m);
        return out;
    }
    int count(const std::string& piece) const { return static_cast<int>(containing(piece).size()); }
    // Messages that were logged at `level` and contain `piece`.
    int count_at(vela_client::LogLevel level, const std::string& piece) const
    {
        std::lock_guard lock(mutex_);
        int n = 0;
        for (const auto& [l, m] : messages_)
            n += l == level && m.find(piece) != std::string::npos;
        return n;
    }
    void clear()
    {
        std::lock_guard lock(mutex_);
        messages_.clear();
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::pair<vela_client::LogLevel, std::string>> messages_;
};

// Installed as the process-wide subscriber on first use.
inline CollectingLog& test_log()
{
    static auto log = [] {
        auto l = std::make_shared<CollectingLog>();
        vela_client::set_global_log_subscriber(l);
        return l;
    }();
    return *log;
}

} // namespace speedtest_support
