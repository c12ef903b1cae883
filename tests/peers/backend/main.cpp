// backend: the controller and collector stand-in as a process. Serves HTTP
// and HTTPS (self-signed) on 127.0.0.1, prints its ports as one JSON line on
// standard output and serves until SIGINT/SIGTERM or --max-seconds.
//
// The switches are listed in kHelp below (`backend --help`).

#include "BackendServer.h"
#include "BatteryDocument.h"

#include <cctype>
#include <csignal>
#include <cstdio>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

using lumivex::test::BackendServer;
namespace test = lumivex::test;

namespace {

volatile std::sig_atomic_t stopRequested = 0;
void onSignal(int) { stopRequested = 1; }

const char* kHelp = R"(usage: backend [switches]
The controller and collector stand-in for loopback tests and scripts/run.
Serves HTTP and HTTPS (self-signed) on 127.0.0.1, prints its ports as one JSON
line ({"http_port","https_port","collector_path"}) and serves until
SIGINT/SIGTERM or --max-seconds.

  --agent-uuid UUID            UUID that registration assigns
  --collector-service URL      collector address announced at registration
  --control-file PATH          body of the control-document answer
  --collector-uuids U,O        measurement and open-data UUID of the report answer
  --ip-address ADDRESS         address the UI's address echo reports
  --ui-body TEXT               body of every other UI answer (default: an echo)
  --misbehave ENDPOINT=KIND    ENDPOINT: registration | control | collector | ui;
                               KIND: close | silent | 500 | 500-no-data |
                               non-json | empty | slow | drip | endless |
                               huge | 404 | redirect-loop; repeatable
                               (drip: the answer one byte every
                               --drip-seconds; endless: a chunked body that
                               never ends; huge: a chunked body of
                               --huge-mib MiB; redirect-loop: 302 back to
                               the same URL)
  --drip-seconds N             seconds between two dripped bytes (1 to 3600,
                               default 1)
  --huge-mib N                 size of the huge body in MiB (1 to 4096,
                               default 64)
  --refuse                     close every connection at once
  --max-seconds N              stop after N seconds (1 to 86400, default 600)
  --verbose                    write every request to standard error

  A full measurement against the other loopback peers (the control document
  is then built here and --control-file cannot be given):
  --speed-server LINE          the port line speed_server printed: a SPEED task
  --qos-server LINE            the port line qos_server printed: a QOS task with
                               one objective of every kind
  --dns-query NAME:RECORD      a DNS objective (RECORD A or AAAA) for the
                               resolver the agent's system uses; repeatable
  --report-file PATH           write every report the collector receives to
                               PATH (replaced whole, before the answer goes out)
  --help                       this text
)";

[[noreturn]] void usage(const std::string& problem) {
    std::cerr << "backend: " << problem << " (see backend --help)\n";
    std::exit(2);
}

// A whole decimal number within [low, high]; anything else ends the peer.
long boundedNumber(const std::string& name, const std::string& text, long low, long high) {
    std::size_t used = 0;
    long number = 0;
    try {
        number = std::stol(text, &used, 10);
    } catch (const std::exception&) {
        used = 0;
    }
    if (text.empty() || used != text.size() || !std::isdigit(static_cast<unsigned char>(text.front())) ||
        number < low || number > high) {
        usage("bad " + name + " " + text + ": a whole number from " + std::to_string(low) + " to " +
              std::to_string(high) + " is needed");
    }
    return number;
}

// Replaces `path` whole: a reader never sees half a report.
void writeReport(const std::string& path, const std::string& body) {
    const std::string partial = path + ".partial";
    {
        std::ofstream out(partial, std::ios::binary | std::ios::trunc);
        out << body;
        if (!out.flush()) {
            std::cerr << "backend: cannot write " << partial << '\n';
            return;
        }
    }
    if (std::rename(partial.c_str(), path.c_str()) != 0) std::cerr << "backend: cannot write " << path << '\n';
}

}  // namespace

int main(int argc, char** argv) {
    std::map<std::string, BackendServer::Endpoint> endpoints{{"registration", BackendServer::Endpoint::Registration},
                                                             {"control", BackendServer::Endpoint::Control},
                                                             {"collector", BackendServer::Endpoint::Collector},
                                                             {"ui", BackendServer::Endpoint::Ui}};
    using M = BackendServer::Misbehaviour;
    std::map<std::string, M> kinds{{"close", M::Close},           {"silent", M::Silent},
                                   {"500", M::ServerError},       {"500-no-data", M::ServerErrorNoData},
                                   {"non-json", M::NonJson},      {"empty", M::EmptyBody},
                                   {"slow", M::Slow},             {"drip", M::Drip},
                                   {"endless", M::Endless},       {"huge", M::Huge},
                                   {"404", M::NotFound},          {"redirect-loop", M::RedirectLoop}};

    std::optional<std::string> agentUuid, collectorService, controlBody, measurementUuid, openDataUuid, reportedIp,
        uiBody;
    std::vector<std::pair<BackendServer::Endpoint, M>> misbehaviours;
    bool refuse = false, verbose = false;
    long maxSeconds = 600;
    long dripSeconds = 1;
    long hugeMib = 64;
    std::optional<test::BatterySpeedServer> speedServer;
    std::optional<test::BatteryQosServer> qosServer;
    std::vector<test::BatteryDnsQuery> dnsQueries;
    std::optional<std::string> reportFile;

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) usage("missing value for " + arg);
            std::string text = argv[++i];
            if (text.empty() && arg != "--ui-body") usage("empty value for " + arg);
            return text;
        };
        if (arg == "--help" || arg == "-h") {
            std::cout << kHelp;
            return 0;
        } else if (arg == "--agent-uuid") {
            agentUuid = value();
        } else if (arg == "--collector-service") {
            collectorService = value();
        } else if (arg == "--control-file") {
            const std::string path = value();
            std::ifstream in(path, std::ios::binary);
            if (!in) usage("cannot read " + path);
            std::ostringstream text;
            text << in.rdbuf();
            controlBody = text.str();
        } else if (arg == "--collector-uuids") {
            const std::string pair = value();
            const auto comma = pair.find(',');
            if (comma == std::string::npos || comma == 0 || comma + 1 == pair.size()) {
                usage("--collector-uuids needs U,O");
            }
            measurementUuid = pair.substr(0, comma);
            openDataUuid = pair.substr(comma + 1);
        } else if (arg == "--misbehave") {
            const std::string docShape = value();
            const auto eq = docShape.find('=');
            if (eq == std::string::npos) usage("--misbehave needs ENDPOINT=KIND");
            auto e = endpoints.find(docShape.substr(0, eq));
            auto k = kinds.find(docShape.substr(eq + 1));
            if (e == endpoints.end() || k == kinds.end()) usage("bad --misbehave " + docShape);
            misbehaviours.emplace_back(e->second, k->second);
        } else if (arg == "--ip-address") {
            reportedIp = value();
        } else if (arg == "--ui-body") {
            uiBody = value();
        } else if (arg == "--refuse") {
            refuse = true;
        } else if (arg == "--max-seconds") {
            maxSeconds = boundedNumber(arg, value(), 1, 86400);
        } else if (arg == "--drip-seconds") {
            dripSeconds = boundedNumber(arg, value(), 1, 3600);
        } else if (arg == "--huge-mib") {
            hugeMib = boundedNumber(arg, value(), 1, 4096);
        } else if (arg == "--verbose") {
            verbose = true;
        } else if (arg == "--speed-server" || arg == "--qos-server") {
            const std::string line = value();
            try {
                if (arg == "--speed-server") {
                    speedServer = test::speedServerFromPortLine(line);
                } else {
                    qosServer = test::qosServerFromPortLine(line);
                }
            } catch (const std::exception& e) {
                usage("bad " + arg + ": " + e.what());
            }
        } else if (arg == "--dns-query") {
            const std::string query = value();
            const auto colon = query.rfind(':');
            if (colon == std::string::npos || colon == 0 ||
                (query.substr(colon + 1) != "A" && query.substr(colon + 1) != "AAAA")) {
                usage("--dns-query needs NAME:A or NAME:AAAA");
            }
            dnsQueries.push_back({query.substr(0, colon), query.substr(colon + 1)});
        } else if (arg == "--report-file") {
            reportFile = value();
        } else {
            usage("unknown switch " + arg);
        }
    }

    const bool fullMeasurement = speedServer || qosServer;
    if (fullMeasurement && controlBody) usage("--control-file and --speed-server/--qos-server exclude each other");
    if (!dnsQueries.empty() && !qosServer) usage("--dns-query needs --qos-server");

    auto makeServer = [&](bool tls) {
        BackendServer::Options options;
        options.tls = tls;
        options.dripInterval = std::chrono::seconds(dripSeconds);
        options.hugeBytes = static_cast<std::size_t>(hugeMib) << 20;
        options.onRequest = [tls, verbose, reportFile](BackendServer::Endpoint endpoint,
                                                       const lumivex::test::RecordedRequest& r) {
            if (verbose) {
                std::ostringstream line;
                line << (tls ? "https " : "http ") << BackendServer::endpointName(endpoint) << ' ' << r.method << ' '
                     << r.target << " (" << r.body.size() << " bytes)\n";
                std::cerr << line.str() << std::flush;
            }
            if (reportFile && endpoint == BackendServer::Endpoint::Collector) writeReport(*reportFile, r.body);
        };
        auto server = std::make_unique<BackendServer>(options);
        if (agentUuid) server->setAgentUuid(*agentUuid, collectorService);
        if (controlBody) server->setControlDocument(*controlBody);
        if (measurementUuid) server->setCollectorUuids(*measurementUuid, *openDataUuid);
        for (auto [endpoint, kind] : misbehaviours) server->misbehave(endpoint, kind);
        server->setReportedIp(reportedIp);
        server->setUiBody(uiBody);
        server->refuseConnections(refuse);
        server->start();
        if (fullMeasurement) {
            // The document names this server's own collector and object.
            test::BatteryOptions document;
            document.collectorUrl = server->collectorUrl();
            document.speed = speedServer;
            document.qos = qosServer;
            document.dns = dnsQueries;
            document.httpObjectUrl = server->baseUrl() + test::kHttpObjectPath;
            server->serveObject(test::kHttpObjectPath, test::httpObjectBody());
            server->setControlDocument(test::batteryControlDocument(document));
        }
        return server;
    };

    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    std::signal(SIGPIPE, SIG_IGN);
    try {
        auto http = makeServer(false);
        auto https = makeServer(true);
        std::cout << "{\"http_port\":" << http->port() << ",\"https_port\":" << https->port()
                  << ",\"collector_path\":\"/collector/result\"}" << std::endl;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(maxSeconds);
        while (!stopRequested && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        https->stop();
        http->stop();
    } catch (const std::exception& e) {
        std::cerr << "backend: " << e.what() << '\n';
        return 1;
    }
    return 0;
}
