#pragma once

// The protocol routines that a runner executes for the controller's commands,
// each against the measurement server on the runner's connection. A routine
// gives the outcome of its completing feedback (a value or a failure text);
// acknowledgements and completions are sent by the runner loop, progress
// feedback by the routines themselves on the runner's feedback sender.
//
// Shared rules: a request that expects the server's consent needs a
// GenericResponse with status Ok ("unexpected response from server" for
// another kind, the response's description for another status); loops that
// move chunks or pings check the connection's abort context before each one
// and on an abort shut the connection down (it is then marked closed) and fail
// with "aborted on timeout or user request".

#include "Duration.h"
#include "Runner.h"
#include "RunnerCommands.h"

#include <boost/asio/awaitable.hpp>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace vela_client {

// The routines' time limits; tests shorten them.
struct RoutineLimits {
    std::chrono::nanoseconds request = std::chrono::seconds(5);      // every request of a routine and the quit
    std::chrono::nanoseconds data = std::chrono::seconds(9);         // every chunk, ping or pong, pretest ack and notification
    std::chrono::nanoseconds server_load = std::chrono::seconds(7);
    std::chrono::nanoseconds traceroute_extra = std::chrono::seconds(5);  // on top of the traceroute's own maximum
    Duration test_grace = Duration::from_secs(3);                    // test deadline = duration + this
};

inline constexpr const char* kAbortedText = "aborted on timeout or user request";

// Asks for bursts of 1, 2, 4 ... chunks while the pretest time lasts (checked
// between bursts); the size of the last complete burst, 0 when none ran.
boost::asio::awaitable<RoutineOutcome<std::uint32_t>> downlink_pretest(Runner& runner, Duration pretest,
                                                                       const RoutineLimits& limits = {});

// Streams for the duration's whole seconds; records one point per chunk
// (client clock, cumulative bytes) and reports the new points every progress
// interval. Ends at the server's last chunk, or at the first chunk past the
// deadline (then the connection is shut down and marked closed). The outcome
// is the history's last piece: the reports and it make up the whole history.
boost::asio::awaitable<RoutineOutcome<SampleUpdate>> downlink_test(Runner& runner, Duration duration, Duration deadline,
                                                                   const RoutineLimits& limits = {});

// Sends bursts of 1, 2, 4 ... chunks, each acknowledged by the server, while
// the pretest time lasts; the size of the last acknowledged burst.
boost::asio::awaitable<RoutineOutcome<std::uint32_t>> uplink_pretest(Runner& runner, Duration pretest,
                                                                     const RoutineLimits& limits = {});

// Sends chunks for the duration while a sub-task reads the server's progress
// notifications (server clock and byte counts) and reports them; the history
// of the notifications.
boost::asio::awaitable<RoutineOutcome<SampleSeries>> uplink_test(Runner& runner, Duration duration, Duration deadline,
                                                                 const RoutineLimits& limits = {});

// Pings of `payload_size` bytes echoed by the server, TCP_NODELAY on meanwhile.
boost::asio::awaitable<RoutineOutcome<std::vector<RttSample>>> rtt_tcp_ping(Runner& runner, const RttTcpPingParams& params,
                                                                            const RoutineLimits& limits = {});

boost::asio::awaitable<RoutineOutcome<ServerLoadData>> request_server_load(Runner& runner, const RoutineLimits& limits = {});

// The server's traceroute towards the client, within `max_duration` (the
// request waits that long plus limits.traceroute_extra).
boost::asio::awaitable<RoutineOutcome<std::string>> reverse_traceroute(Runner& runner, Duration max_duration,
                                                                       const RoutineLimits& limits = {});

// Tells the server that the runner leaves; the reply and any failure are ignored.
boost::asio::awaitable<void> send_quit(Runner& runner, const RoutineLimits& limits = {});

} // namespace vela_client
