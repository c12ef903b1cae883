#pragma once

// What the speed-test client's tests share: the log collector of the
// speed-test tests, the C callbacks with the records they collected,
// and the configurations of short runs against the test measurement server.

#include "Client.h"
#include "ClientConfig.h"
#include "ClientLog.h"
#include "../speedtest_support/CollectingLog.h"
#include "SpeedServer.h"
#include "mclient.h"

#include <boost/json.hpp>

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace client_test {

inline constexpr const char* kSecret = "test-secret";

using speedtest_support::CollectingLog;
using speedtest_support::test_log;

// What the C callbacks of one run collected. One run at a time.
struct Collected {
    std::mutex mutex;
    std::vector<mclient_progress> progress;
    std::optional<std::string> result;
    std::optional<std::string> error;
    int result_calls = 0;
    int error_calls = 0;

    void reset();
    std::vector<mclient_progress> progress_copy();
};
Collected& collected();

// Prints every log line of the test, when CLIENT_TEST_DUMP is set (for a
// look at a run).
void dump_log_if_asked();

void on_progress(const mclient_progress* p);
void on_result(const char* json);
void on_error(const char* text);

// A C record for a short run: 1 s pretests and tests without slow start,
// 10 TCP pings, 20 UDP pings, 100 ms progress interval.
mclient_config short_record(const char* host, std::uint16_t tcp, std::uint16_t udp, std::uint8_t connections);

// The same as a ClientConfig, with 300 ms pretests.
vela_client::ClientConfig short_config(const speed_server::SpeedServer& server, std::uint8_t connections);

// A client of the configuration with the protocol's time limits shortened
// for tests (probe and connect 2 s, initialisation 500 ms, requests 1 s,
// chunk and notification reads 2 s).
std::unique_ptr<vela_client::Client> short_client(const vela_client::ClientConfig& config);

// A server checking tokens with kSecret.
std::unique_ptr<speed_server::SpeedServer> start_server(speed_server::Options options = {});

// A TCP port on 127.0.0.1 that was bound and closed again (nothing listens).
std::uint16_t closed_port();

boost::json::object parse_object(const std::string& text);

} // namespace client_test
