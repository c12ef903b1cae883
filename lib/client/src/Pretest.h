#pragma once

// DOWNLINK_PRETEST and UPLINK_PRETEST: short transfers by every runner that
// the connection count reaches. When all runners together moved fewer than
// four chunks, the following throughput test runs over one connection only.
// The caller logs the start and the outcome and records whether the pretest
// succeeded.

#include "MeasurementController.h"

#include <boost/asio/awaitable.hpp>

#include <optional>
#include <string>

namespace vela_client {

// Fewer chunks than this in a pretest reduce the connection count to 1.
inline constexpr std::uint32_t kMinPretestChunks = 4;

// Nothing on success, else the failure text.
boost::asio::awaitable<std::optional<std::string>> run_downlink_pretest(MeasurementController& controller,
                                                                        const ClientConfig& config);
boost::asio::awaitable<std::optional<std::string>> run_uplink_pretest(MeasurementController& controller,
                                                                      const ClientConfig& config);

} // namespace vela_client
