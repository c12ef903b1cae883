#pragma once

// What the client asks the measurement server about itself before the
// first phase: its load ("vmstat" and "free") and a traceroute from the
// server back to the client. Runner 0 does the asking; these routines wait
// for its answer on the feedback channel.

#include "MeasurementController.h"
#include "VelaExpected.h"

#include <boost/asio/awaitable.hpp>

#include <string>

namespace vela_client {

boost::asio::awaitable<OrError<ServerLoadData>> request_server_load(MeasurementController& controller);
boost::asio::awaitable<OrError<std::string>> reverse_traceroute(MeasurementController& controller);

} // namespace vela_client
