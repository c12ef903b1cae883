// Moves downlink and uplink chunks over loopback through ProtocolConnection
// against the speed_server process (1 and 4 connections; 4 KiB, 64 KiB and
// 512 KiB chunks; plain TCP and TLS) and prints iperf3's figure for the same
// number of streams beside it, with CPU-seconds per GB for both.

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

extern char** environ;

namespace {

constexpr const char* kSecret = "bench-secret";
int kSeconds = 2;

double cpu_seconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
}

// A child process with a pipe to its standard input (closing it ends the
// speed_server) and one from its standard output.
struct Child {
    pid_t pid = -1;
    int in = -1;
    FILE* out = nullptr;

    static Child start(const std::vector<std::string>& args)
    {
        int to_child[2], from_child[2];
        // Close-on-exec: a later child must not keep an earlier one's standard input open.
        if (pipe2(to_child, O_CLOEXEC) != 0 || pipe2(from_child, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, to_child[0], 0);
        posix_spawn_file_actions_adddup2(&actions, from_child[1], 1);
        posix_spawn_file_actions_addclose(&actions, to_child[1]);
        posix_spawn_file_actions_addclose(&actions, from_child[0]);
        std::vector<char*> argv;
        for (const auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        Child child;
        if (posix_spawnp(&child.pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
            throw std::runtime_error("cannot start " + args[0]);
        posix_spawn_file_actions_destroy(&actions);
        close(to_child[0]);
        close(from_child[1]);
        child.in = to_child[1];
        child.out = fdopen(from_child[0], "r");
        return child;
    }
    std::string read_all()
    {
        std::string text;
        char buf[4096];
        while (std::size_t n = fread(buf, 1, sizeof buf, out))
            text.append(buf, n);
        return text;
    }
    std::string read_line()
    {
        char buf[512];
        return fgets(buf, sizeof buf, out) ? std::string(buf) : std::string();
    }
    // Waits for the child's end; gives the CPU-seconds it used.
    double finish()
    {
        if (in >= 0)
            close(in);
        in = -1;
        int status = 0;
        rusage usage{};
        if (pid > 0)
            wait4(pid, &status, 0, &usage);
        pid = -1;
        if (out)
            fclose(out);
        out = nullptr;
        return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
    }
};

struct Figure {
    double gbit_s = 0;
    double cpu_s_per_gb = 0;
};

// iperf3 on loopback: client throughput and the client's CPU per GB (the
// client process's own CPU time, as for our side; iperf3's own CPU figure
// covers a different window).
Figure iperf3(int streams, bool downlink)
{
    const std::string port = std::to_string(52000 + (getpid() % 1000));
    Child server = Child::start({"iperf3", "-s", "-1", "-p", port});
    usleep(300'000);
    std::vector<std::string> args{"iperf3", "-c", "127.0.0.1", "-p", port, "-t", std::to_string(kSeconds), "-P",
                                  std::to_string(streams), "-J"};
    if (downlink)
        args.push_back("-R");
    Child client = Child::start(args);
    const std::string json = client.read_all();
    const double client_cpu = client.finish();
    server.finish();
    Figure f;
    try {
        const auto doc = boost::json::parse(json).as_object();
        const auto& end = doc.at("end").as_object();
        const double bps = end.at("sum_received").as_object().at("bits_per_second").to_number<double>();
        const double bytes = end.at("sum_received").as_object().at("bytes").to_number<double>();
        f.gbit_s = bps / 1e9;
        f.cpu_s_per_gb = bytes > 0 ? client_cpu / (bytes / 1e9) : 0;
    } catch (const std::exception& e) {
        std::cerr << "iperf3 output not understood: " << e.what() << "\n";
    }
    return f;
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
    const double cpu_before = cpu_seconds();
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
    const double cpu = cpu_seconds() - cpu_before;
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
  --repeat N                     runs of each case; the best is printed (1)
  --no-iperf                     leave iperf3 out
  --iperf-once                   measure iperf3 once up front instead of next to every case
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
    int repeat = 1;
    bool with_iperf = true;
    bool iperf_once = false;
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
            if (std::sscanf(v.c_str(), "%7[a-z]:%d:%u:%7[a-z]", dir, &conn, &chunk, tls) != 4) {
                std::cerr << "bad case " << v << "\n" << kUsage;
                return 2;
            }
            only.push_back({std::string(dir) == "down", conn, chunk * 1024, std::string(tls) == "yes"});
        } else if (arg == "--seconds") {
            kSeconds = std::stoi(value());
        } else if (arg == "--repeat") {
            repeat = std::max(1, std::stoi(value()));
        } else if (arg == "--no-iperf") {
            with_iperf = false;
        } else if (arg == "--iperf-once") {
            iperf_once = true;
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

    Runtime rt;
    std::map<std::pair<int, bool>, Figure> iperf;
    auto best_of = [&](auto measure) {
        Figure best;
        for (int r = 0; r < repeat; ++r) {
            const Figure f = measure();
            if (f.gbit_s > best.gbit_s)
                best = f;
        }
        return best;
    };
    if (with_iperf && iperf_once)
        for (int streams : {1, 4})
            for (bool down : {true, false})
                iperf[{streams, down}] = best_of([&] { return iperf3(streams, down); });

    std::printf("%-9s %-4s %-6s %-5s | %10s %10s | %10s %10s | %6s\n", "direction", "conn", "chunk", "tls", "Gbit/s",
                "CPU s/GB", "iperf3", "CPU s/GB", "ratio");
    std::map<std::uint32_t, std::pair<Child, std::uint16_t>> servers;
    for (const auto& sel : only) {
        if (!servers.count(sel.chunk)) {
            Child server = Child::start({SPEED_SERVER_PATH, "--threads", "4", "--chunk-size", std::to_string(sel.chunk),
                                         "--secret", kSecret});
            const auto ports = boost::json::parse(server.read_line()).as_object();
            servers[sel.chunk] = {server, static_cast<std::uint16_t>(ports.at("tcp_port").to_number<int>())};
        }
        const Case c{sel.connections, sel.chunk, sel.tls};
        Figure ref;
        if (with_iperf)
            ref = iperf_once ? iperf[{sel.connections, sel.down}]
                             : best_of([&] { return iperf3(sel.connections, sel.down); });
        const Figure ours = best_of([&] { return run_case(rt, servers[sel.chunk].second, c, sel.down); });
        std::printf("%-9s %-4d %-6s %-5s | %10.2f %10.3f | %10.2f %10.3f | %6.2f\n", sel.down ? "downlink" : "uplink",
                    sel.connections, (std::to_string(sel.chunk / 1024) + "K").c_str(), sel.tls ? "yes" : "no", ours.gbit_s,
                    ours.cpu_s_per_gb, ref.gbit_s, ref.cpu_s_per_gb, ref.gbit_s > 0 ? ours.gbit_s / ref.gbit_s : 0);
        std::fflush(stdout);
    }
    for (auto& [chunk, server] : servers)
        server.first.finish();
    return 0;
}
