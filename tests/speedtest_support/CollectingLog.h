#pragma once
// A process-wide log subscriber for the speed-test client's tests: keeps the
// message of every log event so tests can look for the client's texts.

#include "ClientLog.h"

#include <memory>
#include <mutex>
#include <string>
#include <variant>
#include <vector>

namespace speedtest_support {

class CollectingLog : public vela_client::LogSubscriber {
public:
    void on_event(const vela_client::LogEvent& event) override
    {
        std::lock_guard lock(mutex_);
        for (const auto& field : event.fields)
            if (field.name == "message")
                if (const auto* text = std::get_if<std::string>(&field.value))
                    messages_.push_back(*text);
    }
    int count_containing(const std::string& piece)
    {
        std::lock_guard lock(mutex_);
        int n = 0;
        for (const auto& m : messages_)
            n += m.find(piece) != std::string::npos;
        return n;
    }

private:
    std::mutex mutex_;
    std::vector<std::string> messages_;
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
