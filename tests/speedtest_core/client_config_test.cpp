#include <gtest/gtest.h>

#include "CallingInterfaceRecords.h"
#include "ClientConfig.h"
#include "ClientResult.h"

#include <cstring>
#include <functional>
#include <string>

using namespace vela_client;

namespace {

std::string echo(const ClientConfig& config)
{
    ClientResult result;
    result.client_config = config;
    auto json = result.write_json();
    EXPECT_TRUE(json.ok()) << json.error();
    const std::string prefix = "{\"client_config\":";
    std::string text = json.value();
    EXPECT_EQ(text.rfind(prefix, 0), 0U);
    return text.substr(prefix.size(), text.size() - prefix.size() - 1);
}

// What the native speed-test task hands over.
mclient_config agent_record(const char* host, const char* token)
{
    mclient_config r;
    std::memset(&r, 0, sizeof r);
    r.host = host;
    r.port_tcp = 443;
    r.port_udp = 444;
    r.tls = 1;
    r.skip_certificate_validation = 1;
    r.progress_update_limit_ms = 200;
    r.raw_history_sampling_rate_ms = 250;
    r.run_rtt_tcp_phase = r.run_rtt_udp_phase = 1;
    r.run_downlink_phase = r.run_uplink_phase = 1;
    r.rtt_tcp_payload_size = 5;
    r.rtt_tcp_num_packets = 10;
    r.rtt_tcp_delay_ms = 10;
    r.rtt_tcp_timeout_s = 10;
    r.rtt_udp_payload_size = 32;
    r.rtt_udp_num_packets = 500;
    r.rtt_udp_delay_ms = 10;
    r.rtt_udp_timeout_s = 10;
    r.dl_pretest_duration_s = 2;
    r.dl_duration_s = 10;
    r.dl_slow_start_duration_s = 3;
    r.dl_num_connections = 4;
    r.ul_pretest_duration_s = 2;
    r.ul_duration_s = 10;
    r.ul_slow_start_duration_s = 3;
    r.ul_num_connections = 4;
    r.token = token;
    return r;
}

}  // namespace

TEST(ClientConfig, DefaultsValidateAndEchoEveryFieldInOrder)
{
    const ClientConfig c;
    EXPECT_EQ(c.validate(), std::nullopt);
    EXPECT_EQ(echo(c),
              "{\"host\":\"localhost\",\"port_tcp\":6142,\"port_udp\":6142,\"port_ws_signaling\":3536,"
              "\"websocket\":false,\"tls\":false,\"skip_certificate_validation\":false,"
              "\"progress_update_limit_ms\":1000,\"raw_history_sampling_rate_ms\":250,"
              "\"run_rtt_tcp_phase\":true,\"run_rtt_udp_phase\":true,\"run_downlink_phase\":true,"
              "\"run_uplink_phase\":true,\"rtt_tcp_payload_size\":5,\"rtt_tcp_num_packets\":20,"
              "\"rtt_tcp_delay_ms\":10,\"rtt_tcp_timeout_ms\":10000,\"rtt_udp_payload_size\":32,"
              "\"rtt_udp_num_packets\":500,\"rtt_udp_delay_ms\":10,\"rtt_udp_timeout_ms\":10000,"
              "\"rtt_udp_receive_timeout_ms\":2000,\"skip_dl_pretest\":false,\"dl_pretest_duration_ms\":2000,"
              "\"dl_duration_ms\":10000,\"dl_slow_start_duration_ms\":3000,\"dl_num_connections\":4,"
              "\"skip_ul_pretest\":false,\"ul_pretest_duration_ms\":2000,\"ul_duration_ms\":10000,"
              "\"ul_slow_start_duration_ms\":1000,\"ul_num_connections\":4,\"total_timeout_s\":null,"
              "\"request_server_load\":false,\"request_reverse_traceroute\":false,"
              "\"traceroute_max_duration_s\":15,\"token\":null,\"secret_key\":null,\"ipv4_only\":false,"
              "\"ipv6_only\":false,\"wasm_runner_link\":null,\"web_transport_cert_digest\":null}");
}

TEST(ClientConfig, ValidationReturnsFirstFailingRuleText)
{
    struct Case {
        const char* name;
        std::function<void(ClientConfig&)> change;
        std::optional<std::string> expected;
    };
    const auto phases = [](bool tcp, bool udp, bool dl, bool ul) {
        return [=](ClientConfig& c) {
            c.run_rtt_tcp_phase = tcp;
            c.run_rtt_udp_phase = udp;
            c.run_downlink_phase = dl;
            c.run_uplink_phase = ul;
        };
    };
    const Case cases[] = {
        {"no phase and empty host: phase rule wins",
         [&](ClientConfig& c) { phases(false, false, false, false)(c); c.host.clear(); },
         "at least one testphase must be enabled"},
        {"empty host beats token and key",
         [](ClientConfig& c) { c.host.clear(); c.token = "t"; c.secret_key = "k"; }, "host not set"},
        {"token and key", [](ClientConfig& c) { c.token = "t"; c.secret_key = "k"; },
         "token and secrety_key are mutually exclusive"},
        {"both address families", [](ClientConfig& c) { c.ipv4_only = c.ipv6_only = true; },
         "options ipv4 and ipv6 are mutually exclusive"},
        {"tcp port checked for udp-only run", [&](ClientConfig& c) { phases(false, true, false, false)(c); c.port_tcp = 0; },
         "TCP port can not be 0"},
        {"tcp payload", [](ClientConfig& c) { c.rtt_tcp_payload_size = 0; c.rtt_tcp_num_packets = 0; },
         "TCP payload size can not be 0"},
        {"tcp pings", [](ClientConfig& c) { c.rtt_tcp_num_packets = 0; }, "number of TCP pings can not be 0"},
        {"udp port", [&](ClientConfig& c) { phases(false, true, false, false)(c); c.port_udp = 0; },
         "UDP port can not be 0"},
        {"udp port ignored without udp phase", [&](ClientConfig& c) { phases(true, false, false, false)(c); c.port_udp = 0; },
         std::nullopt},
        {"udp payload", [](ClientConfig& c) { c.rtt_udp_payload_size = 0; }, "UPD payload size can not be 0"},
        {"udp pings", [](ClientConfig& c) { c.rtt_udp_num_packets = 0; }, "number of UDP pings can not be 0"},
        {"dl pretest for rtt tcp only",
         [&](ClientConfig& c) { phases(true, false, false, false)(c); c.dl_pretest_duration_ms = Duration(); },
         "downlink pretest duration can not be 0"},
        {"dl pretest skipped",
         [&](ClientConfig& c) { phases(true, false, false, false)(c); c.dl_pretest_duration_ms = Duration(); c.skip_dl_pretest = true; },
         std::nullopt},
        {"dl pretest of one nanosecond is not zero", [](ClientConfig& c) { c.dl_pretest_duration_ms = Duration(0, 1); },
         std::nullopt},
        {"dl duration", [](ClientConfig& c) { c.dl_duration_ms = Duration(); c.dl_num_connections = 0; },
         "downlink test duration can not be 0"},
        {"dl connections", [](ClientConfig& c) { c.dl_num_connections = 0; }, "number of downlink connections can not be 0"},
        {"ul pretest skipped",
         [&](ClientConfig& c) { phases(false, false, false, true)(c); c.ul_pretest_duration_ms = Duration(); c.skip_ul_pretest = true; },
         std::nullopt},
        {"ul pretest", [](ClientConfig& c) { c.ul_pretest_duration_ms = Duration(); }, "uplink pretest duration can not be 0"},
        {"ul duration",
         [&](ClientConfig& c) { phases(false, false, false, true)(c); c.ul_pretest_duration_ms = Duration(); c.skip_ul_pretest = true; c.ul_duration_ms = Duration(); },
         "uplink test duration can not be 0"},
        {"ul connections", [](ClientConfig& c) { c.ul_num_connections = 0; }, "number of uplink connections can not be 0"},
        {"sampling rate with rtt phases only",
         [&](ClientConfig& c) { phases(true, true, false, false)(c); c.raw_history_sampling_rate_ms = Duration(); },
         "raw history sampling rate can not be 0"},
        {"traceroute duration", [](ClientConfig& c) { c.request_reverse_traceroute = true; c.traceroute_max_duration_s = Duration(); },
         "traceroute_max_duration can not be 0 seconds"},
        {"traceroute duration unused", [](ClientConfig& c) { c.traceroute_max_duration_s = Duration(); }, std::nullopt},
        {"unchecked durations may be zero",
         [](ClientConfig& c) {
             c.progress_update_limit_ms = c.dl_slow_start_duration_ms = c.ul_slow_start_duration_ms = Duration();
             c.rtt_tcp_timeout_ms = c.rtt_udp_delay_ms = c.rtt_udp_receive_timeout_ms = Duration();
             c.total_timeout_s = Duration();
         },
         std::nullopt},
    };
    for (const auto& tc : cases) {
        ClientConfig c;
        tc.change(c);
        EXPECT_EQ(c.validate(), tc.expected) << tc.name;
    }
}

TEST(ClientConfig, EchoRoundsMillisecondsAndSecondsHalfUp)
{
    struct Case {
        Duration value;
        const char* expected_ms;
    };
    const Case ms_cases[] = {
        {Duration::from_micros(1500), "\"rtt_tcp_delay_ms\":2,"},
        {Duration::from_nanos(1'499'900), "\"rtt_tcp_delay_ms\":1,"},
        {Duration::from_nanos(999'500), "\"rtt_tcp_delay_ms\":1,"},
        {Duration::from_nanos(499'999), "\"rtt_tcp_delay_ms\":0,"},
        {Duration::from_millis(250), "\"rtt_tcp_delay_ms\":250,"},
    };
    for (const auto& tc : ms_cases) {
        ClientConfig c;
        c.rtt_tcp_delay_ms = tc.value;
        EXPECT_NE(echo(c).find(tc.expected_ms), std::string::npos) << tc.expected_ms;
    }

    ClientConfig c;
    c.total_timeout_s = Duration(2, 500'000'000);
    c.traceroute_max_duration_s = Duration(14, 499'999'999);
    c.token = "a\"b";
    const std::string text = echo(c);
    EXPECT_NE(text.find("\"total_timeout_s\":3,"), std::string::npos);
    EXPECT_NE(text.find("\"traceroute_max_duration_s\":14,"), std::string::npos);
    EXPECT_NE(text.find("\"token\":\"a\\\"b\",\"secret_key\":null"), std::string::npos);
}

TEST(ClientConfig, EchoOfUnrepresentableMillisecondsFails)
{
    ClientResult result;
    result.client_config.emplace();
    result.client_config->dl_duration_ms = Duration::from_secs(UINT64_MAX / 1000 + 1);
    auto json = result.write_json();
    ASSERT_FALSE(json.ok());
    EXPECT_EQ(json.error(), "Failed to serialize value as the value cannot be represented.");

    result.client_config->dl_duration_ms = Duration::from_secs(10);
    result.client_config->total_timeout_s = Duration::max();  // rounding up overflows the seconds
    EXPECT_FALSE(result.write_json().ok());
}

TEST(CallingInterfaceRecords, RecordOverwritesDefaultsWithUnitConversion)
{
    mclient_config r = agent_record("measure.example", "tok");
    r.rtt_udp_delay_ms = 1500;
    r.ipv6_only = 7;  // any non-zero value is true
    const auto c = client_config_from_record(&r);
    ASSERT_TRUE(c.has_value());
    EXPECT_EQ(c->validate(), std::nullopt);
    EXPECT_EQ(c->host, "measure.example");
    EXPECT_EQ(c->port_tcp, 443);
    EXPECT_EQ(c->port_udp, 444);
    EXPECT_TRUE(c->tls);
    EXPECT_TRUE(c->ipv6_only);
    EXPECT_FALSE(c->ipv4_only);
    EXPECT_EQ(c->rtt_tcp_timeout_ms, Duration(10, 0));
    EXPECT_EQ(c->rtt_udp_delay_ms, Duration(1, 500'000'000));
    EXPECT_EQ(c->progress_update_limit_ms, Duration::from_millis(200));
    EXPECT_EQ(c->ul_slow_start_duration_ms, Duration::from_secs(3));
    EXPECT_EQ(c->token, "tok");
    EXPECT_EQ(c->secret_key, std::nullopt);
    // Fields the record does not carry keep their defaults.
    EXPECT_FALSE(c->websocket);
    EXPECT_EQ(c->port_ws_signaling, 3536);
    EXPECT_EQ(c->rtt_udp_receive_timeout_ms, Duration::from_secs(2));
    EXPECT_EQ(c->total_timeout_s, std::nullopt);
    EXPECT_EQ(c->traceroute_max_duration_s, Duration::from_secs(15));
}

TEST(CallingInterfaceRecords, ConnectionCountIsReadAsOneByte)
{
    mclient_config r = agent_record("h", nullptr);
    const std::uint32_t wide = 260;  // a caller that writes a 32-bit value
    std::memcpy(reinterpret_cast<unsigned char*>(&r) + offsetof(mclient_config, dl_num_connections), &wide, 1);
    const auto c = client_config_from_record(&r);
    ASSERT_TRUE(c.has_value());
    EXPECT_EQ(c->dl_num_connections, 4);
}

TEST(CallingInterfaceRecords, RefusesMissingOrMalformedTexts)
{
    EXPECT_FALSE(client_config_from_record(nullptr).has_value());

    mclient_config r = agent_record(nullptr, nullptr);
    EXPECT_FALSE(client_config_from_record(&r).has_value());

    const char bad[] = "ho\xC3\x28st";      // broken two-byte sequence
    const char overlong[] = "\xC0\xAF";     // overlong '/'
    const char surrogate[] = "\xED\xA0\x80";
    for (const char* text : {bad, overlong, surrogate}) {
        r = agent_record(text, nullptr);
        EXPECT_FALSE(client_config_from_record(&r).has_value());
        r = agent_record("h", text);
        EXPECT_FALSE(client_config_from_record(&r).has_value());
        r = agent_record("h", nullptr);
        r.secret_key = text;
        EXPECT_FALSE(client_config_from_record(&r).has_value());
    }

    // An empty host passes the conversion and fails validation.
    r = agent_record("", nullptr);
    auto c = client_config_from_record(&r);
    ASSERT_TRUE(c.has_value());
    EXPECT_EQ(c->validate(), "host not set");

    r = agent_record("h\xE2\x82\xAC", "t");
    r.secret_key = "k";
    c = client_config_from_record(&r);
    ASSERT_TRUE(c.has_value());
    EXPECT_EQ(c->validate(), "token and secrety_key are mutually exclusive");

    r = agent_record("h", nullptr);
    r.run_rtt_tcp_phase = r.run_rtt_udp_phase = r.run_downlink_phase = r.run_uplink_phase = 0;
    EXPECT_EQ(client_config_from_record(&r)->validate(), "at least one testphase must be enabled");
}

TEST(CallingInterfaceRecords, ProgressRecordWritesZeroForAbsentValues)
{
    ProgressReport report;
    report.phase = Phase::RttTcp;
    report.phase_progress = 100.0F;
    report.total_progress = 50.0F;
    report.rtt_ns = 1234;
    mclient_progress p = to_mclient_progress(report);
    EXPECT_EQ(p.phase, 2U);
    EXPECT_EQ(p.phase_progress, 100.0F);
    EXPECT_EQ(p.total_progress, 50.0F);
    EXPECT_EQ(p.rtt_ns, 1234U);
    EXPECT_EQ(p.reserved, 0U);
    EXPECT_EQ(p.download_bps, 0.0);
    EXPECT_EQ(p.upload_bps, 0.0);

    report = {};
    report.phase = Phase::Uplink;
    report.upload_bps = 9.5e6;
    p = to_mclient_progress(report);
    EXPECT_EQ(p.phase, 6U);
    EXPECT_EQ(p.rtt_ns, 0U);
    EXPECT_EQ(p.upload_bps, 9.5e6);
    EXPECT_STREQ(phase_name(Phase::DownlinkPretest), "DOWNLINK_PRETEST");
    EXPECT_STREQ(phase_name(Phase::RttUdp), "RTT_UDP");
}
