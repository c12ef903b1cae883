// Moves downlink and uplink chunks over loopback through ProtocolConnection
// against the speed_server process (1 and 4 connections; 4 KiB, 64 KiB and
// 512 KiB chunks; plain TCP and TLS) and prints iperf3's figure for the same
// number of streams beside it, with CPU-seconds per GB for both. The
// reference for n streams is n separate iperf3 client/server pairs summed:
// one iperf3 process is single-threaded, so iperf3 -P n is capped by one core.

#include "BenchSupport.h"
#include "Runtime.h"
#include "RunnerConnect.h"
#include "Token.h"

#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/use_future.hpp>
#include <boost/json.hpp>

#include <cstdio>
#include <iostream>
#include <map>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

using namespace vela_client;
using namespace vela_client::sprintproto;
namespace asio = boost::asio;
using Clock = std::chrono::steady_clock;

namespace {

constexpr const char* kSecret = "bench-secret";
int kSeconds = 2;

struct Figure {
    double gbit_s = 0;
    double cpu_s_per_gb = 0;
};

// The reference: one iperf3 pair per stream, summed.
Figure iperf3(int streams, bool downlink)
{
    const bench::IperfFigure f = bench::iperf3_pairs(streams, kSeconds, downlink);
    return Figure{f.bps / 1e9, f.cpu_s_per_gb()};
}

asio::awaitable<std::uint64_t> downlink(ProtocolConnection& c)
{
    auto ok = co_await c.request(Msg(DownlinkTestRequest{std::uint32_t(kSeconds)}), std::chrono::seconds(5));
    if (!ok || !ok->get<GenericResponse>())
        co_return 0;
    std::uint64_t bytes = 0;
    for (;;) {
        auto last = co_await c.recv_data_chunk(std::chrono::seconds(9));
        if (!last)
            co_return bytes;
        bytes += c.chunk_size;
        if (*last)
            co_return bytes;
    }
}

// As the uplink test does it: chunks cut from the shared random buffer, in
// batches of about 256 KiB per write, the last one marked once the time is up.
asio::awaitable<std::uint64_t> uplink(ProtocolConnection& c)
{
    auto ok = co_await c.request(Msg(UplinkTestRequest{200}), std::chrono::seconds(5));
    if (!ok || !ok->get<GenericResponse>())
        co_return 0;
    auto guard = co_await c.random_buffer->lock.lock_shared();
    const std::span<const std::uint8_t> random(c.random_buffer->bytes);
    const auto batch = std::max<std::uint32_t>(1, (256 * 1024) / c.chunk_size);
    std::size_t offset = 0;
    const auto start = Clock::now();
    for (;;) {
        const bool last = Clock::now() - start >= std::chrono::seconds(kSeconds);
        if (co_await c.write_random_chunks(random, offset, last ? 1 : batch, last, std::chrono::seconds(9)))
            co_return 0;
        if (last)
            break;
    }
    for (;;) {
        auto note = co_await c.read_proto_msg(std::chrono::seconds(9));
        if (!note)
            co_return 0;
        if (const auto* n = note->get<UplinkTestProgressNotification>(); n && n->completed)
            co_return n->bytes;
    }
}

struct Case {
    int connections;
    std::uint32_t chunk;
    bool tls;
};

Figure run_case(Runtime& rt, std::uint16_t port, const Case& c, bool down)
{
    auto token = build_token(kSecret);
    auto buffer = make_shared_random_buffer();
    AbortContext abort(make_stop_flag(), std::nullopt);
    RunnerConnectParams params;
    params.host = "localhost";
    params.server_address = Endpoint(asio::ip::make_address("127.0.0.1"), port);
    params.tls = c.tls;
    params.skip_certificate_validation = true;
    std::vector<Runner> runners;
    for (int i = 0; i < c.connections; ++i) {
        auto r = rt.block_on(runner_connect(std::uint8_t(i), *token, Duration::from_millis(200), abort, params, nullptr,
                                            nullptr, buffer, 8));
        if (auto* text = std::get_if<std::string>(&r))
            throw std::runtime_error("connect: " + *text);
        runners.push_back(std::move(std::get<Runner>(r)));
    }
    const double cpu_before = bench::self_cpu_seconds();
    const auto start = Clock::now();
    std::vector<std::future<std::uint64_t>> done;
    for (auto& runner : runners) {
        auto& conn = *runner.connection;
        done.push_back(asio::co_spawn(conn.executor(), down ? downlink(conn) : uplink(conn), asio::use_future));
    }
    std::uint64_t bytes = 0;
    for (auto& d : done)
        bytes += d.get();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = bench::self_cpu_seconds() - cpu_before;
    for (auto& runner : runners)
        rt.block_on(runner.connection->request(Msg(QuitRequest{}), std::chrono::seconds(5)));
    Figure f;
    f.gbit_s = bytes * 8 / seconds / 1e9;
    f.cpu_s_per_gb = bytes ? cpu / (bytes / 1e9) : 0;
    return f;
}

const char* kUsage = R"(transport_bench [switches]
  --case DIR:CONN:CHUNK_KIB:TLS  run only this case (repeatable), e.g. down:1:64:no
  --seconds N                    length of each transfer (2)
  --repeat N                     runs of each case; the median and the range are printed (3)
  --no-iperf                     leave iperf3 out
The reference for CONN streams is CONN separate iperf3 pairs, summed, run
right before each of our runs; the ratio is taken run by run.
)";

struct Selection {
    bool down;
    int connections;
    std::uint32_t chunk;
    bool tls;
};

} // namespace

int main(int argc, char** argv)
{
    std::vector<Selection> only;
    int repeat = 3;
    bool with_iperf = true;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::cerr << "missing value for " << arg << "\n" << kUsage;
                std::exit(2);
            }
            return argv[++i];
        };
        if (arg == "--case") {
            const std::string v = value();
            char dir[8] = {}, tls[8] = {};
            int conn = 0;
            unsigned chunk = 0;
            if (std::sscanf(v.c_str(), "%7[a-z]:%d:%u:%7[a-z]", dir, &conn, &chunk, tls) != 4 || conn < 1 || chunk < 1) {
                std::cerr << "bad case " << v << "\n" << kUsage;
                return 2;
            }
            only.push_back({std::string(dir) == "down", conn, chunk * 1024, std::string(tls) == "yes"});
        } else if (arg == "--seconds") {
            kSeconds = std::max(1, std::stoi(value()));
        } else if (arg == "--repeat") {
            repeat = std::max(1, std::stoi(value()));
        } else if (arg == "--no-iperf") {
            with_iperf = false;
        } else {
            std::cerr << kUsage;
            return arg == "--help" ? 0 : 2;
        }
    }
    if (only.empty())
        for (std::uint32_t chunk : {4096u, 65536u, 524288u})
            for (bool tls : {false, true})
                for (int connections : {1, 4})
                    for (bool down : {true, false})
                        only.push_back({down, connections, chunk, tls});

    std::printf("%s\n%d runs of %d s per case; median (smallest-largest)\n", bench::machine_line().c_str(), repeat,
                kSeconds);
    std::printf("%-9s %-4s %-6s %-5s | %-22s %-8s | %-22s %-8s | %s\n", "direction", "conn", "chunk", "tls", "Gbit/s",
                "CPU s/GB", "iperf3 pairs Gbit/s", "CPU s/GB", "ratio");
    Runtime rt;
    std::map<std::uint32_t, std::pair<bench::Child, std::uint16_t>> servers;
    for (const auto& sel : only) {
        if (!servers.count(sel.chunk)) {
            bench::Child server = bench::Child::start({SPEED_SERVER_PATH, "--threads", "4", "--chunk-size",
                                                       std::to_string(sel.chunk), "--secret", kSecret});
            const auto ports = boost::json::parse(server.read_line()).as_object();
            servers[sel.chunk] = {server, static_cast<std::uint16_t>(ports.at("tcp_port").to_number<int>())};
        }
        const Case c{sel.connections, sel.chunk, sel.tls};
        std::vector<double> ours, ours_cpu, ref, ref_cpu, ratio;
        for (int r = 0; r < repeat; ++r) {
            if (with_iperf) {
                const Figure f = iperf3(sel.connections, sel.down);
                ref.push_back(f.gbit_s);
                ref_cpu.push_back(f.cpu_s_per_gb);
            }
            const Figure f = run_case(rt, servers[sel.chunk].second, c, sel.down);
            ours.push_back(f.gbit_s);
            ours_cpu.push_back(f.cpu_s_per_gb);
            if (with_iperf && ref.back() > 0)
                ratio.push_back(f.gbit_s / ref.back());
        }
        std::printf("%-9s %-4d %-6s %-5s | %-22s %-8.3f | %-22s %-8.3f | %s\n", sel.down ? "downlink" : "uplink",
                    sel.connections, (std::to_string(sel.chunk / 1024) + "K").c_str(), sel.tls ? "yes" : "no",
                    bench::format_spread(bench::spread(ours)).c_str(), bench::spread(ours_cpu).median,
                    bench::format_spread(bench::spread(ref)).c_str(), bench::spread(ref_cpu).median,
                    bench::format_spread(bench::spread(ratio)).c_str());
        std::fflush(stdout);
    }
    for (auto& [chunk, server] : servers)
        server.first.finish();
    return 0;
}
