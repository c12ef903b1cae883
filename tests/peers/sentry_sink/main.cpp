// The crash-reporting sink as a process: prints {"port":N,"dsn":"..."} on one
// line, then one line per received envelope item, until standard input closes.
// Switches: --status CODE (answer status), --delay-ms N (delay before answering),
// --tls-cert FILE --tls-key FILE (serve HTTPS).

#include "SentrySink.h"

#include <boost/json/serialize.hpp>

#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>

int main(int argc, char** argv) {
    lumivex::peers::SentrySinkOptions options;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string flag = argv[i];
        if (flag == "--status") options.status = std::atoi(argv[i + 1]);
        else if (flag == "--delay-ms") options.delay = std::chrono::milliseconds(std::atoi(argv[i + 1]));
        else if (flag == "--tls-cert") options.tlsCertificate = argv[i + 1];
        else if (flag == "--tls-key") options.tlsKey = argv[i + 1];
    }
    lumivex::peers::SentrySink sink(options);
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
