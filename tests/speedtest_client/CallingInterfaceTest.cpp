// The C entry points: argument checks, configuration refusals and the
// client object's own checks.

#include "Client.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <functional>

using namespace vela_client;
using client_test::test_log;

namespace {

mclient_handle sentinel() { return reinterpret_cast<mclient_handle>(0x1); }

TEST(CallingInterface, RefusesNullArgumentsAndLeavesTheHandleAlone)
{
    mclient_config record = client_test::short_record("127.0.0.1", 6142, 6142, 1);
    mclient_handle handle = sentinel();
    EXPECT_EQ(mclient_create(nullptr, 2, &handle), -1);
    EXPECT_EQ(mclient_create(&record, 2, nullptr), -1);
    record.host = nullptr;
    EXPECT_EQ(mclient_create(&record, 2, &handle), -1);
    EXPECT_EQ(handle, sentinel());

    EXPECT_EQ(mclient_run(nullptr, client_test::on_progress, client_test::on_result, client_test::on_error), -1);
    mclient_free(nullptr);
}

TEST(CallingInterface, RefusesTextsThatAreNotUtf8)
{
    const char bad[] = {'h', static_cast<char>(0xC3), 0};
    for (int field = 0; field < 3; ++field) {
        mclient_config record = client_test::short_record("127.0.0.1", 6142, 6142, 1);
        record.secret_key = nullptr;
        if (field == 0)
            record.host = bad;
        else if (field == 1)
            record.token = bad;
        else
            record.secret_key = bad;
        mclient_handle handle = sentinel();
        EXPECT_EQ(mclient_create(&record, 2, &handle), -1) << field;
        EXPECT_EQ(handle, sentinel());
    }
}

TEST(CallingInterface, RefusesConfigurationsWithTheRuleText)
{
    struct Case {
        const char* expected;
        std::function<void(mclient_config&)> change;
    };
    const Case cases[] = {
        {"at least one testphase must be enabled",
         [](mclient_config& c) { c.run_rtt_tcp_phase = c.run_rtt_udp_phase = c.run_downlink_phase = c.run_uplink_phase = 0; }},
        {"host not set", [](mclient_config& c) { c.host = ""; c.token = "t"; }},
        {"token and secrety_key are mutually exclusive", [](mclient_config& c) { c.token = "t"; }},
        {"options ipv4 and ipv6 are mutually exclusive", [](mclient_config& c) { c.ipv4_only = c.ipv6_only = 1; }},
        {"TCP port can not be 0", [](mclient_config& c) { c.port_tcp = 0; }},
        {"UDP port can not be 0", [](mclient_config& c) { c.port_udp = 0; }},
        {"number of TCP pings can not be 0", [](mclient_config& c) { c.rtt_tcp_num_packets = 0; }},
        {"downlink pretest duration can not be 0", [](mclient_config& c) { c.dl_pretest_duration_s = 0; }},
        {"number of downlink connections can not be 0", [](mclient_config& c) { c.dl_num_connections = 0; }},
        {"uplink test duration can not be 0", [](mclient_config& c) { c.ul_duration_s = 0; }},
        {"raw history sampling rate can not be 0", [](mclient_config& c) { c.raw_history_sampling_rate_ms = 0; }},
    };
    for (const auto& c : cases) {
        test_log().clear();
        mclient_config record = client_test::short_record("127.0.0.1", 6142, 6142, 1);
        c.change(record);
        mclient_handle handle = sentinel();
        EXPECT_EQ(mclient_create(&record, 2, &handle), -1) << c.expected;
        EXPECT_EQ(handle, sentinel());
        EXPECT_EQ(test_log().count_at(LogLevel::Error, std::string("failed to create client: ") + c.expected), 1)
            << c.expected;
    }
}

TEST(CallingInterface, CreatesAndFreesAClientThatNeverRan)
{
    mclient_config record = client_test::short_record("127.0.0.1", 6142, 6142, 2);
    mclient_handle handle = nullptr;
    ASSERT_EQ(mclient_create(&record, 2, &handle), 0);
    ASSERT_NE(handle, nullptr);
    mclient_free(handle);
}

TEST(ClientObject, ValidatesAndRefusesASetStopFlag)
{
    ClientConfig config;
    config.host = "";
    auto refused = Client::create(config, make_stop_flag());
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), "host not set");

    auto stop = make_stop_flag();
    stop->store(true);
    auto stopped = Client::create(ClientConfig{}, stop);
    ASSERT_FALSE(stopped);
    EXPECT_EQ(stopped.error(), "stop condition can't be true initially");

    auto client = Client::create(ClientConfig{}, nullptr);
    ASSERT_TRUE(client);
    EXPECT_FALSE(client.value()->busy()->load());
    EXPECT_FALSE(client.value()->stop_flag()->load());
}

} // namespace
