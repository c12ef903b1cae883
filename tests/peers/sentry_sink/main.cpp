// The crash-reporting sink as a process: prints {"port":N,"dsn":"..."} on one
// line, then one line per received envelope item, until standard input closes.
// Switches: --status CODE (answer status), --delay-ms N (delay before answering),
// --tls-cert FILE --tls-key FILE (serve HTTPS).

#include "SentrySink.h"

#include <boost/json/serialize.hpp>

#include <cstdlib>
#include <optional>
#include <iostream>
#include <string>
#include <thread>

namespace {

const char* kHelp = R"(usage: sentry_sink [switches]
The crash-reporting endpoint stand-in for tests. Listens on 127.0.0.1 (port
0), prints {"port":N,"dsn":"..."} on one line, then one line per envelope
item it receives ("TYPE JSON"), until its standard input closes.

  --status CODE      HTTP status of every answer, 100 to 599 (default 200)
  --delay-ms N       wait this long before answering, 0 to 600000
  --tls-cert FILE    serve HTTPS with this certificate (PEM) ...
  --tls-key FILE     ... and this key (PEM); both or neither
  --help             this text
)";

[[noreturn]] void usage(const std::string& problem) {
    std::cerr << "sentry_sink: " << problem << " (see sentry_sink --help)\n";
    std::exit(2);
}

long number(const std::string& text, const std::string& option, long low, long high) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos ||
        std::stol(text) < low || std::stol(text) > high) {
        usage("bad value for " + option + ": \"" + text + "\" (" + std::to_string(low) + " to " +
              std::to_string(high) + ")");
    }
    return std::stol(text);
}

}  // namespace

int main(int argc, char** argv) {
    lumivex::peers::SentrySinkOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string flag = argv[i];
        if (flag == "--help" || flag == "-h") {
            std::cout << kHelp;
            return 0;
        }
        const bool takesValue = flag == "--status" || flag == "--delay-ms" || flag == "--tls-cert" || flag == "--tls-key";
        if (!takesValue) usage("unknown switch " + flag);
        if (i + 1 >= argc) usage("missing value for " + flag);
        const std::string value = argv[++i];
        if (flag == "--status") options.status = static_cast<int>(number(value, flag, 100, 599));
        else if (flag == "--delay-ms") options.delay = std::chrono::milliseconds(number(value, flag, 0, 600000));
        else if (flag == "--tls-cert") options.tlsCertificate = value;
        else options.tlsKey = value;
    }
    if (options.tlsCertificate.empty() != options.tlsKey.empty()) usage("--tls-cert and --tls-key go together");
    std::optional<lumivex::peers::SentrySink> started;
    try {
        started.emplace(options);
    } catch (const std::exception& e) {
        std::cerr << "sentry_sink: cannot serve: " << e.what() << "\n";
        return 1;
    }
    lumivex::peers::SentrySink& sink = *started;
    std::cout << "{\"port\":" << sink.port() << ",\"dsn\":\"" << sink.dsn() << "\"}" << std::endl;
    std::size_t shown = 0;
    std::thread reporter([&] {
        for (;;) {
            sink.waitFor([&](const auto& all) { return all.size() > shown; }, std::chrono::milliseconds(200));
            auto all = sink.envelopes();
            for (; shown < all.size(); ++shown) {
                for (const auto& item : all[shown].items) {
                    std::cout << item.type << " " << boost::json::serialize(item.payload) << std::endl;
                }
            }
        }
    });
    reporter.detach();
    std::string line;
    while (std::getline(std::cin, line)) {
    }
    std::cout.flush();
    std::_Exit(0);  // the reporter thread is still waiting
}
