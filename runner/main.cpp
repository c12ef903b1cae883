// Entry point of the Lumivex agent: installs the console printers, creates
// the main window with the UI engine and runs the message loop until the UI
// closes it.

#include "FlutterWindow.h"

#include "helper/ConsoleOutput.h"
#include "tasks/MeasurementCallbacks.h"

#include <cstdlib>
#include <sstream>
#include <unistd.h>

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

// LUMIVEX_UI_SOCKET names the socket the UI connects to; by default one per
// user under /tmp.
std::string uiSocketPath() {
    if (const char* env = std::getenv("LUMIVEX_UI_SOCKET"); env && *env) return env;
    return "/tmp/lumivex-ui-" + std::to_string(::getuid()) + ".sock";
}

}  // namespace

int main(int argc, char** argv) {
    // The standard streams are already those of the starting console.
    DartProject project;
    project.assetsPath = "data/flutter_assets";
    project.icuDataPath = "data/icudtl.dat";
    project.aotLibraryPath = "data/app.so";
    // The program name is not among the UI's arguments.
    for (int i = 1; i < argc; ++i) project.entrypointArguments.emplace_back(argv[i]);
    project.uiSocketPath = uiSocketPath();

    logCallback = printKeyValue;
    errorLogCallback = printKeyValue;
    fullMeasurementCallback = printFullResult;
    intermediateMeasurementCallback = printIntermediateResult;
    errorCallback = printErrorCallbackToStdout;

    FlutterWindow window(project);
    if (!window.Create("KAVRO Lumivex", win32::Point{10, 10}, win32::Size{1200, 768})) return 1;
    window.SetQuitOnClose(true);
    win32::HeadlessWindow::RunMessageLoop();
    return 0;
}
