#include "FlutterWindow.h"

#include "SentryChannel.h"
#include "SystemChannel.h"
#include "VelaChannel.h"

#include <iostream>

namespace {

// The desktop plugins the UI bundle was built with. Their libraries are not
// part of the headless engine; each is still asked for by name, so the
// order of start-up stays that of the desktop agent.
void RegisterPlugins(flutter::HeadlessEngine*) {
    for (const char* plugin :
         {"GeolocatorWindows", "PermissionHandlerWindowsPlugin", "UrlLauncherWindows", "WindowSizePlugin"}) {
        (void)plugin;
    }
}

}  // namespace

FlutterWindow::FlutterWindow(DartProject project) : project_(std::move(project)) {}

FlutterWindow::~FlutterWindow() {
    // The base destructor cannot reach our OnDestroy any more.
    engine_.reset();
}

bool FlutterWindow::OnCreate() {
    if (!HeadlessWindow::OnCreate()) return false;
    engine_ = std::make_unique<flutter::HeadlessEngine>(win32::MainQueue(), project_.uiSocketPath);
    if (!engine_->Start()) {
        engine_.reset();
        return false;
    }
    // The UI asking to quit, or going away, closes the window.
    engine_->SetQuitHandler([this] { Close(); });
    RegisterPlugins(engine_.get());
    std::cout << "Calling init" << std::endl;
    trevask::registerVelaChannels(engine_.get());
    // The history, map, information-collector, settings, certified-measurement,
    // monthly-measurements and news-entry channels are not part of this
    // build yet; calls to them are answered "not implemented".
    trevask::registerSystemChannel(engine_.get());
    trevask::registerSentryChannel(engine_.get());
    std::cout << "UI socket: " << project_.uiSocketPath << std::endl;
    return true;
}

void FlutterWindow::OnDestroy() {
    // The engine stops before the window goes.
    engine_.reset();
}
