#pragma once

// DOWNLINK and UPLINK: every runner that the connection count reaches moves
// test data for the test duration plus the slow start; the phase publishes
// the running throughput while it lasts and at the end counts the bytes of
// the window after the slow start. The caller sets the pretest duration and
// logs the outcome.

#include "ClientResult.h"
#include "MeasurementController.h"
#include "VelaExpected.h"

#include <boost/asio/awaitable.hpp>

#include <string>

namespace vela_client {

boost::asio::awaitable<OrError<ThroughputResult>> run_downlink_test(const ClientConfig& config,
                                                                    MeasurementController& controller,
                                                                    const std::string& log_id);
boost::asio::awaitable<OrError<ThroughputResult>> run_uplink_test(const ClientConfig& config,
                                                                  MeasurementController& controller,
                                                                  const std::string& log_id);

// The phase's result from the completed series of its runners, counted from
// the end of the slow start (from time zero when it is zero); the window's
// bits per second as computed go to `bps` when given.
ThroughputResult throughput_result(const PhaseSamples& completed, Duration slow_start, Duration sampling_rate,
                                   PhaseTiming timing, std::vector<ConnectionStreamInfo> stream_infos,
                                   double* bps = nullptr);
// The same from the window's throughput as computed.
ThroughputResult throughput_result(Throughput throughput, PhaseTiming timing,
                                   std::vector<ConnectionStreamInfo> stream_infos, double* bps = nullptr);

} // namespace vela_client
