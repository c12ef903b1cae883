#pragma once

// Pieces the benchmarks share: child processes with their resource use,
// iperf3 as the reference (several separate client/server pairs summed, since
// one iperf3 process is single-threaded), and the median and spread of
// repeated figures.

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace bench {

// CPU seconds (user + system) of this process so far.
double self_cpu_seconds();
// CPU seconds (user + system) of another process so far, from /proc (in
// clock ticks, so to 10 ms); 0 when it cannot be read.
double process_cpu_seconds(pid_t pid);

// A child process with a pipe to its standard input (closing it ends the
// speed_server) and one from its standard output.
struct Child {
    pid_t pid = -1;
    int in = -1;
    FILE* out = nullptr;

    static Child start(const std::vector<std::string>& args);
    std::string read_all();
    std::string read_line();
    // Waits for the child's end (closing its standard input first).
    struct End {
        int status = 0;
        double cpu_seconds = 0;  // user + system of the child
        long max_rss_kib = 0;    // its peak resident set
    };
    End finish();
};

// A TCP port that was free a moment ago (bound and released).
std::uint16_t free_port();

// Several iperf3 pairs at once: one server and one client process per
// stream, the figures summed. Downlink means the server sends (-R).
struct IperfFigure {
    double bps = 0;            // sum of the receivers' bits per second
    double bytes = 0;          // bytes the clients moved
    double client_cpu = 0;     // CPU seconds of all client processes
    double server_cpu = 0;     // ... and of all server processes
    bool ok = false;
    double cpu_s_per_gb() const { return bytes > 0 ? client_cpu / (bytes / 1e9) : 0; }
    double both_ends_cpu_s_per_gb() const { return bytes > 0 ? (client_cpu + server_cpu) / (bytes / 1e9) : 0; }
};
struct IperfSetup {
    std::string host = "127.0.0.1";
    // Prefix for the server processes (e.g. {"ip", "netns", "exec", NAME}).
    std::vector<std::string> server_prefix;
    std::string bind;  // address the servers bind (empty: any)
};
IperfFigure iperf3_pairs(int pairs, int seconds, bool downlink, const IperfSetup& setup = {});

// Median, smallest and largest of repeated figures.
struct Spread {
    double median = 0, min = 0, max = 0;
    std::size_t n = 0;
};
Spread spread(std::vector<double> values);
// "1.23 (1.10-1.31)" with the given printf precision.
std::string format_spread(const Spread& s, int decimals = 2);

// The machine a figure came from: processor count, model and load.
std::string machine_line();

} // namespace bench
