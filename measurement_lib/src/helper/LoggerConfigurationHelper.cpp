#include "helper/LoggerConfigurationHelper.h"

#include "helper/ConsoleLineChannel.h"
#include "helper/ConsoleOutput.h"
#include "helper/SentryHelper.h"
#include "helper/SentryLogChannel.h"
#include "service/MeasurementExecutorSettings.h"

#include <Poco/AutoPtr.h>
#include <Poco/FileChannel.h>
#include <Poco/FormattingChannel.h>
#include <Poco/Logger.h>
#include <Poco/PatternFormatter.h>
#include <Poco/SimpleFileChannel.h>
#include <Poco/SplitterChannel.h>

namespace trevask::measurement_library {

namespace {

constexpr const char* kLogPattern = "%Y-%m-%d %H:%M:%S.%i %s (%I) [%p]: %t";

// Sets a file channel's property; a refused value is reported and the
// channel keeps its default.
void trySetProperty(Poco::Channel& channel, const char* name, const std::string& value) {
    if (value.empty()) return;
    try {
        channel.setProperty(name, value);
    } catch (const std::exception& e) {
        SentryHelper::captureException(e);
        printErrorLine(std::string("could not set ") + name + " " + value + "\n" + e.what());
    }
}

Poco::AutoPtr<Poco::Channel> fileChannel(Poco::AutoPtr<Poco::Channel> channel, const LogChannelConfiguration& entry) {
    trySetProperty(*channel, "path", entry.path);
    trySetProperty(*channel, "rotation", entry.rotation);
    return channel;
}

}  // namespace

void LoggerConfigurationHelper::initializeLogger(const MeasurementExecutorSettings* settings) {
    Poco::AutoPtr<Poco::SplitterChannel> splitter(new Poco::SplitterChannel);
    if (settings != nullptr && !settings->logChannels.empty()) {
        for (const auto& entry : settings->logChannels) {
            if (entry.type == "ColorConsoleChannel") {
                splitter->addChannel(Poco::AutoPtr<Poco::Channel>(new ConsoleLineChannel(true)));
            } else if (entry.type == "ConsoleChannel") {
                splitter->addChannel(Poco::AutoPtr<Poco::Channel>(new ConsoleLineChannel));
            } else if (entry.type == "SimpleFileChannel") {
                splitter->addChannel(fileChannel(Poco::AutoPtr<Poco::Channel>(new Poco::SimpleFileChannel), entry));
            } else if (entry.type == "FileChannel") {
                splitter->addChannel(fileChannel(Poco::AutoPtr<Poco::Channel>(new Poco::FileChannel), entry));
            }
        }
    } else {
        splitter->addChannel(Poco::AutoPtr<Poco::Channel>(new ConsoleLineChannel));
    }
    splitter->addChannel(Poco::AutoPtr<Poco::Channel>(new SentryLogChannel));

    Poco::Logger& root = Poco::Logger::root();
    if (settings != nullptr && settings->useLogPattern) {
        Poco::AutoPtr<Poco::PatternFormatter> formatter(new Poco::PatternFormatter);
        formatter->setProperty("pattern", kLogPattern);
        root.setChannel(Poco::AutoPtr<Poco::Channel>(new Poco::FormattingChannel(formatter, splitter)));
    } else {
        root.setChannel(splitter);
    }
    if (settings != nullptr) root.setLevel(settings->logLevel);
}

}  // namespace trevask::measurement_library
