// Complete speed tests against the test measurement server over loopback:
// the phase sequence, progress numbering, the result JSON, and every way a
// run ends early.

#include "Client.h"
#include "RunMeasurement.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <iostream>
#include <future>
#include <set>
#include <thread>

using namespace vela_client;
using namespace std::chrono_literals;
using client_test::collected;
using client_test::test_log;
namespace json = boost::json;

namespace {

// Checks what 7 phases' progress must look like: records grouped by phase in
// run order, each group ending at 100 % with the overall share of the phases
// done so far, overall progress never falling.
void expect_progress_sequence(const std::vector<mclient_progress>& records, const std::vector<std::uint32_t>& kinds)
{
    ASSERT_FALSE(records.empty());
    const float count = static_cast<float>(kinds.size());
    std::vector<std::vector<mclient_progress>> groups;
    std::vector<std::uint32_t> seen;
    for (const auto& r : records) {
        if (seen.empty() || seen.back() != r.phase) {
            seen.push_back(r.phase);
            groups.emplace_back();
        }
        groups.back().push_back(r);
    }
    ASSERT_EQ(seen, kinds);
    float last_total = 0.0F;
    for (std::size_t k = 0; k < groups.size(); ++k) {
        const auto& g = groups[k];
        const std::uint32_t phase = kinds[k];
        EXPECT_LT(g.front().phase_progress, 5.0F) << "phase " << phase;
        EXPECT_NEAR(g.front().total_progress, static_cast<float>(k) / count * 100.0F, 1.0F) << "phase " << phase;
        EXPECT_FLOAT_EQ(g.back().phase_progress, 100.0F) << "phase " << phase;
        EXPECT_NEAR(g.back().total_progress, static_cast<float>(k + 1) / count * 100.0F, 1e-3) << "phase " << phase;
        for (std::size_t i = 0; i < g.size(); ++i) {
            const auto& r = g[i];
            EXPECT_GE(r.total_progress + 1e-3F, last_total) << "phase " << phase << " record " << i;
            last_total = r.total_progress;
            EXPECT_EQ(r.reserved, 0U);
            if (phase != 2 || i + 1 != g.size()) {
                EXPECT_EQ(r.rtt_ns, 0U) << "phase " << phase;
            }
            if (phase != 4) {
                EXPECT_EQ(r.download_bps, 0.0) << "phase " << phase;
            }
            if (phase != 6) {
                EXPECT_EQ(r.upload_bps, 0.0) << "phase " << phase;
            }
        }
        if (phase == 2) {
            EXPECT_GT(g.back().rtt_ns, 0U);
        }
        if (phase == 4) {
            EXPECT_GT(g.back().download_bps, 0.0);
        }
        if (phase == 6) {
            EXPECT_GT(g.back().upload_bps, 0.0);
        }
    }
    EXPECT_FLOAT_EQ(records.back().total_progress, 100.0F);
}

void expect_throughput(const json::object& result, const char* key, std::size_t streams)
{
    const auto u64 = [](const json::value& v) { return v.to_number<std::uint64_t>(); };
    ASSERT_TRUE(result.contains(key)) << key;
    const auto& t = result.at(key).as_object();
    EXPECT_GT(u64(t.at("bytes")), 0U) << key;
    EXPECT_GT(u64(t.at("bps")), 0U) << key;
    EXPECT_GT(u64(t.at("duration_ns")), 0U) << key;
    EXPECT_EQ(u64(t.at("pretest_duration_ns")), 1'000'000'000U) << key;
    EXPECT_EQ(t.at("connection_stream_info").as_array().size(), streams) << key;
    EXPECT_EQ(t.at("raw_data").as_object().size(), streams) << key;
}

class MeasurementRun : public ::testing::Test {
protected:
    MeasurementRun()
    {
        test_log().clear();
        collected().reset();
    }
    ~MeasurementRun() override
    {
        client_test::dump_log_if_asked();
    }

    // A client with the protocol's limits shortened for tests.
    static std::unique_ptr<Client> make_client(const ClientConfig& config) { return client_test::short_client(config); }

    static std::set<std::uint32_t> kinds_seen()
    {
        std::set<std::uint32_t> kinds;
        for (const auto& r : collected().progress_copy())
            kinds.insert(r.phase);
        return kinds;
    }
};

class FullRun : public MeasurementRun, public ::testing::WithParamInterface<std::uint8_t> {};

TEST_P(FullRun, EveryPhaseThroughTheCallingInterface)
{
    const std::uint8_t connections = GetParam();
    auto server = client_test::start_server();
    mclient_config record = client_test::short_record("127.0.0.1", server->tcp_port(), server->udp_port(), connections);
    mclient_handle handle = nullptr;
    ASSERT_EQ(mclient_create(&record, 2, &handle), 0);
    const auto started = std::chrono::steady_clock::now();
    const int status = mclient_run(handle, client_test::on_progress, client_test::on_result, client_test::on_error);
    mclient_free(handle);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 20s);

    ASSERT_EQ(status, 0) << collected().error.value_or("");
    EXPECT_EQ(collected().result_calls, 1);
    EXPECT_EQ(collected().error_calls, 0);
    expect_progress_sequence(collected().progress_copy(), {1, 2, 3, 4, 5, 6});

    const auto result = client_test::parse_object(*collected().result);
    const auto u64 = [](const json::value& v) { return v.to_number<std::uint64_t>(); };
    // A phase that failed is absent from the result: its error line says why.
    for (const char* key : {"rtt_tcp", "rtt_udp", "dl", "ul"}) {
        ASSERT_TRUE(result.contains(key)) << key << " absent; error lines:\n"
                                          << ::testing::PrintToString(test_log().containing("error"));
    }
    const auto& tcp = result.at("rtt_tcp").as_object();
    EXPECT_EQ(u64(tcp.at("num_requested")), 10U);
    EXPECT_EQ(u64(tcp.at("num_sent")), 10U);
    EXPECT_EQ(tcp.at("rtts").as_array().size(), 10U);
    EXPECT_TRUE(tcp.contains("rtt_avg_ns"));
    EXPECT_EQ(tcp.at("connection_stream_info").as_array().size(), 1U);
    ASSERT_TRUE(result.contains("rtt_udp"));
    EXPECT_EQ(u64(result.at("rtt_udp").as_object().at("num_requested")), 20U);
    expect_throughput(result, "dl", connections);
    expect_throughput(result, "ul", connections);
    const auto& echo = result.at("client_config").as_object();
    EXPECT_EQ(u64(echo.at("dl_num_connections")), connections);
    EXPECT_EQ(echo.at("secret_key").as_string(), client_test::kSecret);
    EXPECT_FALSE(result.contains("server_info"));

    // The run's log lines, in their order.
    const auto id_lines = test_log().containing("Log ID: ");
    ASSERT_EQ(id_lines.size(), 1U);
    const std::string id = "[" + id_lines[0].substr(8) + "] ";
    const std::vector<std::string> expected_order{
        id + "Connected to 127.0.0.1:" + std::to_string(server->tcp_port()),
        id + "Starting DOWNLINK_PRETEST phase (timeout: 1s)",
        id + "DOWNLINK_PRETEST completed successfully",
        id + "Starting RTT_TCP phase (num_pings: 10, delay: 10ms, timeout: 5s)",
        id + "RTT_TCP phase completed after ",
        id + "Starting RTT_UDP phase (num_pings: 20, delay: 5ms, timeout: 5s)",
        id + "RTT_UDP phase completed after ",
        id + "Starting DOWNLINK phase (tcp_streams: " + std::to_string(connections) + ", duration: 1s)",
        id + "DOWNLINK phase completed after ",
        id + "Starting UPLINK_PRETEST phase (timeout: 1s)",
        id + "UPLINK_PRETEST completed successfully",
        id + "Starting UPLINK phase (tcp_streams: " + std::to_string(connections) + ", duration: 1s)",
        id + "UPLINK phase completed after ",
        id + "Measurement completed, closing connections",
    };
    // Each line once, and each after the one before it.
    const std::vector<std::string> logged = test_log().containing(id);
    std::size_t at = 0;
    for (const auto& line : expected_order) {
        EXPECT_EQ(test_log().count(line), 1) << line;
        const auto found = std::find_if(logged.begin() + static_cast<std::ptrdiff_t>(at), logged.end(),
                                        [&line](const std::string& m) { return m.find(line) != std::string::npos; });
        ASSERT_NE(found, logged.end()) << "not logged after the line before it: " << line;
        at = static_cast<std::size_t>(found - logged.begin()) + 1;
    }
    EXPECT_EQ(test_log().count_at(LogLevel::Error, ""), 0);
}

INSTANTIATE_TEST_SUITE_P(Connections, FullRun, ::testing::Values(std::uint8_t{1}, std::uint8_t{3}));

TEST_F(MeasurementRun, OnlyRttUdpOpensOneRunnerAndCommandsNone)
{
    auto server = client_test::start_server();
    ClientConfig config = client_test::short_config(*server, 4);
    config.run_rtt_tcp_phase = config.run_downlink_phase = config.run_uplink_phase = false;
    auto client = make_client(config);
    auto outcome = client->run(client_test::on_progress);
    ASSERT_TRUE(outcome) << outcome.error();
    const auto& r = outcome.value();
    EXPECT_TRUE(r.rtt_udp);
    EXPECT_FALSE(r.rtt_tcp || r.dl || r.ul || r.server_info);
    EXPECT_TRUE(r.client_config);
    expect_progress_sequence(collected().progress_copy(), {3});
    const auto stats = server->stats();
    EXPECT_EQ(stats.connections, 2U);  // the probe and one runner
    EXPECT_EQ(stats.init_requests, 1U);
    EXPECT_EQ(stats.requests, std::vector<std::string>{"QuitRequest"});
    EXPECT_FALSE(client->busy()->load());
}

TEST_F(MeasurementRun, SecondRunOfOneClientStartsAfresh)
{
    auto server = client_test::start_server();
    ClientConfig config = client_test::short_config(*server, 1);
    config.run_rtt_tcp_phase = config.run_downlink_phase = config.run_uplink_phase = false;
    auto client = make_client(config);
    for (int run = 0; run < 2; ++run) {
        collected().reset();
        auto outcome = client->run(client_test::on_progress);
        ASSERT_TRUE(outcome) << outcome.error();
        expect_progress_sequence(collected().progress_copy(), {3});
    }
    EXPECT_EQ(server->stats().init_requests, 2U);
}

TEST_F(MeasurementRun, WebsocketOverTls)
{
    auto server = client_test::start_server();
    ClientConfig config = client_test::short_config(*server, 2);
    config.websocket = true;
    config.tls = true;
    config.skip_certificate_validation = true;
    config.run_rtt_udp_phase = config.run_uplink_phase = false;
    auto client = make_client(config);
    auto outcome = client->run(client_test::on_progress);
    ASSERT_TRUE(outcome) << outcome.error();
    EXPECT_TRUE(outcome.value().rtt_tcp);
    ASSERT_TRUE(outcome.value().dl);
    EXPECT_EQ(outcome.value().dl->connection_stream_info->size(), 2U);
    expect_progress_sequence(collected().progress_copy(), {1, 2, 4});
}

TEST_F(MeasurementRun, OnlyUplinkRunsItsPretestAndTest)
{
    auto server = client_test::start_server();
    ClientConfig config = client_test::short_config(*server, 2);
    config.run_rtt_tcp_phase = config.run_rtt_udp_phase = config.run_downlink_phase = false;
    auto client = make_client(config);
    auto outcome = client->run(client_test::on_progress);
    ASSERT_TRUE(outcome) << outcome.error();
    EXPECT_TRUE(outcome.value().ul);
    EXPECT_FALSE(outcome.value().dl);
    expect_progress_sequence(collected().progress_copy(), {5, 6});
    EXPECT_EQ(test_log().count("Starting DOWNLINK_PRETEST"), 0);
}

TEST_F(MeasurementRun, WithoutCallbackTheRunIsTheSame)
{
    auto server = client_test::start_server();
    ClientConfig config = client_test::short_config(*server, 1);
    config.run_rtt_udp_phase = config.run_uplink_phase = false;
    auto client = make_client(config);
    auto outcome = client->run(nullptr);
    ASSERT_TRUE(outcome) << outcome.error();
    EXPECT_TRUE(outcome.value().rtt_tcp);
    EXPECT_TRUE(outcome.value().dl);
    EXPECT_TRUE(collected().progress_copy().empty());
}

TEST_F(MeasurementRun, ServerLoadAndReverseTracerouteFillServerInfo)
{
    auto server = client_test::start_server();
    ClientConfig config = client_test::short_config(*server, 1);
    config.run_rtt_udp_phase = config.run_downlink_phase = config.run_uplink_phase = false;
    config.request_server_load = true;
    config.request_reverse_traceroute = true;
    config.traceroute_max_duration_s = Duration::from_secs(1);
    auto client = make_client(config);
    auto outcome = client->run(nullptr);
    ASSERT_TRUE(outcome) << outcome.error();
    ASSERT_TRUE(outcome.value().server_info);
    const auto& info = *outcome.value().server_info;
    EXPECT_TRUE(info.vmstat && info.vmstat->find("procs") != std::string::npos);
    EXPECT_TRUE(info.free);
    EXPECT_TRUE(info.reverse_traceroute && info.reverse_traceroute->find("traceroute to") != std::string::npos);
    const auto result = client_test::parse_object(outcome.value().write_json().value());
    EXPECT_TRUE(result.at("server_info").as_object().contains("reverse_traceroute"));
}

TEST_F(MeasurementRun, FailedServerLoadRequestLeavesItsMembersAbsent)
{
    auto server = client_test::start_server({.error_replies = {{15, {2, "load unavailable"}}}});
    ClientConfig config = client_test::short_config(*server, 1);
    config.run_rtt_tcp_phase = config.run_downlink_phase = config.run_uplink_phase = false;
    config.request_server_load = true;
    auto client = make_client(config);
    auto outcome = client->run(nullptr);
    ASSERT_TRUE(outcome) << outcome.error();
    ASSERT_TRUE(outcome.value().server_info);
    EXPECT_FALSE(outcome.value().server_info->vmstat);
    EXPECT_FALSE(outcome.value().server_info->reverse_traceroute);
    EXPECT_TRUE(outcome.value().rtt_udp);
    EXPECT_EQ(test_log().count_at(LogLevel::Error, "load unavailable"), 1);
    const auto result = client_test::parse_object(outcome.value().write_json().value());
    EXPECT_TRUE(result.at("server_info").as_object().empty());
}

TEST_F(MeasurementRun, FailedDownlinkStillMeasuresUplinkOverEveryConnection)
{
    auto server = client_test::start_server({.error_replies = {{6, {2, "downlink refused"}}}});
    ClientConfig config = client_test::short_config(*server, 3);
    config.run_rtt_tcp_phase = config.run_rtt_udp_phase = false;
    auto client = make_client(config);
    auto outcome = client->run(client_test::on_progress);
    ASSERT_TRUE(outcome) << outcome.error();
    EXPECT_FALSE(outcome.value().dl);
    ASSERT_TRUE(outcome.value().ul);
    EXPECT_EQ(outcome.value().ul->connection_stream_info->size(), 3U);
    EXPECT_EQ(test_log().count_at(LogLevel::Error, "DOWNLINK phase error: downlink refused"), 1);
    EXPECT_EQ(test_log().count("unexpected feedback"), 0);
    // The failed phase sends no last record but still counts.
    const auto records = collected().progress_copy();
    std::set<std::uint32_t> kinds;
    for (const auto& r : records)
        kinds.insert(r.phase);
    EXPECT_EQ(kinds, (std::set<std::uint32_t>{1, 4, 5, 6}));
    EXPECT_FLOAT_EQ(records.back().total_progress, 100.0F);
}

TEST_F(MeasurementRun, FailedPretestRequestsReduceTheConnectionsToOne)
{
    auto server = client_test::start_server({.error_replies = {{5, {2, "no pretest"}}}});
    ClientConfig config = client_test::short_config(*server, 3);
    config.run_rtt_udp_phase = config.run_uplink_phase = false;
    auto client = make_client(config);
    auto outcome = client->run(nullptr);
    ASSERT_TRUE(outcome) << outcome.error();
    EXPECT_EQ(test_log().count_at(LogLevel::Error, "downlink pretest: runner failed: no pretest"), 3);
    EXPECT_EQ(test_log().count("downlink pretest reduced the number of connections to 1"), 1);
    EXPECT_EQ(test_log().count("DOWNLINK_PRETEST completed successfully"), 1);
    EXPECT_TRUE(outcome.value().rtt_tcp);
    ASSERT_TRUE(outcome.value().dl);
    EXPECT_EQ(outcome.value().dl->connection_stream_info->size(), 1U);
}

TEST_F(MeasurementRun, RunnersThatEndedAreReopenedForTheNextStep)
{
    // Without the last marker the downlink pretest never sees its chunks
    // complete (both runners give up, the count drops to one) and leaves both
    // connections out of step; the downlink of runner 0 runs into its
    // deadline. Each time the runner gives up its connection and ends.
    auto server = client_test::start_server({.omit_last_marker = true});
    ClientConfig config = client_test::short_config(*server, 2);
    config.run_rtt_tcp_phase = config.run_rtt_udp_phase = false;
    auto client = make_client(config);
    client->limits.routines.test_grace = Duration::from_millis(200);
    client->limits.routines.data = std::chrono::milliseconds(500);
    auto outcome = client->run(client_test::on_progress);
    ASSERT_TRUE(outcome) << outcome.error();
    ASSERT_TRUE(outcome.value().dl);
    EXPECT_EQ(outcome.value().dl->connection_stream_info->size(), 1U);
    ASSERT_TRUE(outcome.value().ul);
    EXPECT_EQ(outcome.value().ul->connection_stream_info->size(), 2U);
    // The probe and two runners, then new connections for the runners that
    // gave theirs up (how many depends on where each pretest round stopped).
    EXPECT_GE(server->stats().connections, 5U);
    expect_progress_sequence(collected().progress_copy(), {1, 4, 5, 6});
}

TEST_F(MeasurementRun, FailedRttTcpLeavesOnlyItsMemberAbsent)
{
    auto server = client_test::start_server({.error_replies = {{10, {2, "no pings"}}}});
    ClientConfig config = client_test::short_config(*server, 1);
    config.run_uplink_phase = false;
    auto client = make_client(config);
    auto outcome = client->run(client_test::on_progress);
    ASSERT_TRUE(outcome) << outcome.error();
    EXPECT_FALSE(outcome.value().rtt_tcp);
    EXPECT_TRUE(outcome.value().rtt_udp);
    EXPECT_TRUE(outcome.value().dl);
    EXPECT_EQ(test_log().count_at(LogLevel::Error, "RTT_TCP phase error: no pings"), 1);
    EXPECT_FLOAT_EQ(collected().progress_copy().back().total_progress, 100.0F);
}

TEST_F(MeasurementRun, RunEndsEarlyWithItsText)
{
    auto server = client_test::start_server({.error_replies = {{3, {5, "invalid token"}}}});
    auto silent = client_test::start_server({.silent = true});
    const std::uint16_t refused = client_test::closed_port();

    struct Case {
        std::string name;
        std::function<void(ClientConfig&)> change;
        std::string error;      // the run's failure text, or its start
        std::string log_line;   // a line that must have been logged ("" for none)
    };
    const Case cases[] = {
        {"unresolvable host", [](ClientConfig& c) { c.host = "no such host.invalid"; },
         "failed to look up [no such host.invalid] ", ""},
        {"look-up comes before the IP version check",
         [](ClientConfig& c) { c.host = "no such host.invalid"; c.ipv4_only = c.ipv6_only = true; },
         "failed to look up [no such host.invalid] ", ""},
        {"IP versions", [](ClientConfig& c) { c.ipv4_only = c.ipv6_only = true; },
         "arguments --ipv4 and --ipv6 are mutually exclusive", ""},
        {"bad token", [](ClientConfig& c) { c.secret_key.reset(); c.token = "not a token"; }, "", "Failed to set token: "},
        {"refused port", [&](ClientConfig& c) { c.port_tcp = refused; }, "failed to connect to server",
         "] Failed to init controller: failed to connect to server"},
        {"only IPv6 wanted", [](ClientConfig& c) { c.ipv6_only = true; }, "failed to connect to server", ""},
        {"server refuses the token", [&](ClientConfig& c) { c.port_tcp = server->tcp_port(); }, "invalid token",
         "] Failed to init controller: "},
        {"silent server", [&](ClientConfig& c) { c.port_tcp = silent->tcp_port(); }, "",
         "] Failed to init controller: "},
    };
    for (const auto& c : cases) {
        test_log().clear();
        ClientConfig config = client_test::short_config(*server, 2);
        c.change(config);
        // Checks that validation would refuse are made by the run itself.
        std::unique_ptr<Client> client;
        if (config.validate()) {
            config.ipv6_only = false;
            client = make_client(config);
            const_cast<ClientConfig&>(client->config()).ipv6_only = true;
        } else {
            client = make_client(config);
        }
        const auto started = std::chrono::steady_clock::now();
        auto outcome = client->run(client_test::on_progress);
        EXPECT_LT(std::chrono::steady_clock::now() - started, 5s) << c.name;
        ASSERT_FALSE(outcome) << c.name;
        EXPECT_NE(outcome.error().find(c.error), std::string::npos) << c.name << ": " << outcome.error();
        if (!c.log_line.empty()) {
            EXPECT_EQ(test_log().count_at(LogLevel::Error, c.log_line), 1) << c.name;
        }
        EXPECT_FALSE(client->busy()->load()) << c.name;
    }
    EXPECT_TRUE(collected().progress_copy().empty());
}

TEST_F(MeasurementRun, SlowServerFailsPhasesButTheRunEnds)
{
    auto server = client_test::start_server({.reply_delay = 3000ms});
    ClientConfig config = client_test::short_config(*server, 2);
    auto client = make_client(config);
    const auto started = std::chrono::steady_clock::now();
    auto outcome = client->run(client_test::on_progress);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 15s);
    ASSERT_TRUE(outcome) << outcome.error();
    EXPECT_FALSE(outcome.value().rtt_tcp);
    EXPECT_FALSE(outcome.value().ul);
    EXPECT_TRUE(outcome.value().rtt_udp);  // the UDP ping does not wait for TCP replies
    EXPECT_EQ(test_log().count_at(LogLevel::Error, "RTT_TCP phase error: "), 1);
    EXPECT_EQ(test_log().count_at(LogLevel::Error, "UPLINK phase error: "), 1);
    // A failed last phase sends no record of its end.
    const auto records = collected().progress_copy();
    EXPECT_EQ(records.back().phase, 6U);
    EXPECT_FLOAT_EQ(records.back().phase_progress, 0.0F);
}

TEST_F(MeasurementRun, DeadlineEndsTheRunAtTheNextCheck)
{
    auto server = client_test::start_server();
    ClientConfig config = client_test::short_config(*server, 2);
    config.total_timeout_s = Duration::from_millis(500);
    auto client = make_client(config);
    const auto started = std::chrono::steady_clock::now();
    auto outcome = client->run(client_test::on_progress);
    // Noticed at the check after the phase that ran past the deadline.
    EXPECT_LT(std::chrono::steady_clock::now() - started, 3s);
    ASSERT_FALSE(outcome);
    EXPECT_TRUE(outcome.error().starts_with("["));
    EXPECT_TRUE(outcome.error().ends_with("] aborted on timeout or user request")) << outcome.error();
    EXPECT_FALSE(client->busy()->load());
}

TEST_F(MeasurementRun, FreeingTheClientDuringARunAbortsIt)
{
    auto server = client_test::start_server();
    mclient_config record = client_test::short_record("127.0.0.1", server->tcp_port(), server->udp_port(), 2);
    record.dl_duration_s = 5;
    mclient_handle handle = nullptr;
    ASSERT_EQ(mclient_create(&record, 2, &handle), 0);

    auto run = std::async(std::launch::async, [handle] {
        return mclient_run(handle, client_test::on_progress, client_test::on_result, client_test::on_error);
    });
    // Wait for the downlink to be under way.
    const auto limit = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < limit) {
        const auto records = collected().progress_copy();
        if (!records.empty() && records.back().phase == 4)
            break;
        std::this_thread::sleep_for(10ms);
    }
    const auto freeing = std::chrono::steady_clock::now();
    mclient_free(handle);
    EXPECT_LT(std::chrono::steady_clock::now() - freeing, 5s);
    ASSERT_EQ(run.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(run.get(), -1);
    EXPECT_EQ(collected().result_calls, 0);
    ASSERT_EQ(collected().error_calls, 1);
    EXPECT_TRUE(collected().error->ends_with("] aborted on timeout or user request")) << *collected().error;
    EXPECT_FALSE(collected().progress_copy().back().phase > 4);
}

} // namespace
