#pragma once
// The main window: hosts the UI engine and registers the channels when it
// is created.

#include "platform/flutter/HeadlessEngine.h"
#include "platform/flutter/HeadlessWindow.h"

#include <memory>
#include <string>
#include <vector>

// What the engine is started with: the UI bundle's paths, the socket the UI
// connects to, and the arguments handed to the UI's entry point.
struct DartProject {
    std::string assetsPath;
    std::string icuDataPath;
    std::string aotLibraryPath;
    std::string entrypoint;
    std::vector<std::string> entrypointArguments;
    std::string uiSocketPath;
};

// The arguments as the UI's entry point gets them: the UI reads UTF-8, so
// an argument that is not well-formed UTF-8 becomes an empty text.
std::vector<std::string> EntrypointArgumentsForUi(const std::vector<std::string>& arguments);

// Asks the registry for each desktop plugin's registrar and registers the
// plugin with it.
void RegisterPlugins(flutter::HeadlessEngine* registry);

class FlutterWindow : public win32::HeadlessWindow {
public:
    explicit FlutterWindow(DartProject project);
    ~FlutterWindow() override;

    // The engine while the window exists; null before Create and after Destroy.
    flutter::HeadlessEngine* engine() const { return engine_.get(); }

protected:
    bool OnCreate() override;
    void OnDestroy() override;

private:
    DartProject project_;
    std::unique_ptr<flutter::HeadlessEngine> engine_;
};
