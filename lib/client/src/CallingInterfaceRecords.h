#pragma once
// Conversions between the C records of the calling interface and the
// client's own records.

#include "ClientConfig.h"
#include "mclient.h"

#include <cstdint>
#include <optional>

namespace vela_client {

// Starts from the ClientConfig defaults and overwrites the fields that the
// record carries, converting units ("_ms" fields as milliseconds, "_s" fields
// as seconds; the RTT time boxes become rtt_*_timeout_ms). No value for a null
// record, a null host, or a host, token or secret key that is not UTF-8.
// The result is not validated yet.
std::optional<ClientConfig> client_config_from_record(const mclient_config* record);

// The phases of a run, numbered as mclient_progress numbers them.
enum class Phase : std::uint32_t {
    DownlinkPretest = 1,
    RttTcp = 2,
    RttUdp = 3,
    Downlink = 4,
    UplinkPretest = 5,
    Uplink = 6,
};

// Upper-case phase name of the log texts ("DOWNLINK_PRETEST", ...).
const char* phase_name(Phase phase);

// One progress report as the run produces it; the forwarder turns it into an
// mclient_progress for the caller's callback.
struct ProgressReport {
    Phase phase = Phase::DownlinkPretest;
    float phase_progress = 0.0F;   // percent
    float total_progress = 0.0F;   // percent
    std::optional<std::uint64_t> rtt_ns;
    std::optional<std::uint64_t> reserved;
    std::optional<double> download_bps;
    std::optional<double> upload_bps;
};

// Absent values become 0 (or 0.0); padding is zeroed.
mclient_progress to_mclient_progress(const ProgressReport& report);

}  // namespace vela_client
