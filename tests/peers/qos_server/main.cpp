// qos_server: the QoS test server as a process. Listens on 127.0.0.1 (port 0
// unless told otherwise), prints its ports as one JSON line on standard
// output and serves until SIGINT/SIGTERM or --max-seconds have passed.
//
// The switches are listed in kHelp below (`qos_server --help`).

#include <csignal>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <map>
#include <string>

#include "QosServer.h"

using lumivex::test_peers::QosServer;
using lumivex::test_peers::QosServerOptions;

namespace {

const char* kHelp = R"(usage: qos_server [switches]
The QoS test server for loopback tests and scripts/run. Listens on 127.0.0.1,
prints its ports as one JSON line ({"control_port","tls","tcp_ports","udp_ports"})
and serves until SIGINT/SIGTERM or --max-seconds have passed.

    --tls                      serve the control port with TLS
    --tcp-ports N              TCP test ports opened at start (default 2)
    --udp-ports N              UDP test ports opened at start (default 2)
    --token-reply TEXT         answer to the token line (default OK)
    --refuse CMD               refuse a command (TCPTEST, UDPTEST, NTPTEST,
                               SIPTEST, VOIPTEST, "GET UDPRESULT",
                               "GET VOIPRESULT", ECHO or *); repeatable
    --silent WHERE             accept | greeting | token | commands
    --silent-test-connections  test connections never answer
    --test-reply-delay-ms N    wait before every answer on a test connection
    --crlf                     end every control line with CR-LF
    --test-crlf                end every line on test connections with CR-LF
    --reply-batch N            hold replies and send them N at a time, last first
    --in-order-batch           send held replies in their own order
    --duplicate-replies        send every tagged reply twice
    --extra-line TEXT          line sent before the first tagged reply; repeatable
    --reply-delay-ms N         wait before every tagged reply
    --close-mid-line WHERE     greeting | token | reply
    --long-line WHERE          greeting | reply | first-reply (the first tagged
                               reply itself is that long)
    --long-line-bytes N        length of that line (default 102400)
    --sip MODE                 normal | ringing-first | bye-ringing | silent-after-trying
    --udp-drop I               do not echo the I-th datagram of a UDP test; repeatable
    --udp-duplicate-first N    echo the first datagram N extra times
    --no-voip-stream           do not send an RTP stream back
    --max-seconds N            stop after N seconds (default 600)
    --verbose                  write every line read to standard error
    --help                     this text
)";

[[noreturn]] void usage(const std::string& problem) {
    std::cerr << "qos_server: " << problem << " (see qos_server --help)\n";
    std::exit(2);
}

template <class T>
T pick(const std::map<std::string, T>& choices, const std::string& value, const std::string& option) {
    auto it = choices.find(value);
    if (it == choices.end()) usage("bad value for " + option + ": " + value);
    return it->second;
}

long number(const std::string& text, const std::string& option) {
    try {
        std::size_t used = 0;
        const long value = std::stol(text, &used);
        if (used == text.size() && value >= 0) return value;
    } catch (const std::exception&) {
    }
    usage("bad number for " + option + ": " + text);
}

}  // namespace

int main(int argc, char** argv) {
    QosServerOptions options;
    long maxSeconds = 600;
    bool verbose = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) usage("missing value for " + arg);
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h") {
            std::cout << kHelp;
            return 0;
        } else if (arg == "--tls") options.tls = true;
        else if (arg == "--tcp-ports") options.tcpTestPorts = static_cast<int>(number(value(), arg));
        else if (arg == "--udp-ports") options.udpTestPorts = static_cast<int>(number(value(), arg));
        else if (arg == "--token-reply") options.tokenReply = value();
        else if (arg == "--refuse") options.refuse.insert(value());
        else if (arg == "--silent")
            options.silence = pick<QosServerOptions::Silence>({{"accept", QosServerOptions::Silence::AfterAccept},
                                                               {"greeting", QosServerOptions::Silence::AfterGreeting},
                                                               {"token", QosServerOptions::Silence::AfterToken},
                                                               {"commands", QosServerOptions::Silence::Commands}},
                                                              value(), arg);
        else if (arg == "--silent-test-connections") options.silentTestConnections = true;
        else if (arg == "--test-reply-delay-ms")
            options.testReplyDelay = std::chrono::milliseconds(number(value(), arg));
        else if (arg == "--crlf") options.crlf = true;
        else if (arg == "--test-crlf") options.testCrlf = true;
        else if (arg == "--reply-batch") options.replyBatch = static_cast<int>(number(value(), arg));
        else if (arg == "--in-order-batch") options.reverseBatch = false;
        else if (arg == "--duplicate-replies") options.duplicateReplies = true;
        else if (arg == "--extra-line") options.extraLinesBeforeReplies.push_back(value());
        else if (arg == "--reply-delay-ms") options.replyDelay = std::chrono::milliseconds(number(value(), arg));
        else if (arg == "--close-mid-line")
            options.closeMidLine =
                pick<QosServerOptions::CloseMidLine>({{"greeting", QosServerOptions::CloseMidLine::Greeting},
                                                      {"token", QosServerOptions::CloseMidLine::TokenReply},
                                                      {"reply", QosServerOptions::CloseMidLine::Reply}},
                                                     value(), arg);
        else if (arg == "--long-line")
            options.longLine = pick<QosServerOptions::LongLine>(
                {{"greeting", QosServerOptions::LongLine::Greeting},
                 {"reply", QosServerOptions::LongLine::Reply},
                 {"first-reply", QosServerOptions::LongLine::FirstReply}},
                value(), arg);
        else if (arg == "--long-line-bytes") options.longLineBytes = static_cast<std::size_t>(number(value(), arg));
        else if (arg == "--sip")
            options.sip = pick<QosServerOptions::Sip>({{"normal", QosServerOptions::Sip::Normal},
                                                       {"ringing-first", QosServerOptions::Sip::RingingFirst},
                                                       {"bye-ringing", QosServerOptions::Sip::ByeAnsweredWithRinging},
                                                       {"silent-after-trying", QosServerOptions::Sip::SilentAfterTrying}},
                                                      value(), arg);
        else if (arg == "--udp-drop") options.udpDropPackets.insert(static_cast<int>(number(value(), arg)));
        else if (arg == "--udp-duplicate-first") options.udpDuplicateFirst = static_cast<int>(number(value(), arg));
        else if (arg == "--no-voip-stream") options.voipSendStream = false;
        else if (arg == "--max-seconds") maxSeconds = number(value(), arg);
        else if (arg == "--verbose") verbose = true;
        else usage("unknown switch " + arg);
    }
    if (verbose) {
        options.onLine = [](const std::string& channel, const std::string& line) {
            std::cerr << "[" << channel << "] " << line << std::endl;
        };
    }

    // Block the stop signals before any thread starts, then wait for them here.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    QosServer server(options);
    try {
        server.start();
    } catch (const std::exception& e) {
        std::cerr << "qos_server: " << e.what() << "\n";
        return 1;
    }
    std::cout << server.portsJson() << std::endl;

    timespec limit{static_cast<time_t>(maxSeconds), 0};
    sigtimedwait(&signals, nullptr, &limit);
    server.stop();
    return 0;
}
