// Whole speed-test client runs (every phase through mclient_create,
// mclient_run and mclient_free) against the speed_server process, beside
// iperf3 in the same run. Each client run is a child process of its own, so
// that its CPU time and peak resident set are its own.
//
//   speedtest_bench [switches]        loopback: iperf3 pairs, then our client
//   speedtest_bench --client [...]    one client run; prints one JSON line
//
// Reported per chunk size: downlink and uplink throughput of the client (the
// result's "bps") over the sum of as many separate iperf3 pairs as the
// client has connections (one iperf3 process is single-threaded); CPU-seconds
// per GB of the client during each throughput phase against iperf3's client
// processes, and of both ends (client and server) against both iperf3 ends;
// the client's peak RSS over the whole run; TLS over plain TCP, beside the
// share of the plain rate that TLS could reach at most on these processors
// (the plain run's CPU per GB plus one encryption and one decryption per byte
// at this machine's AES-256-GCM rate, with the same processors busy).
//
// Both ends count because on loopback the kernel's receive work for a
// segment runs in whichever process gets to it: the sender's, while the
// receiver is not reading, or the receiver's. One end's figure alone moves
// with that split; the sum does not.

#include "BenchSupport.h"
#include "mclient.h"

#include <boost/json.hpp>
#include <openssl/evp.h>

#include <atomic>
#include <cstring>
#include <iostream>
#include <map>
#include <mutex>
#include <sys/resource.h>
#include <unistd.h>

namespace json = boost::json;

namespace {

constexpr const char* kSecret = "bench-secret";

// ---- the client child ------------------------------------------------------

struct ClientOptions {
    std::string host = "127.0.0.1";
    std::uint16_t port_tcp = 0;
    std::uint16_t port_udp = 0;
    int connections = 4;
    int seconds = 10;          // downlink and uplink duration
    int dl_slow_start = 3;     // the client's defaults
    int ul_slow_start = 1;
    int pretest = 2;
    int rtt_pings = 20;
    bool tls = false;
    pid_t server_pid = 0;  // whose CPU time is read beside the client's
};
ClientOptions g_options;

// CPU time of this process at the start and the end of a throughput phase,
// taken from the progress records that open (0 %) and close (100 %) it.
struct PhaseCpu {
    std::atomic<double> start{0}, end{0};
    std::atomic<double> server_start{0}, server_end{0};
};
PhaseCpu g_phase_cpu[7];
std::mutex g_mutex;
std::string g_result;
std::string g_error;

void on_progress(const mclient_progress* p)
{
    if (p->phase != 4 && p->phase != 6)
        return;
    auto& cpu = g_phase_cpu[p->phase];
    const pid_t server = g_options.server_pid;
    if (p->phase_progress == 0.0F && cpu.start == 0) {
        cpu.start = bench::self_cpu_seconds();
        cpu.server_start = server > 0 ? bench::process_cpu_seconds(server) : 0;
    }
    if (p->phase_progress >= 100.0F) {
        cpu.end = bench::self_cpu_seconds();
        cpu.server_end = server > 0 ? bench::process_cpu_seconds(server) : 0;
    }
}
void on_result(const char* text)
{
    std::lock_guard lock(g_mutex);
    g_result = text;
}
void on_error(const char* text)
{
    std::lock_guard lock(g_mutex);
    g_error = text;
}

// Bytes the phase moved up to the end of its window: the last raw-data point
// of every connection is its cumulative count there.
double moved_bytes(const json::object& phase)
{
    double sum = 0;
    if (const auto* raw = phase.if_contains("raw_data"))
        for (const auto& [conn, points] : raw->as_object())
            if (!points.as_array().empty())
                sum += points.as_array().back().as_object().at("b").to_number<double>();
    return sum;
}

int run_client(const ClientOptions& o)
{
    mclient_config c;
    std::memset(&c, 0, sizeof c);
    c.host = o.host.c_str();
    c.port_tcp = o.port_tcp;
    c.port_udp = o.port_udp;
    c.tls = o.tls;
    c.skip_certificate_validation = 1;
    c.progress_update_limit_ms = 1000;
    c.raw_history_sampling_rate_ms = 250;
    c.run_rtt_tcp_phase = 1;
    c.run_rtt_udp_phase = 1;
    c.run_downlink_phase = 1;
    c.run_uplink_phase = 1;
    c.rtt_tcp_payload_size = 5;
    c.rtt_tcp_num_packets = o.rtt_pings;
    c.rtt_tcp_delay_ms = 10;
    c.rtt_tcp_timeout_s = 10;
    c.rtt_udp_payload_size = 32;
    c.rtt_udp_num_packets = o.rtt_pings;
    c.rtt_udp_delay_ms = 10;
    c.rtt_udp_timeout_s = 10;
    c.dl_pretest_duration_s = o.pretest;
    c.dl_duration_s = o.seconds;
    c.dl_slow_start_duration_s = o.dl_slow_start;
    c.dl_num_connections = static_cast<std::uint8_t>(o.connections);
    c.ul_pretest_duration_s = o.pretest;
    c.ul_duration_s = o.seconds;
    c.ul_slow_start_duration_s = o.ul_slow_start;
    c.ul_num_connections = static_cast<std::uint8_t>(o.connections);
    c.secret_key = kSecret;

    mclient_handle handle = nullptr;
    if (mclient_create(&c, 0, &handle) != 0) {
        std::cout << R"({"ok":false,"error":"mclient_create failed"})" << std::endl;
        return 1;
    }
    const int rc = mclient_run(handle, on_progress, on_result, on_error);
    mclient_free(handle);

    json::object out;
    out["ok"] = rc == 0;
    if (rc != 0) {
        out["error"] = g_error;
    } else {
        json::object result = json::parse(g_result).as_object();
        for (const char* side : {"dl", "ul"}) {
            const int kind = std::string(side) == "dl" ? 4 : 6;
            json::object figures;
            if (const auto* phase = result.if_contains(side)) {
                const auto& p = phase->as_object();
                figures["bps"] = p.at("bps").to_number<double>();
                figures["bytes"] = p.at("bytes").to_number<double>();
                figures["moved"] = moved_bytes(p);
                figures["connections"] = p.contains("raw_data") ? p.at("raw_data").as_object().size() : 0;
            }
            figures["cpu"] = g_phase_cpu[kind].end - g_phase_cpu[kind].start;
            figures["server_cpu"] = g_phase_cpu[kind].server_end - g_phase_cpu[kind].server_start;
            out[side] = figures;
        }
        out["result"] = std::move(result);
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    out["cpu"] = bench::self_cpu_seconds();
    out["max_rss_kib"] = usage.ru_maxrss;
    std::cout << json::serialize(out) << std::endl;
    return rc == 0 ? 0 : 1;
}

// ---- the loopback benchmark -------------------------------------------------

std::string self_path()
{
    char buf[4096];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string("speedtest_bench");
}

struct ClientRun {
    bool ok = false;
    std::string error;
    double dl_bps = 0, ul_bps = 0;
    double dl_cpu_per_gb = 0, ul_cpu_per_gb = 0;
    double dl_both_cpu_per_gb = 0, ul_both_cpu_per_gb = 0;  // client and server
    double rss_mib = 0;
};

ClientRun client_run(const ClientOptions& o)
{
    std::vector<std::string> args{self_path(), "--client",  "--host", o.host, "--port", std::to_string(o.port_tcp),
                                  "--udp-port", std::to_string(o.port_udp), "--connections", std::to_string(o.connections),
                                  "--seconds", std::to_string(o.seconds), "--pretest", std::to_string(o.pretest),
                                  "--rtt-pings", std::to_string(o.rtt_pings), "--server-pid", std::to_string(o.server_pid)};
    if (o.tls)
        args.emplace_back("--tls");
    bench::Child child = bench::Child::start(args);
    const std::string text = child.read_all();
    const auto end = child.finish();
    ClientRun run;
    run.rss_mib = end.max_rss_kib / 1024.0;
    try {
        const auto doc = json::parse(text).as_object();
        run.ok = doc.at("ok").as_bool();
        if (!run.ok) {
            run.error = json::value_to<std::string>(doc.at("error"));
            return run;
        }
        auto side = [&](const char* name, double& bps, double& cpu_per_gb, double& both_per_gb) {
            const auto& f = doc.at(name).as_object();
            if (!f.contains("bps")) {
                run.ok = false;
                run.error = std::string(name) + " phase missing";
                return;
            }
            bps = f.at("bps").to_number<double>();
            const double moved = f.at("moved").to_number<double>();
            const double cpu = f.at("cpu").to_number<double>();
            cpu_per_gb = moved > 0 ? cpu / (moved / 1e9) : 0;
            both_per_gb = moved > 0 ? (cpu + f.at("server_cpu").to_number<double>()) / (moved / 1e9) : 0;
        };
        side("dl", run.dl_bps, run.dl_cpu_per_gb, run.dl_both_cpu_per_gb);
        side("ul", run.ul_bps, run.ul_cpu_per_gb, run.ul_both_cpu_per_gb);
    } catch (const std::exception& e) {
        run.ok = false;
        run.error = std::string("client output not understood: ") + e.what();
    }
    return run;
}

// CPU seconds that one AES-256-GCM encryption and one decryption of a GB
// take on one processor here, in full 16 KiB records as TLS sends them.
double aes_gcm_seconds_per_gb()
{
    std::vector<unsigned char> plain(16 * 1024, 0x5a), sealed(plain.size()), opened(plain.size());
    unsigned char key[32] = {1}, iv[12] = {2}, tag[16];
    EVP_CIPHER_CTX* enc = EVP_CIPHER_CTX_new();
    EVP_CIPHER_CTX* dec = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex(enc, EVP_aes_256_gcm(), nullptr, key, iv);
    EVP_DecryptInit_ex(dec, EVP_aes_256_gcm(), nullptr, key, iv);
    const auto started = std::chrono::steady_clock::now();
    const double cpu_before = bench::self_cpu_seconds();
    double bytes = 0;
    int len = 0;
    while (std::chrono::steady_clock::now() - started < std::chrono::milliseconds(500)) {
        for (int i = 0; i < 64; ++i) {
            EVP_EncryptInit_ex(enc, nullptr, nullptr, nullptr, iv);
            EVP_EncryptUpdate(enc, sealed.data(), &len, plain.data(), static_cast<int>(plain.size()));
            EVP_EncryptFinal_ex(enc, sealed.data() + len, &len);
            EVP_CIPHER_CTX_ctrl(enc, EVP_CTRL_GCM_GET_TAG, sizeof tag, tag);
            EVP_DecryptInit_ex(dec, nullptr, nullptr, nullptr, iv);
            EVP_DecryptUpdate(dec, opened.data(), &len, sealed.data(), static_cast<int>(sealed.size()));
            EVP_CIPHER_CTX_ctrl(dec, EVP_CTRL_GCM_SET_TAG, sizeof tag, tag);
            if (EVP_DecryptFinal_ex(dec, opened.data() + len, &len) != 1)
                std::abort();  // the round trip must hold
            bytes += static_cast<double>(plain.size());
        }
    }
    const double cpu = bench::self_cpu_seconds() - cpu_before;
    EVP_CIPHER_CTX_free(enc);
    EVP_CIPHER_CTX_free(dec);
    return cpu / (bytes / 1e9);
}

const char* kUsage = R"(speedtest_bench [switches]
  --seconds N       downlink and uplink duration of each client run (10)
  --repeat N        runs of everything; medians and ranges are printed (3)
  --chunk KIB       chunk size the server announces (repeatable; 4 and 64)
  --connections N   client connections and iperf3 pairs (4)
  --no-tls          leave the TLS runs out
  --no-iperf        leave iperf3 out
speedtest_bench --client --host H --port TCP --udp-port UDP [--connections N]
                [--seconds N] [--pretest N] [--slow-start DL:UL] [--rtt-pings N] [--tls]
                [--server-pid PID]
  one client run; prints one JSON line with the result and the figures
  (with --server-pid also that process's CPU time in each phase)
)";

} // namespace

int main(int argc, char** argv)
{
    ClientOptions o;
    bool client_mode = false;
    int repeat = 3;
    std::vector<std::uint32_t> chunks;
    bool with_tls = true;
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
        try {
            if (arg == "--client") client_mode = true;
            else if (arg == "--host") o.host = value();
            else if (arg == "--port") o.port_tcp = static_cast<std::uint16_t>(std::stoi(value()));
            else if (arg == "--udp-port") o.port_udp = static_cast<std::uint16_t>(std::stoi(value()));
            else if (arg == "--connections") o.connections = std::clamp(std::stoi(value()), 1, 255);
            else if (arg == "--seconds") o.seconds = std::max(1, std::stoi(value()));
            else if (arg == "--pretest") o.pretest = std::max(0, std::stoi(value()));
            else if (arg == "--rtt-pings") o.rtt_pings = std::max(1, std::stoi(value()));
            else if (arg == "--slow-start") {
                const std::string v = value();
                o.dl_slow_start = std::stoi(v.substr(0, v.find(':')));
                o.ul_slow_start = std::stoi(v.substr(v.find(':') + 1));
            } else if (arg == "--tls") o.tls = true;
            else if (arg == "--server-pid") o.server_pid = static_cast<pid_t>(std::stol(value()));
            else if (arg == "--repeat") repeat = std::max(1, std::stoi(value()));
            else if (arg == "--chunk") chunks.push_back(static_cast<std::uint32_t>(std::stoul(value()) * 1024));
            else if (arg == "--no-tls") with_tls = false;
            else if (arg == "--no-iperf") with_iperf = false;
            else {
                std::cerr << kUsage;
                return arg == "--help" ? 0 : 2;
            }
        } catch (const std::exception&) {
            std::cerr << "bad value for " << arg << "\n" << kUsage;
            return 2;
        }
    }
    if (client_mode) {
        g_options = o;
        return run_client(o);
    }
    if (chunks.empty())
        chunks = {4096, 65536};

    std::printf("%s\n%d runs; each: %d iperf3 pairs down and up for %d s, then whole client runs (%d connections, "
                "%d s per direction)%s; median (smallest-largest)\n",
                bench::machine_line().c_str(), repeat, o.connections, o.seconds, o.connections, o.seconds,
                with_tls ? ", plain and TLS" : "");
    const double aes_per_gb = with_tls ? aes_gcm_seconds_per_gb() : 0;
    if (with_tls)
        std::printf("AES-256-GCM on one processor: %.2f GB/s encrypted and decrypted (%.3f s/GB for both)\n",
                    1.0 / aes_per_gb, aes_per_gb);
    int failures = 0;
    for (const std::uint32_t chunk : chunks) {
        bench::Child server = bench::Child::start(
            {SPEED_SERVER_PATH, "--threads", "4", "--chunk-size", std::to_string(chunk), "--secret", kSecret});
        const auto ports = json::parse(server.read_line()).as_object();
        o.port_tcp = static_cast<std::uint16_t>(ports.at("tcp_port").to_number<int>());
        o.port_udp = static_cast<std::uint16_t>(ports.at("udp_port").to_number<int>());
        o.server_pid = server.pid;

        std::map<std::string, std::vector<double>> v;
        for (int r = 0; r < repeat; ++r) {
            bench::IperfFigure idl, iul;
            if (with_iperf) {
                idl = bench::iperf3_pairs(o.connections, o.seconds, true);
                iul = bench::iperf3_pairs(o.connections, o.seconds, false);
                v["iperf_dl"].push_back(idl.bps / 1e9);
                v["iperf_ul"].push_back(iul.bps / 1e9);
                v["iperf_dl_cpu"].push_back(idl.cpu_s_per_gb());
                v["iperf_ul_cpu"].push_back(iul.cpu_s_per_gb());
                v["iperf_dl_both"].push_back(idl.both_ends_cpu_s_per_gb());
                v["iperf_ul_both"].push_back(iul.both_ends_cpu_s_per_gb());
            }
            o.tls = false;
            const ClientRun plain = client_run(o);
            if (!plain.ok) {
                std::fprintf(stderr, "client run failed: %s\n", plain.error.c_str());
                ++failures;
                continue;
            }
            v["dl"].push_back(plain.dl_bps / 1e9);
            v["ul"].push_back(plain.ul_bps / 1e9);
            v["dl_cpu"].push_back(plain.dl_cpu_per_gb);
            v["ul_cpu"].push_back(plain.ul_cpu_per_gb);
            v["dl_both"].push_back(plain.dl_both_cpu_per_gb);
            v["ul_both"].push_back(plain.ul_both_cpu_per_gb);
            v["rss"].push_back(plain.rss_mib);
            if (with_iperf && idl.bps > 0 && iul.bps > 0) {
                v["dl_ratio"].push_back(plain.dl_bps / idl.bps);
                v["ul_ratio"].push_back(plain.ul_bps / iul.bps);
                v["dl_cpu_ratio"].push_back(plain.dl_cpu_per_gb / idl.cpu_s_per_gb());
                v["ul_cpu_ratio"].push_back(plain.ul_cpu_per_gb / iul.cpu_s_per_gb());
                v["dl_both_ratio"].push_back(plain.dl_both_cpu_per_gb / idl.both_ends_cpu_s_per_gb());
                v["ul_both_ratio"].push_back(plain.ul_both_cpu_per_gb / iul.both_ends_cpu_s_per_gb());
            }
            if (with_tls) {
                o.tls = true;
                const ClientRun tls = client_run(o);
                if (!tls.ok) {
                    std::fprintf(stderr, "TLS client run failed: %s\n", tls.error.c_str());
                    ++failures;
                    continue;
                }
                v["tls_dl"].push_back(tls.dl_bps / 1e9);
                v["tls_ul"].push_back(tls.ul_bps / 1e9);
                v["tls_dl_ratio"].push_back(tls.dl_bps / plain.dl_bps);
                v["tls_ul_ratio"].push_back(tls.ul_bps / plain.ul_bps);
                v["tls_dl_cpu"].push_back(tls.dl_cpu_per_gb);
                v["tls_ul_cpu"].push_back(tls.ul_cpu_per_gb);
                // What TLS could reach at most with the processors the plain
                // run kept busy: its CPU per GB plus the cipher's.
                v["tls_dl_bound"].push_back(plain.dl_both_cpu_per_gb / (plain.dl_both_cpu_per_gb + aes_per_gb));
                v["tls_ul_bound"].push_back(plain.ul_both_cpu_per_gb / (plain.ul_both_cpu_per_gb + aes_per_gb));
                v["tls_rss"].push_back(tls.rss_mib);
            }
        }
        server.finish();

        auto f = [&](const char* key, int decimals = 2) { return bench::format_spread(bench::spread(v[key]), decimals); };
        std::printf("\nchunk %u KiB\n", chunk / 1024);
        std::printf("  %-9s | %-20s | %-20s | %-18s | %-18s | %-18s | %-18s | %-18s | %-18s | %s\n", "direction",
                    "client Gbit/s", "iperf3 pairs Gbit/s", "ratio (goal)", "client CPU s/GB", "iperf3 client",
                    "CPU ratio (goal)", "both ends CPU s/GB", "iperf3 both ends", "both ends ratio");
        for (const bool down : {true, false}) {
            const std::string d = down ? "dl" : "ul";
            auto k = [&](const char* suffix) { return d + suffix; };
            std::printf("  %-9s | %-20s | %-20s | %-18s | %-18s | %-18s | %-18s | %-18s | %-18s | %s\n",
                        down ? "downlink" : "uplink", f(d.c_str()).c_str(), f(("iperf_" + d).c_str()).c_str(),
                        (f(k("_ratio").c_str()) + (chunk >= 65536 ? " (>=1.0)" : " (>=0.8)")).c_str(),
                        f(k("_cpu").c_str(), 3).c_str(), f(("iperf_" + d + "_cpu").c_str(), 3).c_str(),
                        (f(k("_cpu_ratio").c_str()) + " (<=1.0)").c_str(), f(k("_both").c_str(), 3).c_str(),
                        f(("iperf_" + d + "_both").c_str(), 3).c_str(), f(k("_both_ratio").c_str()).c_str());
        }
        if (with_tls) {
            std::printf("  TLS downlink %s Gbit/s, %s of plain (goal >=0.6; at most %s with these processors), "
                        "client CPU %s s/GB\n",
                        f("tls_dl").c_str(), f("tls_dl_ratio").c_str(), f("tls_dl_bound").c_str(),
                        f("tls_dl_cpu", 3).c_str());
            std::printf("  TLS uplink   %s Gbit/s, %s of plain (goal >=0.6; at most %s with these processors), "
                        "client CPU %s s/GB\n",
                        f("tls_ul").c_str(), f("tls_ul_ratio").c_str(), f("tls_ul_bound").c_str(),
                        f("tls_ul_cpu", 3).c_str());
        }
        std::printf("  client peak RSS: plain %s MiB%s%s\n", f("rss", 1).c_str(), with_tls ? ", TLS " : "",
                    with_tls ? (f("tls_rss", 1) + " MiB").c_str() : "");
        std::fflush(stdout);
    }
    std::printf("\n%s\n", bench::machine_line().c_str());
    return failures ? 1 : 0;
}
