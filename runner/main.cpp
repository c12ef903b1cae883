// Entry point of the Lumivex agent: installs the console printers, creates
// the main window with the UI engine, runs the message loop until the
// window closes and then ends the process in order.

#include "FlutterWindow.h"

#include "ChannelShutdown.h"

#include "ExitStatus.h"
#include "LumivexVersion.h"
#include "helper/ConsoleOutput.h"
#include "platform/flutter/TerminationSignals.h"
#include "platform/flutter/UiSocket.h"
#include "tasks/MeasurementCallbacks.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>

namespace {

using namespace trevask::vela;

// Each printer writes one whole line: they are called from measurement
// threads while other threads print too.
void printFullResult(std::shared_ptr<FullMeasurementCallback>) {
    trevask::measurement_library::printLine("FULL RESULT");
}

void printIntermediateResult(const IntermediateMeasurementCallback& result) {
    std::ostringstream line;
    line << "getting intermediate result: " << result.downloadAverageMbps;
    trevask::measurement_library::printLine(line.str());
}

void printErrorCallbackToStdout(std::shared_ptr<ErrorCallback>) {
    trevask::measurement_library::printLine("ErrorCallback: received error");
}

constexpr const char* kHelp = R"(lumivex: the Lumivex network-measurement agent.

usage: lumivex [--help | --version] [--] [UI ARGUMENT...]

The agent has no window of its own: it serves its UI channels on a local
socket, and a UI process drives it from there, e.g. the command-line front
end lumivex-cli:
  lumivex &
  lumivex-cli measure --controller URL

The socket is private to the user (mode 0600). Its path is the value of
LUMIVEX_UI_SOCKET when set, else $XDG_RUNTIME_DIR/lumivex-ui.sock, else
/tmp/lumivex-<uid>/ui.sock (a 0700 directory). Here and now that is:
  )";

constexpr const char* kHelpEnd = R"(
A second agent on the same path refuses to start. The agent ends when its
UI quits or disconnects, or on SIGINT, SIGTERM or SIGHUP: a measurement
under way runs to its end and sends its report first; a second signal ends
it at once. Arguments after "--" (and any that do not start with "-") are
handed to the UI as its entry-point arguments.

The agent prints its log lines and console prints on standard output and
standard error; started on its own, keep them off the terminal with e.g.
  lumivex >lumivex.log 2>&1 &
)";

// How long the orderly end waits for the UI to take the outcome queued for
// it; a UI that stops taking bytes is dropped sooner by the engine itself.
constexpr std::chrono::milliseconds kDeliveryBound{10000};

// LUMIVEX_UI_SOCKET names the socket the UI connects to; by default it is
// private to the user (see UiSocket.h).
std::optional<std::string> uiSocketPath() {
    if (const char* env = std::getenv("LUMIVEX_UI_SOCKET"); env && *env) return std::string(env);
    std::string error;
    auto path = flutter::DefaultUiSocketPath(error);
    if (!path) std::cerr << error << std::endl;
    return path;
}

}  // namespace

int main(int argc, char** argv) {
    // A UI or server that goes away while we write to it is a failed write,
    // not the end of the process.
    std::signal(SIGPIPE, SIG_IGN);

    // The standard streams are already those of the starting console.
    DartProject project;
    project.assetsPath = "data/flutter_assets";
    project.icuDataPath = "data/icudtl.dat";
    project.aotLibraryPath = "data/app.so";
    // The program name is not among the UI's arguments. The agent reads no
    // options of its own but --help; an option it does not know is refused
    // rather than silently handed on, "--" hands on everything after it.
    bool handOn = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (!handOn && (argument == "--help" || argument == "-h")) {
            auto path = uiSocketPath();
            std::cout << kHelp << (path ? *path : std::string("(no usable path: see the error above)")) << "\n"
                      << kHelpEnd << "\n"
                      << lumivex::kExitStatusTable;
            return lumivex::kExitDone;
        }
        if (!handOn && argument == "--version") {
            std::cout << "lumivex: " << lumivex::versionText();
            return lumivex::kExitDone;
        }
        if (!handOn && argument == "--") {
            handOn = true;
            continue;
        }
        if (!handOn && argument.size() > 1 && argument[0] == '-') {
            std::cerr << "lumivex: unknown option " << argument << " (see lumivex --help)" << std::endl;
            return lumivex::kExitUsage;
        }
        project.entrypointArguments.push_back(argument);
    }
    auto socketPath = uiSocketPath();
    if (!socketPath) return lumivex::kExitNoAgent;
    project.uiSocketPath = *socketPath;

    logCallback = printKeyValue;
    errorLogCallback = printKeyValue;
    fullMeasurementCallback = printFullResult;
    intermediateMeasurementCallback = printIntermediateResult;
    errorCallback = printErrorCallbackToStdout;

    FlutterWindow window(project);
    if (!window.Create("KAVRO Lumivex", win32::Point{10, 10}, win32::Size{1200, 768})) return lumivex::kExitNoAgent;
    window.SetQuitOnClose(true);
    const flutter::HeadlessEngine::OrderlyEnd end = window.engine()->orderlyEnd();
    std::thread ending;
    {
        // SIGINT, SIGTERM and SIGHUP end the process in order: the
        // measurement under way runs to its end, its outcome reaches the UI,
        // then the UI and the window are closed. This runs off the watcher
        // thread, so that a second signal is still heard: it ends the
        // process at once.
        win32::TerminationSignals signals([&window, &ending, end](int signal, int count) {
            if (count > 1) {
                std::cerr << "signal " << signal << " again: exiting without waiting" << std::endl;
                end.RemoveSocketFiles();
                // Interrupted, in the shared exit-status table's terms.
                std::_Exit(signal == SIGINT ? lumivex::kExitInterrupted : lumivex::kExitTerminated);
            }
            try {
                ending = std::thread([&window, end] {
                    end.Begin();
                    trevask::endRunningWork();
                    end.CloseUi(kDeliveryBound);
                    window.Close();
                });
            } catch (const std::system_error& e) {
                // No thread to wait on: the UI goes now, the measurement
                // still ends before the process does.
                std::cerr << "cannot end in order: " << e.what() << std::endl;
                window.Close();
            }
        });
        win32::HeadlessWindow::RunMessageLoop();

        // The window is gone (it took the engine and the socket file with
        // it); what the channels started ends before anything it uses is
        // destroyed.
        window.Destroy();
        trevask::finishChannelWork();
    }
    // The watcher has been joined: nobody starts `ending` any more.
    if (ending.joinable()) ending.join();
    return 0;
}
