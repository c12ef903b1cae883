// The test measurement server as a process: prints {"tcp_port":N,"udp_port":M}
// on one line and serves until its standard input closes or it is signalled.

#include "SpeedServer.h"

#include <boost/asio/ip/address.hpp>

#include <csignal>
#include <pthread.h>
#include <unistd.h>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>

namespace {

const char* kUsage = R"(usage: speed_server [switches]
The measurement server for the speed-test client's tests, benchmarks and
scripts/run. Serves one TCP port (plain or TLS, stream or websocket framing)
and one UDP port on 127.0.0.1, prints {"tcp_port":N,"udp_port":M} on one line
and serves until SIGINT/SIGTERM or until its standard input closes (keep it
open, e.g. from a pipe, when starting it in the background).

  --bind ADDRESS          address to bind (127.0.0.1)
  --threads N             I/O threads (2)
  --chunk-size N          chunk size announced at initialisation (4096)
  --max-rtt-payload N     max_rtt_payload_bytes announced (4096)
  --no-connection-info    leave connection_info out of the initialisation reply
  --secret KEY            check the token's HMAC with this key
  --no-tls                do not serve TLS
  --silent                accept connections and never answer
  --silent-init           never answer the initialisation
  --init-delay MS         wait before answering the initialisation
  --reply-delay MS        wait before every later reply
  --trickle BYTES:MS      send downlink chunks in pieces with pauses
  --no-last-marker        never mark a downlink chunk as last
  --no-completed          never mark an uplink notification as completed
  --stall-uplink          consent to uplink requests, then never read again
  --uplink-rate KBIT      read uplink data at this rate (kbit/s, all connections together)
  --close-after N         close a connection after answering N requests
  --idle-close MS         close a connection that waits this long for a request
  --error FIELD:STATUS:TEXT  answer requests of this envelope field with a GenericResponse
  --cut length|body|payload|marker  cut the connection off in the middle of a unit
  --udp-drop ID           never answer this UDP ping (repeatable)
  --udp-drop-every N      drop every n-th UDP ping
  --udp-duplicate         answer every UDP ping twice
  --udp-reorder           swap the answers of each pair of UDP pings
  --help                  this text
)";

[[noreturn]] void usageError(const std::string& problem)
{
    std::cerr << "speed_server: " << problem << " (see speed_server --help)\n";
    std::exit(2);
}

// A whole number written in digits only: "-1" or "5x" is a bad value, not
// a huge or a cut-off one.
unsigned long long whole(const std::string& text)
{
    if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos) {
        throw std::invalid_argument(text);
    }
    return std::stoull(text);
}

std::string need(int& i, int argc, char** argv)
{
    if (i + 1 >= argc) usageError(std::string("missing value for ") + argv[i]);
    return argv[++i];
}

} // namespace

int main(int argc, char** argv)
{
    speed_server::Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        // A value that is not a number ends here with a one-line error.
        try {
            if (arg == "--bind") options.bind_address = need(i, argc, argv);
            else if (arg == "--threads") {
                const auto n = whole(need(i, argc, argv));
                if (n < 1 || n > 256) usageError("--threads needs 1 to 256");
                options.threads = int(n);
            } else if (arg == "--chunk-size") {
                const auto n = whole(need(i, argc, argv));
                if (n < 1 || n > 0xFFFFFFFFull) usageError("--chunk-size needs 1 to 4294967295");
                options.chunk_size = std::uint32_t(n);
            }
            else if (arg == "--max-rtt-payload") options.max_rtt_payload_bytes = std::uint32_t(whole(need(i, argc, argv)));
            else if (arg == "--no-connection-info") options.send_connection_info = false;
            else if (arg == "--secret") options.secret_key = need(i, argc, argv);
            else if (arg == "--no-tls") options.tls_enabled = false;
            else if (arg == "--silent") options.silent = true;
            else if (arg == "--silent-init") options.silent_init = true;
            else if (arg == "--init-delay") options.init_reply_delay = std::chrono::milliseconds(whole(need(i, argc, argv)));
            else if (arg == "--reply-delay") options.reply_delay = std::chrono::milliseconds(whole(need(i, argc, argv)));
            else if (arg == "--trickle") {
                const std::string v = need(i, argc, argv);
                const auto colon = v.find(':');
                options.trickle_bytes = whole(v.substr(0, colon));
                options.trickle_pause = std::chrono::milliseconds(colon == std::string::npos ? 0 : whole(v.substr(colon + 1)));
            } else if (arg == "--no-last-marker") options.omit_last_marker = true;
            else if (arg == "--no-completed") options.skip_completed_notification = true;
            else if (arg == "--stall-uplink") options.stall_uplink = true;
            else if (arg == "--uplink-rate") options.uplink_rate_bps = whole(need(i, argc, argv)) * 1000U;
            else if (arg == "--idle-close") options.idle_close = std::chrono::milliseconds(whole(need(i, argc, argv)));
            else if (arg == "--close-after") options.close_after_requests = std::uint32_t(whole(need(i, argc, argv)));
            else if (arg == "--error") {
                const std::string v = need(i, argc, argv);
                const auto a = v.find(':');
                const auto b = v.find(':', a + 1);
                if (a == std::string::npos || b == std::string::npos) usageError("--error takes FIELD:STATUS:TEXT");
                options.error_replies[int(whole(v.substr(0, a)))] = {int(whole(v.substr(a + 1, b - a - 1))), v.substr(b + 1)};
            } else if (arg == "--cut") {
                const std::string v = need(i, argc, argv);
                if (v == "length") options.cut_off = speed_server::CutOff::InLengthField;
                else if (v == "body") options.cut_off = speed_server::CutOff::InBody;
                else if (v == "payload") options.cut_off = speed_server::CutOff::InChunkPayload;
                else if (v == "marker") options.cut_off = speed_server::CutOff::BeforeMarker;
                else usageError("unknown --cut " + v);
            } else if (arg == "--udp-drop") options.udp_drop_ids.insert(std::uint32_t(whole(need(i, argc, argv))));
            else if (arg == "--udp-drop-every") options.udp_drop_every = std::uint32_t(whole(need(i, argc, argv)));
            else if (arg == "--udp-duplicate") options.udp_duplicate = true;
            else if (arg == "--udp-reorder") options.udp_reorder = true;
            else if (arg == "--help" || arg == "-h") {
                std::cout << kUsage;
                return 0;
            } else {
                usageError("unknown switch " + arg);
            }
        } catch (const std::logic_error&) {
            usageError("bad value for " + arg + ": " + argv[i]);
        }
    }

    boost::system::error_code bad_address;
    boost::asio::ip::make_address(options.bind_address, bad_address);
    if (bad_address) usageError("--bind needs an IP address, not \"" + options.bind_address + "\"");

    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);  // the server's threads inherit the mask

    speed_server::SpeedServer server(options);
    try {
        server.start();
    } catch (const std::exception& e) {
        std::cerr << "speed_server: cannot serve on " << options.bind_address << ": " << e.what() << "\n";
        return 1;
    }
    std::cout << "{\"tcp_port\":" << server.tcp_port() << ",\"udp_port\":" << server.udp_port() << "}" << std::endl;

    // Ends on SIGINT/SIGTERM, or when standard input closes.
    std::thread stdin_watch([] {
        std::string line;
        while (std::getline(std::cin, line)) {
        }
        kill(getpid(), SIGTERM);
    });
    stdin_watch.detach();
    int received = 0;
    sigwait(&signals, &received);
    server.stop();
    return 0;
}
