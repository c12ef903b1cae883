// The main window in process: creating it asks for the four plugins'
// registrars and registers the channel groups in their order; destroying it
// stops the engine and removes the socket file.

#include "AgentHarness.h"

#include "FlutterWindow.h"

#include "platform/flutter/HeadlessWindow.h"

using namespace bridge_test;

namespace {

TEST(MainWindow, RegistersThePluginsThenTheChannelGroupsInOrder) {
    PrivateDir dir;
    DartProject project;
    project.uiSocketPath = dir.file("ui.sock");
    FlutterWindow window(project);
    ASSERT_TRUE(window.Create("KAVRO Lumivex", win32::Point{10, 10}, win32::Size{1200, 768}));
    ASSERT_NE(window.engine(), nullptr);
    EXPECT_EQ(window.engine()->pluginRegistrationOrder(),
              (std::vector<std::string>{"GeolocatorWindows", "PermissionHandlerWindowsPlugin", "UrlLauncherWindows",
                                        "WindowSizePlugin"}));
    const std::string p = "at.trevask.lumivex/";
    EXPECT_EQ(window.engine()->channelRegistrationOrder(),
              (std::vector<std::string>{
                  p + "vela-results/intermediate", p + "vela-results/measurement-status", p + "vela-results/qos",
                  p + "vela", p + "history", p + "map", p + "informationCollector",
                  p + "informationCollector/stream", p + "settings", p + "certified-measurement", p + "system",
                  p + "monthly-measurements", p + "sentry", p + "news-entry"}));
    EXPECT_TRUE(exists(project.uiSocketPath));
    window.Destroy();
    EXPECT_EQ(window.engine(), nullptr);
    EXPECT_FALSE(exists(project.uiSocketPath));
    EXPECT_FALSE(exists(project.uiSocketPath + ".lock"));
}

}  // namespace
