#pragma once

// Small helpers shared by the speed-test controller's phases: log lines with
// the run's prefix, the debug text of runner feedback, and the conversions
// that several phases make.

#include "ClientLog.h"
#include "RunnerCommands.h"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vela_client {

// "[<id>] " + text, at the given level, target "client".
void log_run(LogLevel level, const std::string& id, const std::string& text);
// The text as it is, target "client".
void log_bare(LogLevel level, const std::string& text);

// Debug form of a feedback record: its variant name and, when it carries
// data, the data in parentheses, e.g. "DownlinkPretestCompleted(Ok(3))" or
// "RttTcpPong(Err(\"read timed out\"))".
std::string feedback_debug_text(const RunnerFeedback& feedback);

// Bits per second as an unsigned count: truncated toward zero, 0 for
// negative or not-a-number values, the largest count from 2^64 upwards.
std::uint64_t bps_to_u64(double bps);

// Whole seconds of a duration followed by "s" ("2s" for 2.5 s).
std::string whole_seconds_text(Duration d);

// The stream information of the runners that acknowledged a command, in the
// order of their first acknowledgement. A runner that acknowledges again has
// opened its connection anew: its new information replaces the old.
class StreamInfos {
public:
    void acknowledged(std::uint8_t runner, const std::optional<ConnectionStreamInfo>& info);
    std::vector<ConnectionStreamInfo> take();

private:
    std::vector<std::pair<std::uint8_t, ConnectionStreamInfo>> entries_;
};

} // namespace vela_client
