#pragma once

// The RTT_UDP phase: pings over a UDP socket of its own to the server's UDP
// port, a sending and a receiving task side by side, answers matched to pings
// by identifier. Gives round-trip times, loss and reordering as the result
// record's RttUdpResult, with phase 3 progress reports.

#include "AbortWatch.h"
#include "ClientResult.h"
#include "Duration.h"
#include "PhaseProgress.h"
#include "RunnerCommands.h"

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/udp.hpp>

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vela_client {

// What the phase takes from the run.
struct UdpPingContext {
    std::string log_id;                               // the token's log identifier
    std::chrono::steady_clock::time_point run_start;  // origin of the phase's relative start
    boost::asio::ip::udp::endpoint server;            // host and port_udp, as the controller resolved them
    Duration progress_interval;
    PhaseProgress* progress = nullptr;                // the run's phase count and reports; may be null
    std::shared_ptr<AbortWatch> abort_watch;          // ends sending and reception on a stop; may be null
};

struct UdpPingParams {
    std::uint32_t num_pings = 0;
    Duration delay;                         // pause between pings
    Duration timebox;                       // no ping is sent, nor answer awaited, after this
    std::optional<Duration> receive_timeout; // how long one wait for an answer may last
};

// The phase. Failure texts: "number of pings must be > 0", "Could not bind
// UdpSocket on uri <addr> -> <error>", the connect or send error's text,
// "aborting UDP ping: <error>", "aborted on timeout or user request".
boost::asio::awaitable<RoutineOutcome<RttUdpResult>> rtt_udp_ping(const UdpPingContext& context,
                                                                  const UdpPingParams& params);

// ---- the evaluation, exposed for tests ----

using UdpClock = std::chrono::steady_clock;

// One accepted answer: when it came and how many answers were accepted before it.
struct UdpArrival {
    UdpClock::time_point at;
    std::uint64_t order = 0;
};

struct EvaluatedPing {
    std::uint32_t id = 0;
    std::optional<RttSample> sample;     // absent: lost
    std::optional<std::uint32_t> number; // the place its answer arrived at, lost pings counted in
};

// Classifies the sent pings (send instants by identifier 0, 1, ...) against
// the answers. When some answer came and not every ping was answered, pings
// after the highest answered one are left out (they may still be on their
// way). An answer's number is its place among the answers to evaluated pings
// plus the lost pings before it, so it equals the identifier exactly when the
// answers came in sending order.
std::vector<EvaluatedPing> evaluate_udp_pings(UdpClock::time_point ping_start, const std::vector<UdpClock::time_point>& sent,
                                              const std::map<std::uint32_t, UdpArrival>& received);

} // namespace vela_client
