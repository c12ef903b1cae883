#include "TestSupport.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <stdexcept>

namespace client_test {

using namespace vela_client;

void Collected::reset()
{
    std::lock_guard lock(mutex);
    progress.clear();
    result.reset();
    error.reset();
    result_calls = 0;
    error_calls = 0;
}

std::vector<mclient_progress> Collected::progress_copy()
{
    std::lock_guard lock(mutex);
    return progress;
}

Collected& collected()
{
    static Collected c;
    return c;
}

void dump_log_if_asked()
{
    if (std::getenv("CLIENT_TEST_DUMP"))
        for (const auto& line : test_log().containing(""))
            std::cerr << line << "\n";
}

void on_progress(const mclient_progress* p)
{
    std::lock_guard lock(collected().mutex);
    collected().progress.push_back(*p);
}

void on_result(const char* json)
{
    std::lock_guard lock(collected().mutex);
    collected().result = json;
    ++collected().result_calls;
}

void on_error(const char* text)
{
    std::lock_guard lock(collected().mutex);
    collected().error = text;
    ++collected().error_calls;
}

mclient_config short_record(const char* host, std::uint16_t tcp, std::uint16_t udp, std::uint8_t connections)
{
    mclient_config c;
    std::memset(&c, 0, sizeof c);
    c.host = host;
    c.port_tcp = tcp;
    c.port_udp = udp;
    c.progress_update_limit_ms = 100;
    c.raw_history_sampling_rate_ms = 250;
    c.run_rtt_tcp_phase = 1;
    c.run_rtt_udp_phase = 1;
    c.run_downlink_phase = 1;
    c.run_uplink_phase = 1;
    c.rtt_tcp_payload_size = 5;
    c.rtt_tcp_num_packets = 10;
    c.rtt_tcp_delay_ms = 10;
    c.rtt_tcp_timeout_s = 5;
    c.rtt_udp_payload_size = 32;
    c.rtt_udp_num_packets = 20;
    c.rtt_udp_delay_ms = 5;
    c.rtt_udp_timeout_s = 5;
    c.dl_pretest_duration_s = 1;
    c.dl_duration_s = 1;
    c.dl_slow_start_duration_s = 0;
    c.dl_num_connections = connections;
    c.ul_pretest_duration_s = 1;
    c.ul_duration_s = 1;
    c.ul_slow_start_duration_s = 0;
    c.ul_num_connections = connections;
    c.secret_key = kSecret;
    return c;
}

ClientConfig short_config(const speed_server::SpeedServer& server, std::uint8_t connections)
{
    ClientConfig c;
    c.host = "127.0.0.1";
    c.port_tcp = server.tcp_port();
    c.port_udp = server.udp_port();
    c.progress_update_limit_ms = Duration::from_millis(100);
    c.rtt_tcp_num_packets = 5;
    c.rtt_tcp_delay_ms = Duration::from_millis(5);
    c.rtt_tcp_timeout_ms = Duration::from_secs(3);
    c.rtt_udp_num_packets = 10;
    c.rtt_udp_delay_ms = Duration::from_millis(5);
    c.rtt_udp_timeout_ms = Duration::from_secs(3);
    c.rtt_udp_receive_timeout_ms = Duration::from_millis(500);
    c.dl_pretest_duration_ms = Duration::from_millis(300);
    c.dl_duration_ms = Duration::from_secs(1);
    c.dl_slow_start_duration_ms = Duration::zero();
    c.dl_num_connections = connections;
    c.ul_pretest_duration_ms = Duration::from_millis(300);
    c.ul_duration_ms = Duration::from_secs(1);
    c.ul_slow_start_duration_ms = Duration::zero();
    c.ul_num_connections = connections;
    c.secret_key = kSecret;
    return c;
}

std::unique_ptr<Client> short_client(const ClientConfig& config)
{
    using namespace std::chrono_literals;
    auto made = Client::create(config, make_stop_flag());
    if (!made)
        throw std::runtime_error("client refused: " + made.error());
    auto c = std::move(made.value());
    c->limits.probe_connect = 2s;
    c->limits.connect.tcp_connect = 2s;
    c->limits.connect.tls_handshake = 2s;
    c->limits.connect.ws_handshake = 2s;
    c->limits.connect.init_request = 500ms;
    c->limits.routines.request = 1s;
    c->limits.routines.data = 2s;
    c->limits.routines.server_load = 1s;
    c->limits.routines.traceroute_extra = 1s;
    return c;
}

std::unique_ptr<speed_server::SpeedServer> start_server(speed_server::Options options)
{
    if (!options.secret_key)
        options.secret_key = kSecret;
    auto server = std::make_unique<speed_server::SpeedServer>(options);
    server->start();
    return server;
}

std::uint16_t closed_port()
{
    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor acceptor(io, {boost::asio::ip::address_v4::loopback(), 0});
    const auto port = acceptor.local_endpoint().port();
    acceptor.close();
    return port;
}

boost::json::object parse_object(const std::string& text)
{
    return boost::json::parse(text).as_object();
}

} // namespace client_test
