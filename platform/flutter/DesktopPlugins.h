#pragma once
// The desktop plugins the UI bundle is built with (geolocation, permissions,
// opening links, window size). The UI runs in another process here and
// serves these itself; each plugin still registers with the engine under
// its name, so start-up keeps the desktop agent's order and a registrar is
// asked for every plugin.

#include "platform/flutter/HeadlessEngine.h"

namespace flutter {

void GeolocatorWindowsRegisterWithRegistrar(PluginRegistrar* registrar);
void PermissionHandlerWindowsPluginRegisterWithRegistrar(PluginRegistrar* registrar);
void UrlLauncherWindowsRegisterWithRegistrar(PluginRegistrar* registrar);
void WindowSizePluginRegisterWithRegistrar(PluginRegistrar* registrar);

}  // namespace flutter
