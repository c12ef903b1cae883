// Turning the native speed test's VelaTaskResult into the report's speed
// sub-result, and the decimal text conversions it relies on.

#include "model/result/DecimalText.h"
#include "model/result/SpeedMeasurementResult.h"
#include "model/result/VelaTaskResult.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

using namespace trevask::measurement_library;

namespace {

struct DecimalCase {
    const char* text;
    std::optional<std::int64_t> asInt64;
    std::optional<std::int32_t> asInt32;
    std::optional<std::uint64_t> asUInt64;
};

TEST(DecimalText, ConversionTable) {
    const DecimalCase cases[] = {
        {"0", 0, 0, 0u},
        {"12", 12, 12, 12u},
        {"12 ms", 12, 12, 12u},
        {"  \t+7", 7, 7, 7u},
        {"-5", -5, -5, std::nullopt},
        {"-0", 0, 0, 0u},
        {"", std::nullopt, std::nullopt, std::nullopt},
        {"ms", std::nullopt, std::nullopt, std::nullopt},
        {" ", std::nullopt, std::nullopt, std::nullopt},
        {"+", std::nullopt, std::nullopt, std::nullopt},
        {"- 5", std::nullopt, std::nullopt, std::nullopt},
        {"0x10", 0, 0, 0u},
        {"2147483647", 2147483647, 2147483647, 2147483647u},
        {"2147483648", 2147483648, std::nullopt, 2147483648u},
        {"-2147483648", -2147483648LL, INT32_MIN, std::nullopt},
        {"-2147483649", -2147483649LL, std::nullopt, std::nullopt},
        {"9223372036854775807", INT64_MAX, std::nullopt, 9223372036854775807u},
        {"9223372036854775808", std::nullopt, std::nullopt, 9223372036854775808u},
        {"-9223372036854775808", INT64_MIN, std::nullopt, std::nullopt},
        {"18446744073709551615", std::nullopt, std::nullopt, 18446744073709551615u},
        {"18446744073709551616", std::nullopt, std::nullopt, std::nullopt},
        {"99999999999999999999999", std::nullopt, std::nullopt, std::nullopt},
    };
    for (const DecimalCase& c : cases) {
        EXPECT_EQ(decimalToInt64(c.text), c.asInt64) << '"' << c.text << '"';
        EXPECT_EQ(decimalToInt32(c.text), c.asInt32) << '"' << c.text << '"';
        EXPECT_EQ(decimalToUInt64(c.text), c.asUInt64) << '"' << c.text << '"';
    }
}

VelaThroughputSummary summary(const char* bytes, const char* duration, const char* start) {
    VelaThroughputSummary s;
    s.bytes = bytes;
    s.duration = duration;
    s.duration_including_pretest = "";
    s.relative_start_time = start;
    s.bps = "1000";
    return s;
}

SprintConnectionStreamInfo stream(const char* ip, std::uint16_t port) {
    SprintConnectionStreamInfo info;
    info.client = SprintEndpoint{ip, port, "192.0.2.10", 8080};
    return info;
}

TEST(SpeedMeasurementResult, NullResultHoldsOnlyItsTypeText) {
    const SpeedMeasurementResult s(nullptr);
    EXPECT_EQ(s.deserialize_type, "speed_result");
    EXPECT_FALSE(s.status);
    EXPECT_FALSE(s.relative_start_time_ns);
    EXPECT_FALSE(s.connection_info);
    EXPECT_TRUE(s.download_raw_data.empty());
    EXPECT_FALSE(s.rtt_info || s.rtt_tcp_info);
}

TEST(SpeedMeasurementResult, NothingFilled) {
    const VelaTaskResult r;
    EXPECT_EQ(r.result_type, "speed_result");
    const SpeedMeasurementResult s(&r);
    EXPECT_EQ(s.status, "FINISHED");
    EXPECT_EQ(s.relative_start_time_ns, 0u);
    EXPECT_FALSE(s.relative_end_time_ns);
    ASSERT_TRUE(s.connection_info);
    EXPECT_EQ(s.connection_info->address, "");
    EXPECT_FALSE(s.connection_info->port);
    EXPECT_FALSE(s.connection_info->identifier);
    EXPECT_FALSE(s.connection_info->encrypted);
    EXPECT_FALSE(s.connection_info->requested_num_streams_download);
    EXPECT_FALSE(s.connection_info->rtt_stream_info);
    EXPECT_FALSE(s.connection_info->download_stream_info);
    EXPECT_FALSE(s.connection_info->agent_interface_total_traffic);
    EXPECT_FALSE(s.bytes_download || s.bytes_upload || s.duration_rtt_ns || s.duration_rtt_tcp_ns ||
                 s.duration_download_ns || s.duration_upload_ns || s.relative_start_time_download_ns ||
                 s.relative_start_time_upload_ns || s.relative_start_time_rtt_ns);
    EXPECT_TRUE(s.download_raw_data.empty() && s.upload_raw_data.empty());
    EXPECT_FALSE(s.rtt_info || s.rtt_tcp_info);
}

TEST(SpeedMeasurementResult, ConnectionTexts) {
    struct Row {
        const char* encrypted;
        const char* port;
        std::optional<bool> expectEncrypted;
        std::optional<std::int32_t> expectPort;
    };
    const Row rows[] = {
        {"1", "443", true, 443},
        {"0", "8080", false, 8080},
        {"2", " 80 ", false, 80},
        {"yes", "http", std::nullopt, std::nullopt},
        {"", "70000", std::nullopt, 70000},
        {"1", "4294967296", true, std::nullopt},
    };
    for (const Row& row : rows) {
        VelaTaskResult r;
        r.connection.address = "speed.example.test";
        r.connection.encrypted = row.encrypted;
        r.connection.port = row.port;
        const SpeedMeasurementResult s(&r);
        EXPECT_EQ(s.connection_info->address, "speed.example.test");
        EXPECT_EQ(s.connection_info->encrypted, row.expectEncrypted) << row.encrypted;
        EXPECT_EQ(s.connection_info->port, row.expectPort) << row.port;
    }
}

TEST(SpeedMeasurementResult, DownlinkOnly) {
    VelaTaskResult r;
    r.download_summaries.push_back(summary("1", "1", "1"));  // only the last summary counts
    r.download_summaries.push_back(summary("875000000", "7000000000", "7800000000"));
    r.download_summaries.back().bytes_including_slow_start = "900000000";
    r.download_stream_info = {stream("127.0.0.1", 40114)};
    const SpeedMeasurementResult s(&r);
    EXPECT_EQ(s.bytes_download, 875000000u);
    EXPECT_EQ(s.bytes_download_including_slow_start, 900000000u);
    EXPECT_EQ(s.duration_download_ns, 7000000000u);
    EXPECT_EQ(s.relative_start_time_download_ns, 7800000000u);
    EXPECT_EQ(s.connection_info->requested_num_streams_download, 4);
    EXPECT_EQ(s.connection_info->actual_num_streams_download, 4);
    EXPECT_FALSE(s.connection_info->requested_num_streams_upload);
    EXPECT_FALSE(s.connection_info->actual_num_streams_upload);
    EXPECT_FALSE(s.relative_end_time_ns);
    ASSERT_TRUE(s.connection_info->download_stream_info);
    ASSERT_EQ(s.connection_info->download_stream_info->size(), 1u);
    EXPECT_EQ((*s.connection_info->download_stream_info)[0].client->local_port, 40114);
    EXPECT_FALSE(s.connection_info->upload_stream_info);
}

TEST(SpeedMeasurementResult, FailedConversionsAffectOnlyTheirField) {
    VelaTaskResult r;
    r.download_summaries.push_back(summary("lots", "7000000000", "-1"));
    r.download_summaries.back().requested_streams = "8";
    r.download_summaries.back().actual_streams = "eight";
    const SpeedMeasurementResult s(&r);
    EXPECT_FALSE(s.bytes_download);
    EXPECT_FALSE(s.bytes_download_including_slow_start);  // empty text
    EXPECT_EQ(s.duration_download_ns, 7000000000u);
    EXPECT_FALSE(s.relative_start_time_download_ns);      // negative: not wrapped
    EXPECT_EQ(s.connection_info->requested_num_streams_download, 8);
    EXPECT_EQ(s.connection_info->actual_num_streams_download, 4);
}

TEST(SpeedMeasurementResult, UploadEndsTheMeasurement) {
    VelaTaskResult r;
    r.upload_summaries.push_back(summary("125000000", "10000000000", "21000000000"));
    r.upload_stream_info = {};
    SpeedMeasurementResult s(&r);
    EXPECT_EQ(s.relative_end_time_ns, 31000000000u);
    EXPECT_EQ(s.bytes_upload, 125000000u);
    EXPECT_EQ(s.connection_info->requested_num_streams_upload, 4);
    ASSERT_TRUE(s.connection_info->upload_stream_info);
    EXPECT_TRUE(s.connection_info->upload_stream_info->empty());
    EXPECT_FALSE(s.bytes_download);

    r.upload_summaries.back().duration = "";
    EXPECT_FALSE(SpeedMeasurementResult(&r).relative_end_time_ns);

    r.upload_summaries.back().duration = "18446744073709551615";  // beyond signed 64 bits
    EXPECT_FALSE(SpeedMeasurementResult(&r).duration_upload_ns);

    r.upload_summaries.back().duration = "9223372036854775807";
    r.upload_summaries.back().relative_start_time = "9223372036854775807";
    const SpeedMeasurementResult big(&r);
    EXPECT_EQ(big.relative_end_time_ns, 18446744073709551614u);
}

TEST(SpeedMeasurementResult, RawDataItems) {
    VelaTaskResult r;
    ThroughputStreamInfo a;
    a.bytes = "31250000";
    a.relative_time = "250000000";
    a.bytes_including_slow_start = "99";
    a.stream_id = 10;
    ThroughputStreamInfo b;
    b.bytes = "x";
    b.relative_time = "";
    b.stream_id = 2;
    r.download_raw_data = {a, b};
    r.upload_raw_data = {b};
    const SpeedMeasurementResult s(&r);
    ASSERT_EQ(s.download_raw_data.size(), 2u);
    EXPECT_EQ(s.download_raw_data[0].stream_id, 10);
    EXPECT_EQ(s.download_raw_data[0].relative_time_ns, 250000000u);
    EXPECT_EQ(s.download_raw_data[0].bytes, 31250000u);
    EXPECT_EQ(s.download_raw_data[0].bytes_including_slow_start, 0u);
    EXPECT_EQ(s.download_raw_data[1].stream_id, 2);
    EXPECT_EQ(s.download_raw_data[1].relative_time_ns, 0u);
    EXPECT_EQ(s.download_raw_data[1].bytes, 0u);
    ASSERT_EQ(s.upload_raw_data.size(), 1u);
}

VelaRttStatistics tcpStatistics() {
    VelaRttStatistics t;
    t.duration = "104000000";
    t.rtt_avg = "1120000";
    t.rtt_max = "2450000";
    t.rtt_med = "1010000";
    t.rtt_min = "810000";
    t.rtt_std_dev = "450000";
    t.received_count = "2";
    t.num_sent = "10";
    t.num_requested = 10;
    t.rtt_var_ns = 202500000000u;
    t.jitter_max_ns = 1440000u;
    return t;
}

TEST(SpeedMeasurementResult, TcpStatistics) {
    VelaTaskResult r;
    r.tcp_statistics = tcpStatistics();
    r.rtt_stream_info = {stream("127.0.0.1", 40112)};
    const SpeedMeasurementResult s(&r);
    ASSERT_TRUE(s.rtt_tcp_info);
    const RttStatisticsDto& t = *s.rtt_tcp_info;
    EXPECT_EQ(t.num_sent, 10);
    EXPECT_EQ(t.num_received, 2);
    EXPECT_EQ(t.num_error, 0);    // the TCP texts are empty
    EXPECT_EQ(t.num_missing, 0);
    EXPECT_EQ(t.packet_size, 0);
    EXPECT_EQ(t.average_ns, 1120000u);
    EXPECT_EQ(t.median_ns, 1010000u);
    EXPECT_EQ(t.min_ns, 810000u);
    EXPECT_EQ(t.max_ns, 2450000u);
    EXPECT_EQ(t.standard_deviation_ns, 450000u);
    EXPECT_EQ(t.requested_num_packets, 10u);
    EXPECT_EQ(t.rtt_var_ns, 202500000000u);
    EXPECT_EQ(t.jitter_max_ns, 1440000u);
    EXPECT_FALSE(t.jitter_min_ns);
    EXPECT_TRUE(t.rtts.empty());
    EXPECT_EQ(s.duration_rtt_tcp_ns, 104000000u);
    EXPECT_FALSE(s.duration_rtt_ns);
    EXPECT_FALSE(s.rtt_info);
    ASSERT_TRUE(s.connection_info->rtt_stream_info);
    EXPECT_EQ(s.connection_info->rtt_stream_info->size(), 1u);

    r.tcp_statistics->samples = {{0, 2450000, std::nullopt, std::nullopt, std::nullopt},
                                 {10400000, 810000, std::nullopt, std::nullopt, std::nullopt}};
    r.tcp_statistics->rtt_avg = "-3";  // not a valid unsigned figure
    const SpeedMeasurementResult withSamples(&r);
    ASSERT_EQ(withSamples.rtt_tcp_info->rtts.size(), 2u);
    EXPECT_EQ(withSamples.rtt_tcp_info->rtts[1].rtt_ns, 810000u);
    EXPECT_EQ(withSamples.rtt_tcp_info->rtts[1].relative_time_ns, 10400000u);
    EXPECT_EQ(withSamples.rtt_tcp_info->average_ns, 0u);
}

TEST(SpeedMeasurementResult, UdpStatisticsWithoutTcp) {
    VelaTaskResult r;
    VelaRttStatistics p;
    p.duration = "5100000000";
    p.out_of_order_count = "1";
    p.lost_count = "1";
    p.received_count = "2";
    p.num_sent = "3";
    p.packet_loss = 0.33333334f;
    p.num_lost = 1;
    p.num_out_of_order = 1;
    p.samples = {{0, 700000, false, std::nullopt, 0u}, {20000000, 900000, std::nullopt, true, 2u}};
    r.udp_statistics = p;
    r.rtt_stream_info = {stream("127.0.0.1", 1)};  // only with TCP statistics
    const SpeedMeasurementResult s(&r);
    ASSERT_TRUE(s.rtt_info);
    EXPECT_EQ(s.duration_rtt_ns, 5100000000u);
    EXPECT_FALSE(s.duration_rtt_tcp_ns);
    EXPECT_FALSE(s.rtt_tcp_info);
    EXPECT_FALSE(s.connection_info->rtt_stream_info);
    const UdpRttStatisticsDto& u = *s.rtt_info;
    EXPECT_EQ(u.num_error, 1);
    EXPECT_EQ(u.num_missing, 1);
    EXPECT_EQ(u.num_received, 2);
    EXPECT_EQ(u.num_sent, 3);
    EXPECT_EQ(u.packet_loss, 0.33333334f);
    EXPECT_EQ(u.num_lost, 1u);
    EXPECT_EQ(u.num_out_of_order, 1u);
    ASSERT_EQ(u.rtts.size(), 2u);
    EXPECT_EQ(u.rtts[0].rtt_ns, 700000u);
    EXPECT_EQ(u.rtts[0].l, false);
    EXPECT_FALSE(u.rtts[0].o);
    EXPECT_EQ(u.rtts[0].i, 0u);
    EXPECT_EQ(u.rtts[1].relative_time_ns, 20000000u);
    EXPECT_EQ(u.rtts[1].o, true);

    r.udp_statistics->duration = "-7";
    EXPECT_EQ(SpeedMeasurementResult(&r).duration_rtt_ns, 0u);
    r.udp_statistics->duration = "n/a";
    EXPECT_FALSE(SpeedMeasurementResult(&r).duration_rtt_ns);
}

TEST(SpeedMeasurementResult, InterfaceTraffic) {
    VelaTaskResult r;
    r.total_traffic = InterfaceTraffic{1000u, 2000u};
    r.upload_measurement_traffic = InterfaceTraffic{std::nullopt, 5u};
    const SpeedMeasurementResult s(&r);
    const SpeedConnectionInfoDto& c = *s.connection_info;
    ASSERT_TRUE(c.agent_interface_total_traffic);
    EXPECT_EQ(c.agent_interface_total_traffic->bytes_tx, 1000u);
    EXPECT_EQ(c.agent_interface_total_traffic->bytes_rx, 2000u);
    ASSERT_TRUE(c.agent_interface_upload_measurement_traffic);
    EXPECT_EQ(c.agent_interface_upload_measurement_traffic->bytes_tx, 0u);
    EXPECT_EQ(c.agent_interface_upload_measurement_traffic->bytes_rx, 5u);
    EXPECT_FALSE(c.agent_interface_download_measurement_traffic);
}

TEST(SpeedMeasurementResult, KeepsNoReferenceAndIsOwnedThroughTheBase) {
    auto r = std::make_unique<VelaTaskResult>();
    r->connection.address = "host";
    r->tcp_statistics = tcpStatistics();
    std::unique_ptr<SubMeasurementResult> sub = std::make_unique<SpeedMeasurementResult>(r.get());
    r.reset();
    auto* speed = dynamic_cast<SpeedMeasurementResult*>(sub.get());
    ASSERT_NE(speed, nullptr);
    EXPECT_EQ(speed->connection_info->address, "host");
    EXPECT_EQ(speed->rtt_tcp_info->num_sent, 10);
    const SpeedMeasurementResult copy = *speed;
    EXPECT_EQ(copy.rtt_tcp_info->average_ns, 1120000u);
}

}  // namespace
