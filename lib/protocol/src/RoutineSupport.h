#pragma once

// Helpers shared by the runner routines' sources.

#include "ClientLog.h"
#include "Duration.h"
#include "RunnerCommands.h"
#include "SprintMessages.h"

#include <chrono>
#include <memory>
#include <cstdint>
#include <optional>
#include <source_location>
#include <string>
#include <string_view>

namespace vela_client::routine {

using Clock = std::chrono::steady_clock;

// The reply check of a request that expects the server's consent: empty when
// the reply is a GenericResponse with status Ok, else the failure text.
inline std::optional<std::string> refusal(const sprintproto::Msg& reply)
{
    const auto* generic = reply.get<sprintproto::GenericResponse>();
    if (!generic)
        return std::string("unexpected response from server");
    if (!generic->is_ok())
        return generic->description;
    return std::nullopt;
}

// A "protocol" log line headed by the run's log identifier.
inline void log_line(LogLevel level, const std::string& id, std::string_view text,
                     const std::source_location& where = std::source_location::current())
{
    if (!log_subscriber_set())
        return;
    std::string message;
    message.reserve(id.size() + text.size() + 3);
    message.append("[").append(id).append("] ").append(text);
    log_event(level, "protocol", std::move(message), {}, where);
}

// "<routine>: response from server: <reply>" at debug level; the reply's text
// is only built when someone listens.
inline void log_reply(const std::string& id, std::string_view routine, const sprintproto::Msg& reply,
                      const std::source_location& where = std::source_location::current())
{
    if (!log_subscriber_set())
        return;
    log_line(LogLevel::Debug, id, std::string(routine) + ": response from server: " + sprintproto::to_log_text(reply), where);
}

// Whole milliseconds of a span, for the progress gates.
inline std::int64_t whole_millis(Clock::duration d)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
}

} // namespace vela_client::routine

namespace vela_client::routine {

// Whole milliseconds of a progress interval, saturating.
inline std::int64_t interval_millis(const Duration& interval)
{
    const auto ms = interval.as_nanos() / 1'000'000U;
    return ms > static_cast<uint128_t>(INT64_MAX) ? INT64_MAX : static_cast<std::int64_t>(ms);
}

// Time since `start` as a Duration (zero if the clock went backwards).
inline Duration since(Clock::time_point start, Clock::time_point now = Clock::now())
{
    return Duration::from_chrono(now - start);
}

} // namespace vela_client::routine

namespace vela_client::routine {

// Progress feedback: dropped when there is no controller to take it.
inline void send_progress(const std::shared_ptr<FeedbackSender>& sender, RunnerFeedback feedback)
{
    if (sender)
        sender->send(std::move(feedback));
}

} // namespace vela_client::routine
