// qos_exit_probe: a process that returns from main while the callback of a
// QoS reply is still running and logging. Exit must wait for that callback
// before the loggers are torn down: the callback's last line is printed and
// the process ends cleanly (under the sanitizers: no use after free).
//
// Prints to standard error: "callback started", a stream of "late reply N"
// lines and "callback done" from the callback; exits 0, or 3 when the
// control connection could not be set up.

#include "QosControlConnection.h"
#include "QosServer.h"
#include "helper/ConsoleLineChannel.h"

#include <Poco/AutoPtr.h>
#include <Poco/Logger.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

int main() {
    using namespace std::chrono_literals;
    using trevask::measurement_library::ConsoleLineChannel;
    using trevask::measurement_library::QosControlConnection;

    Poco::Logger::root().setChannel(Poco::AutoPtr<Poco::Channel>(new ConsoleLineChannel));
    Poco::Logger::root().setLevel(Poco::Message::PRIO_WARNING);
    // As the library's classes do: the logger looked up once and kept.
    Poco::Logger& probeLogger = Poco::Logger::get("QosExitProbe");

    auto started = std::make_shared<std::atomic<bool>>(false);
    {
        lumivex::test_peers::QosServer server;
        server.start();
        QosControlConnection control("127.0.0.1", server.controlPort(), false, "TOKEN exit-probe", 2s);
        if (!control.connect()) return 3;
        control.sendRequest("ECHO late", "1", [started, &probeLogger](std::string, std::string) {
            poco_warning(probeLogger, "callback started");
            started->store(true);
            // Still logging while main returns and the process exits.
            const auto until = std::chrono::steady_clock::now() + 400ms;
            for (int i = 0; std::chrono::steady_clock::now() < until; ++i) {
                poco_warning(probeLogger, "late reply " + std::to_string(i));
                std::this_thread::sleep_for(1ms);
            }
            poco_warning(probeLogger, "callback done");
        });
        const auto limit = std::chrono::steady_clock::now() + 5s;
        while (!started->load() && std::chrono::steady_clock::now() < limit) std::this_thread::sleep_for(1ms);
    }
    return 0;
}
