#include "platform/flutter/DesktopPlugins.h"

namespace flutter {

// Nothing of these plugins runs on the native side of this port: they
// hold no state and set no channel.
void GeolocatorWindowsRegisterWithRegistrar(PluginRegistrar*) {}
void PermissionHandlerWindowsPluginRegisterWithRegistrar(PluginRegistrar*) {}
void UrlLauncherWindowsRegisterWithRegistrar(PluginRegistrar*) {}
void WindowSizePluginRegisterWithRegistrar(PluginRegistrar*) {}

}  // namespace flutter
