#include "FlutterWindow.h"

#include "CertifiedMeasurementChannel.h"
#include "HistoryChannels.h"
#include "InformationCollectorChannel.h"
#include "MapChannel.h"
#include "SentryChannel.h"
#include "SystemChannel.h"
#include "VelaChannel.h"

#include "platform/flutter/DesktopPlugins.h"

#include <iostream>

// The desktop plugins the UI bundle was built with, in the order they are
// registered: each gets the registrar of its name.
void RegisterPlugins(flutter::HeadlessEngine* registry) {
    struct Plugin {
        const char* name;
        void (*registerWithRegistrar)(flutter::PluginRegistrar*);
    };
    static constexpr Plugin kPlugins[] = {
        {"GeolocatorWindows", flutter::GeolocatorWindowsRegisterWithRegistrar},
        {"PermissionHandlerWindowsPlugin", flutter::PermissionHandlerWindowsPluginRegisterWithRegistrar},
        {"UrlLauncherWindows", flutter::UrlLauncherWindowsRegisterWithRegistrar},
        {"WindowSizePlugin", flutter::WindowSizePluginRegisterWithRegistrar},
    };
    for (const Plugin& plugin : kPlugins) plugin.registerWithRegistrar(registry->GetRegistrarForPlugin(plugin.name));
}

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
    trevask::registerHistoryChannel(engine_.get());
    trevask::registerMapChannel(engine_.get());
    trevask::registerInformationCollectorChannels(engine_.get());
    trevask::registerSettingsChannel(engine_.get());
    trevask::registerCertifiedMeasurementChannel(engine_.get());
    trevask::registerSystemChannel(engine_.get());
    trevask::registerMonthlyMeasurementsChannel(engine_.get());
    trevask::registerSentryChannel(engine_.get());
    trevask::registerNewsEntryChannel(engine_.get());
    std::cout << "UI socket: " << project_.uiSocketPath << std::endl;
    return true;
}

void FlutterWindow::OnDestroy() {
    // The engine stops before the window goes; its socket file goes with it.
    engine_.reset();
}
