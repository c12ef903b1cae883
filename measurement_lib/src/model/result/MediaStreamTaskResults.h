#pragma once
// Results of a PJSIP VoIP call and of the reception of a multicast RTP
// stream. The VoIP record holds no password.

#include "model/result/TaskResult.h"

#include <boost/json/fwd.hpp>

#include <cstdint>
#include <memory>
#include <string>

namespace trevask::measurement_library {

struct VoipPjsipDelayStatistics {
    double min = 0.0;
    double avg = 0.0;
    double max = 0.0;
};

struct VoipPjsipPacketCounts {
    std::int32_t total = 0;
    std::int32_t lost = 0;
    std::int32_t discard = 0;
    std::int32_t duplicate = 0;
    std::int32_t reorder = 0;
};

struct VoipPjsipCallResult {
    std::unique_ptr<VoipPjsipDelayStatistics> jitter;
    std::unique_ptr<VoipPjsipDelayStatistics> raw_jitter;
    std::unique_ptr<VoipPjsipDelayStatistics> ipdv;
    std::unique_ptr<VoipPjsipDelayStatistics> rtt;
    std::unique_ptr<VoipPjsipPacketCounts> transmitted_packets;
    std::unique_ptr<VoipPjsipPacketCounts> received_packets;
    std::int32_t average_noise_level = 0;
    std::int32_t average_signal_level = 0;
    std::int32_t median_noise_level = 0;
    std::int32_t median_signal_level = 0;
    std::int32_t round_trip_delay = 0;
    std::int32_t end_system_delay = 0;
    std::int64_t call_setup_msec = 0;
    double outgoing_estimated_mos = 0.0;
    double incoming_estimated_mos = 0.0;
    bool register_successful = false;
    bool call_successful = false;
};

struct VoipPjsipTaskResult : TaskResult {
    VoipPjsipCallResult voip_pjsip_result;
    std::string voip_pjsip_objective_call_to_uri;
    std::string voip_pjsip_objective_public_address;
    std::string voip_pjsip_objective_credentials_server;
    std::string voip_pjsip_objective_credentials_id;
    std::string voip_pjsip_objective_credentials_username;
    std::string voip_pjsip_objective_credentials_realm;
    std::uint64_t voip_pjsip_objective_server_register_timeout_ns = 0;
    std::uint64_t voip_pjsip_objective_call_duration_ns = 0;
};

struct MulticastRtpTaskResult : TaskResult {
    std::uint16_t multicast_rtp_objective_port = 0;
    std::string multicast_rtp_objective_multicast_address;
    std::uint64_t multicast_rtp_objective_stream_duration_ns = 0;
    std::uint64_t multicast_rtp_objective_buffer_ns = 0;
    std::int32_t multicast_rtp_result_num_packets = 0;
    std::int32_t multicast_rtp_result_sequence_error = 0;
    std::int64_t multicast_rtp_result_mean_jitter = 0;
    std::int64_t multicast_rtp_result_max_jitter = 0;
    std::int64_t multicast_rtp_result_skew = 0;
    std::int64_t multicast_rtp_result_max_delta = 0;
    std::int32_t multicast_rtp_result_short_seq = 0;
    std::int32_t multicast_rtp_result_long_seq = 0;
    std::int32_t multicast_rtp_result_stalls = 0;
    std::int64_t multicast_rtp_result_avg_stall_time = 0;
    std::int32_t multicast_rtp_result_sample_rate = 0;
};

void VoipPjsipTaskResultWriter(boost::json::value& value, const VoipPjsipTaskResult& result);
void VoipPjsipCallResultWriter(boost::json::value& value, const VoipPjsipCallResult& result);
void VoipPjsipDelayStatisticsWriter(boost::json::value& value, const VoipPjsipDelayStatistics& stats);
void VoipPjsipPacketCountsWriter(boost::json::value& value, const VoipPjsipPacketCounts& counts);
void MulticastRtpTaskResultWriter(boost::json::value& value, const MulticastRtpTaskResult& result);

}  // namespace trevask::measurement_library
