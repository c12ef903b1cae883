#pragma once

// One complete speed test: plans the phases from the configuration, looks up
// the server, sets up the token, the progress forwarder and the runner
// connections, runs DOWNLINK_PRETEST, RTT_TCP, RTT_UDP, DOWNLINK,
// UPLINK_PRETEST and UPLINK in this order with their skip rules and abort
// checks, and assembles the result. Runs as a task of the client's runtime.

#include "Client.h"
#include "ClientResult.h"
#include "VelaExpected.h"
#include "Progress.h"
#include "mclient.h"

#include <boost/asio/awaitable.hpp>

#include <cstdint>
#include <memory>

namespace vela_client {

// The result, or the text of what ended the run early. `forwarder_done` is
// marked when the progress forwarder has ended (at once when none runs).
boost::asio::awaitable<OrError<ClientResult>> run_measurement(Client& client, mclient_progress_fn progress,
                                                              std::shared_ptr<ForwarderDone> forwarder_done = nullptr);

// Phases a configuration plans: RTT_UDP + RTT_TCP + DOWNLINK + the downlink
// pretest (with RTT_TCP or DOWNLINK) + 2 × UPLINK (pretest and test).
std::uint32_t planned_phase_count(const ClientConfig& config);

} // namespace vela_client
