#include <gtest/gtest.h>

#include "ClientResult.h"
#include "JsonWriter.h"

#include <cmath>
#include <limits>

using namespace vela_client;

namespace {

Duration ms(std::uint64_t v) { return Duration::from_millis(v); }

std::string json(const ClientResult& r)
{
    auto out = r.write_json();
    EXPECT_TRUE(out.ok()) << out.error();
    return out.ok() ? out.value() : std::string();
}

std::string config_echo()
{
    ClientResult r;
    r.client_config.emplace();
    const std::string text = json(r);
    return text.substr(17, text.size() - 18);  // strip {"client_config": and }
}

}  // namespace

TEST(ResultJson, FloatLayoutIsShortestRoundTrip)
{
    const std::pair<double, const char*> f64_cases[] = {
        {0.0, "0.0"},
        {2500.0, "2500.0"},
        {12500000000000.0, "12500000000000.0"},
        {9999999999999998.0, "9999999999999998.0"},
        {1e16, "1e16"},
        {1.2345e17, "1.2345e17"},
        {2.5e19, "2.5e19"},
        {0.5, "0.5"},
        {1234.5678, "1234.5678"},
        {0.0001, "0.0001"},
        {1e-5, "0.00001"},
        {1e-6, "1e-6"},
        {-1.5, "-1.5"},
        {std::numeric_limits<double>::infinity(), "null"},
        {std::nan(""), "null"},
    };
    for (const auto& [v, text] : f64_cases) {
        EXPECT_EQ(format_f64(v), text);
    }
    const std::pair<float, const char*> f32_cases[] = {
        {0.0F, "0.0"},
        {0.25F, "0.25"},
        {1.0F / 3.0F, "0.33333334"},
        {1.0F / 30.0F, "0.033333335"},
        {1.0F, "1.0"},
        {0.002F, "0.002"},
        {1e-6F, "0.000001"},
        {1e-7F, "1e-7"},
        {1234567.0F, "1234567.0"},
        {1e13F, "1e13"},
        {std::numeric_limits<float>::quiet_NaN(), "null"},
    };
    for (const auto& [v, text] : f32_cases) {
        EXPECT_EQ(format_f32(v), text);
    }
}

TEST(ResultJson, EmptyResultIsEmptyObject)
{
    EXPECT_EQ(json(ClientResult{}), "{}");
}

TEST(ResultJson, RttTcpWithConfigurationOmitsAbsentPhases)
{
    ClientResult r;
    RttTcpResult& tcp = r.rtt_tcp.emplace();
    tcp.timing = {ms(1), Duration::from_secs(2)};
    tcp.num_requested = 10;
    tcp.num_sent = 2;
    const std::vector<Duration> rtts = {ms(3), ms(1)};
    tcp.rtt = duration_stats(rtts);
    tcp.jitter = duration_stats(successive_differences(rtts));  // empty: all six absent
    tcp.rtts = std::vector<RttSample>{{Duration(), ms(3)}, {ms(10), ms(1)}};
    r.client_config.emplace();

    EXPECT_EQ(json(r),
              "{\"rtt_tcp\":{\"relative_start_time_ns\":1000000,\"duration_ns\":2000000000,\"num_requested\":10,"
              "\"num_sent\":2,\"rtt_min_ns\":1000000,\"rtt_max_ns\":3000000,\"rtt_avg_ns\":2000000,"
              "\"rtt_med_ns\":2000000,\"rtt_std_dev_ns\":1000000,\"rtt_var_ns\":1000000000000.0,"
              "\"rtts\":[{\"time_ns\":0,\"rtt_ns\":3000000},{\"time_ns\":10000000,\"rtt_ns\":1000000}]},"
              "\"client_config\":" +
                  config_echo() + "}");

    tcp.rtts = std::vector<RttSample>{};
    tcp.rtt = duration_stats({Duration::from_nanos(50), Duration::from_nanos(150)});
    const std::string text = json(r);
    EXPECT_NE(text.find("\"rtt_std_dev_ns\":50,\"rtt_var_ns\":2500.0,\"rtts\":[]}"), std::string::npos);
}

TEST(ResultJson, RttUdpWithLargeVarianceLossAndSampleFlags)
{
    ClientResult r;
    RttUdpResult& udp = r.rtt_udp.emplace();
    udp.num_requested = 3;
    udp.num_sent = 3;
    const std::vector<Duration> rtts = {Duration::from_secs(1), Duration::from_secs(11)};
    udp.rtt = duration_stats(rtts);
    udp.jitter = duration_stats(successive_differences(rtts));
    ConnectionStreamInfoParameter client;
    client.local_ip = "10.0.0.2";
    client.local_port = 50000;
    client.remote_ip = "192.0.2.1";
    udp.connection_stream_info = std::vector<ConnectionStreamInfo>{{client, std::nullopt}};
    udp.packet_loss = 1.0F / 3.0F;
    udp.num_lost = 1;
    udp.num_out_of_order = 1;
    udp.rtts = std::vector<UdpRttSample>{
        {RttSample{Duration(), Duration::from_secs(1)}, false, false, 0U},
        {std::nullopt, true, false, 1U},
        {RttSample{ms(20), Duration::from_secs(11)}, false, true, std::nullopt},
        {std::nullopt, true, false, std::nullopt},
    };

    EXPECT_EQ(json(r),
              "{\"rtt_udp\":{\"num_requested\":3,\"num_sent\":3,\"rtt_min_ns\":1000000000,"
              "\"rtt_max_ns\":11000000000,\"rtt_avg_ns\":6000000000,\"rtt_med_ns\":6000000000,"
              "\"rtt_std_dev_ns\":5000000000,\"rtt_var_ns\":2.5e19,\"jitter_min_ns\":10000000000,"
              "\"jitter_max_ns\":10000000000,\"jitter_avg_ns\":10000000000,\"jitter_med_ns\":10000000000,"
              "\"jitter_std_dev_ns\":0,\"jitter_var_ns\":0.0,\"connection_stream_info\":[{\"client\":"
              "{\"local_ip\":\"10.0.0.2\",\"local_port\":50000,\"remote_ip\":\"192.0.2.1\",\"remote_port\":null},"
              "\"server\":null}],\"packet_loss\":0.33333334,\"num_lost\":1,\"num_out_of_order\":1,"
              "\"rtts\":[{\"time_ns\":0,\"rtt_ns\":1000000000,\"i\":0},{\"l\":true,\"i\":1},"
              "{\"time_ns\":20000000,\"rtt_ns\":11000000000,\"o\":true},{\"l\":true}]}}");

    udp.packet_loss = 0.0F;
    EXPECT_NE(json(r).find("\"packet_loss\":0.0,"), std::string::npos);
    udp.packet_loss = std::numeric_limits<float>::infinity();
    EXPECT_NE(json(r).find("\"packet_loss\":null,"), std::string::npos);
}

TEST(ResultJson, ThroughputRawDataInNumericKeyOrder)
{
    ClientResult r;
    ThroughputResult& dl = r.dl.emplace();
    dl.timing = {Duration::from_secs(3), Duration::from_secs(10)};
    dl.pretest_duration = Duration::from_secs(2);
    dl.bytes = 1600;
    dl.bps = 1280;
    RawData raw;
    for (std::uint8_t conn = 0; conn < 12; ++conn) {
        raw[conn] = {{conn, ms(250)}};
    }
    dl.raw_data = raw;
    dl.connection_stream_info = std::vector<ConnectionStreamInfo>{};
    r.ul.emplace().raw_data = RawData{};
    r.server_info.emplace();

    std::string expected =
        "{\"dl\":{\"relative_start_time_ns\":3000000000,\"duration_ns\":10000000000,"
        "\"pretest_duration_ns\":2000000000,\"bytes\":1600,\"bps\":1280,\"raw_data\":{";
    for (int conn = 0; conn < 12; ++conn) {
        expected += (conn ? ",\"" : "\"") + std::to_string(conn) + "\":[{\"time_ns\":250000000,\"b\":" +
                    std::to_string(conn) + "}]";
    }
    expected += "},\"connection_stream_info\":[]},\"ul\":{\"raw_data\":{}},\"server_info\":{}}";
    EXPECT_EQ(json(r), expected);
}

TEST(ResultJson, ServerInfoAndTextsAreEscaped)
{
    ClientResult r;
    ServerInfo& info = r.server_info.emplace();
    info.vmstat = "procs\n \"r\" \\ \t\x01\x1f";
    info.reverse_traceroute = "caf\xC3\xA9 \xFF end";
    EXPECT_EQ(json(r),
              "{\"server_info\":{\"vmstat\":\"procs\\n \\\"r\\\" \\\\ \\t\\u0001\\u001f\","
              "\"reverse_traceroute\":\"caf\xC3\xA9 \xEF\xBF\xBD end\"}}");
}

TEST(ResultJson, DurationBeyondSixtyFourBitNanosecondsFails)
{
    ClientResult r;
    r.ul.emplace().timing.duration = Duration::from_secs(18'446'744'074ULL);  // just past 2^64 ns
    auto out = r.write_json();
    ASSERT_FALSE(out.ok());
    EXPECT_EQ(out.error(), "Failed to serialize value as the value cannot be represented.");

    // The largest value that fits is written exactly.
    r.ul->timing.duration = Duration::from_nanos(UINT64_MAX);
    EXPECT_EQ(json(r), "{\"ul\":{\"duration_ns\":18446744073709551615}}");

    // A variance beyond 64 bits is a float, never a failure.
    ClientResult v;
    v.rtt_tcp.emplace().rtt.var = Duration::max();
    EXPECT_NE(json(v).find("\"rtt_var_ns\":1.8446744073709552e28"), std::string::npos);
}

TEST(ResultJson, DiagnosticTextNamesEveryField)
{
    ConnectionStreamInfoParameter p;
    p.local_ip = "::1";
    p.local_port = 4000;
    EXPECT_EQ(to_string(ConnectionStreamInfo{p, std::nullopt}),
              "ConnectionStreamInfo { client: Some(ConnectionStreamInfoParameter { local_ip: Some(\"::1\"), "
              "local_port: Some(4000), remote_ip: None, remote_port: None }), server: None }");
}
