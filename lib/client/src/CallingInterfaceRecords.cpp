#include "CallingInterfaceRecords.h"

#include "Utf8.h"

#include <cstring>
#include <string>

namespace vela_client {

namespace {

// Copies a NUL-terminated text; no value when it is not UTF-8.
std::optional<std::string> copy_text(const char* text)
{
    std::string copy(text);
    if (!is_valid_utf8(copy)) {
        return std::nullopt;
    }
    return copy;
}

bool flag(std::uint32_t v) { return v != 0; }

}  // namespace

std::optional<ClientConfig> client_config_from_record(const mclient_config* record)
{
    if (record == nullptr || record->host == nullptr) {
        return std::nullopt;
    }
    ClientConfig config;
    auto host = copy_text(record->host);
    if (!host) {
        return std::nullopt;
    }
    config.host = std::move(*host);
    if (record->token != nullptr) {
        config.token = copy_text(record->token);
        if (!config.token) {
            return std::nullopt;
        }
    }
    if (record->secret_key != nullptr) {
        config.secret_key = copy_text(record->secret_key);
        if (!config.secret_key) {
            return std::nullopt;
        }
    }

    config.port_tcp = record->port_tcp;
    config.port_udp = record->port_udp;
    config.tls = flag(record->tls);
    config.skip_certificate_validation = flag(record->skip_certificate_validation);
    config.progress_update_limit_ms = Duration::from_millis(record->progress_update_limit_ms);
    config.raw_history_sampling_rate_ms = Duration::from_millis(record->raw_history_sampling_rate_ms);
    config.run_rtt_tcp_phase = flag(record->run_rtt_tcp_phase);
    config.run_rtt_udp_phase = flag(record->run_rtt_udp_phase);
    config.skip_dl_pretest = flag(record->skip_dl_pretest);
    config.run_downlink_phase = flag(record->run_downlink_phase);
    config.skip_ul_pretest = flag(record->skip_ul_pretest);
    config.run_uplink_phase = flag(record->run_uplink_phase);
    config.rtt_tcp_payload_size = record->rtt_tcp_payload_size;
    config.rtt_tcp_num_packets = record->rtt_tcp_num_packets;
    config.rtt_tcp_delay_ms = Duration::from_millis(record->rtt_tcp_delay_ms);
    config.rtt_tcp_timeout_ms = Duration::from_secs(record->rtt_tcp_timeout_s);
    config.rtt_udp_payload_size = record->rtt_udp_payload_size;
    config.rtt_udp_num_packets = record->rtt_udp_num_packets;
    config.rtt_udp_delay_ms = Duration::from_millis(record->rtt_udp_delay_ms);
    config.rtt_udp_timeout_ms = Duration::from_secs(record->rtt_udp_timeout_s);
    config.dl_pretest_duration_ms = Duration::from_secs(record->dl_pretest_duration_s);
    config.dl_duration_ms = Duration::from_secs(record->dl_duration_s);
    config.dl_slow_start_duration_ms = Duration::from_secs(record->dl_slow_start_duration_s);
    config.dl_num_connections = record->dl_num_connections;
    config.ul_pretest_duration_ms = Duration::from_secs(record->ul_pretest_duration_s);
    config.ul_duration_ms = Duration::from_secs(record->ul_duration_s);
    config.ul_slow_start_duration_ms = Duration::from_secs(record->ul_slow_start_duration_s);
    config.ul_num_connections = record->ul_num_connections;
    config.ipv4_only = flag(record->ipv4_only);
    config.ipv6_only = flag(record->ipv6_only);
    return config;
}

const char* phase_name(Phase phase)
{
    switch (phase) {
    case Phase::DownlinkPretest: return "DOWNLINK_PRETEST";
    case Phase::RttTcp: return "RTT_TCP";
    case Phase::RttUdp: return "RTT_UDP";
    case Phase::Downlink: return "DOWNLINK";
    case Phase::UplinkPretest: return "UPLINK_PRETEST";
    case Phase::Uplink: return "UPLINK";
    }
    return "UNKNOWN";
}

mclient_progress to_mclient_progress(const ProgressReport& report)
{
    mclient_progress out;
    std::memset(&out, 0, sizeof out);
    out.phase = static_cast<std::uint32_t>(report.phase);
    out.phase_progress = report.phase_progress;
    out.total_progress = report.total_progress;
    out.rtt_ns = report.rtt_ns.value_or(0);
    out.reserved = report.reserved.value_or(0);
    out.download_bps = report.download_bps.value_or(0.0);
    out.upload_bps = report.upload_bps.value_or(0.0);
    return out;
}

}  // namespace vela_client
