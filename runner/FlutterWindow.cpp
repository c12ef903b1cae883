#include "FlutterWindow.h"

#include "CertifiedMeasurementChannel.h"
#include "HistoryChannels.h"
#include "InformationCollectorChannel.h"
#include "MapChannel.h"
#include "SentryChannel.h"
#include "SystemChannel.h"
#include "VelaChannel.h"

#include "platform/flutter/DesktopPlugins.h"

#include <cstdint>
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

namespace {

// True for well-formed UTF-8: no overlong forms, no surrogates, nothing
// beyond U+10FFFF.
bool isUtf8(const std::string& text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
        const unsigned char c = *p;
        std::size_t n;
        std::uint32_t cp;
        if (c < 0x80) {
            ++p;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            n = 1;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            n = 2;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            n = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (static_cast<std::size_t>(end - p) <= n) return false;
        for (std::size_t i = 1; i <= n; ++i) {
            if ((p[i] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (p[i] & 0x3F);
        }
        static constexpr std::uint32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kLeast[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        p += n + 1;
    }
    return true;
}

}  // namespace

std::vector<std::string> EntrypointArgumentsForUi(const std::vector<std::string>& arguments) {
    std::vector<std::string> out;
    out.reserve(arguments.size());
    for (const auto& a : arguments) out.push_back(isUtf8(a) ? a : std::string());
    return out;
}

FlutterWindow::FlutterWindow(DartProject project) : project_(std::move(project)) {}

FlutterWindow::~FlutterWindow() {
    // The base destructor cannot reach our OnDestroy any more.
    engine_.reset();
}

bool FlutterWindow::OnCreate() {
    if (!HeadlessWindow::OnCreate()) return false;
    engine_ = std::make_unique<flutter::HeadlessEngine>(win32::MainQueue(), project_.uiSocketPath);
    engine_->SetEntrypointArguments(EntrypointArgumentsForUi(project_.entrypointArguments));
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
