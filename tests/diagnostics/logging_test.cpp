// The root logger's output as the measurement settings configure it.

#include "FreshFolder.h"
#include "helper/LoggerConfigurationHelper.h"
#include "helper/SentryHelper.h"
#include "platform/sentry/SentryClient.h"
#include "service/MeasurementExecutorSettings.h"

#include "JsonCompare.h"
#include "SentrySink.h"

#include <gtest/gtest.h>

#include <Poco/FormattingChannel.h>
#include <Poco/Logger.h>
#include <Poco/PatternFormatter.h>
#include <Poco/SplitterChannel.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

using trevask::measurement_library::LogChannelConfiguration;
using trevask::measurement_library::LoggerConfigurationHelper;
using trevask::measurement_library::MeasurementExecutorSettings;
using trevask::measurement_library::SentryHelper;
using lumivex::peers::SentrySink;
using namespace std::chrono_literals;
using diagnostics_test::freshFolder;

namespace {

// The splitter behind the root logger and, when there is one, the formatter.
struct RootShape {
    Poco::SplitterChannel* splitter = nullptr;
    Poco::FormattingChannel* formatting = nullptr;
};

RootShape rootShape() {
    RootShape shape;
    Poco::Channel::Ptr channel = Poco::Logger::root().getChannel();
    shape.formatting = dynamic_cast<Poco::FormattingChannel*>(channel.get());
    if (shape.formatting != nullptr) channel = shape.formatting->getChannel();
    shape.splitter = dynamic_cast<Poco::SplitterChannel*>(channel.get());
    return shape;
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

TEST(LoggerConfiguration, ShapesOfTheRootChannel) {
    Poco::Logger::root().setLevel(Poco::Message::PRIO_WARNING);
    LoggerConfigurationHelper::initializeLogger(nullptr);
    auto shape = rootShape();
    EXPECT_EQ(shape.formatting, nullptr);
    ASSERT_NE(shape.splitter, nullptr);
    EXPECT_EQ(shape.splitter->count(), 2);  // console + breadcrumbs
    EXPECT_EQ(Poco::Logger::root().getLevel(), Poco::Message::PRIO_WARNING);  // unchanged without settings

    struct Case {
        std::vector<std::string> types;
        bool pattern;
        int level;
        int channels;
    } cases[] = {
        {{}, true, 7, 2},                                           // defaults
        {{"Console", "consolechannel", "Syslog"}, true, 6, 1},      // nothing known: breadcrumbs only
        {{"ConsoleChannel", "ConsoleChannel"}, false, 3, 3},        // the same type twice
        {{"ColorConsoleChannel", "ConsoleChannel"}, true, 8, 3},
    };
    for (const auto& c : cases) {
        MeasurementExecutorSettings settings;
        for (const auto& type : c.types) settings.logChannels.push_back({type, "", ""});
        settings.useLogPattern = c.pattern;
        settings.logLevel = c.level;
        LoggerConfigurationHelper::initializeLogger(&settings);
        auto s = rootShape();
        ASSERT_NE(s.splitter, nullptr);
        EXPECT_EQ(s.splitter->count(), c.channels);
        EXPECT_EQ(s.formatting != nullptr, c.pattern);
        if (s.formatting != nullptr) {
            EXPECT_EQ(s.formatting->getFormatter()->getProperty("pattern"), "%Y-%m-%d %H:%M:%S.%i %s (%I) [%p]: %t");
        }
        EXPECT_EQ(Poco::Logger::root().getLevel(), c.level);
    }
    MeasurementExecutorSettings defaults;
    EXPECT_TRUE(defaults.useLogPattern);
    EXPECT_EQ(defaults.logLevel, 7);
    EXPECT_TRUE(defaults.logChannels.empty());
}

TEST(LoggerConfiguration, FileChannelsWritePatternedLines) {
    auto folder = freshFolder("log", "files");
    MeasurementExecutorSettings settings;
    settings.logChannels = {{"SimpleFileChannel", (folder / "simple.log").string(), ""},
                            {"FileChannel", (folder / "rotating.log").string(), "1 M"}};
    LoggerConfigurationHelper::initializeLogger(&settings);
    // A logger created after the configuration writes through it.
    Poco::Logger& logger = Poco::Logger::get("LoggingTestFiles");
    logger.information("hello files");
    logger.debug("debug passes at level 7");
    logger.trace("trace does not");
    std::regex line(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} LoggingTestFiles \(\d+\) \[Information\]: hello files)");
    for (const char* name : {"simple.log", "rotating.log"}) {
        std::string text = readFile(folder / name);
        EXPECT_TRUE(std::regex_search(text, line)) << name << ":\n" << text;
        EXPECT_NE(text.find("[Debug]: debug passes at level 7"), std::string::npos) << name;
        EXPECT_EQ(text.find("trace does not"), std::string::npos) << name;
    }
}

TEST(LoggerConfiguration, RefusedPropertyIsReportedAndTheChannelStillAdded) {
    SentrySink sink;
    SentryHelper::initialize(sink.dsn(), "agent-1", false);
    auto folder = freshFolder("log", "refused");
    MeasurementExecutorSettings settings;
    settings.logChannels = {{"FileChannel", (folder / "a.log").string(), "every blue moon"}};
    ::testing::internal::CaptureStderr();
    LoggerConfigurationHelper::initializeLogger(&settings);
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("could not set rotation every blue moon\n"), std::string::npos) << err;
    auto shape = rootShape();
    ASSERT_NE(shape.splitter, nullptr);
    EXPECT_EQ(shape.splitter->count(), 2);
    ASSERT_TRUE(sink.waitForItems("event", 1, 5000ms));
    SentryHelper::close();
}

TEST(LoggerConfiguration, EveryMessageBecomesABreadcrumb) {
    SentrySink sink;
    SentryHelper::initialize(sink.dsn(), "agent-1", false);
    MeasurementExecutorSettings settings;
    LoggerConfigurationHelper::initializeLogger(&settings);
    Poco::Logger& logger = Poco::Logger::get("LoggingTestCrumbs");
    logger.information("first crumb");
    logger.warning("second crumb");
    SentryHelper::captureException(std::runtime_error("with crumbs"));
    ASSERT_TRUE(sink.waitForItems("event", 1, 5000ms));
    auto event = sink.items("event").back().payload;
    const auto& crumbs = event.at("breadcrumbs").at("values").as_array();
    std::vector<std::pair<std::string, std::string>> seen;
    for (const auto& crumb : crumbs) {
        seen.emplace_back(std::string(crumb.at("message").as_string()), std::string(crumb.at("level").as_string()));
        EXPECT_EQ(crumb.at("category"), "log");
    }
    // Behind the pattern formatter the breadcrumb holds the formatted line.
    auto has = [&](const std::string& message, const char* level) {
        return std::any_of(seen.begin(), seen.end(), [&](const auto& crumb) {
            return crumb.second == level && crumb.first.size() >= message.size() &&
                   crumb.first.compare(crumb.first.size() - message.size(), message.size(), message) == 0 &&
                   crumb.first.find("LoggingTestCrumbs") != std::string::npos;
        });
    };
    EXPECT_TRUE(has("first crumb", "info"));
    EXPECT_TRUE(has("second crumb", "warning"));
    SentryHelper::close();
}
