// Lines that concurrent tasks, the callback slots' printers and the console
// log channel write to standard output go out whole, never mixed.

#include <gtest/gtest.h>

#include <Poco/AutoPtr.h>
#include <Poco/Logger.h>

#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "helper/ConsoleLineChannel.h"
#include "helper/ConsoleOutput.h"
#include "model/result/TaskResult.h"
#include "tasks/BaseTask.h"
#include "tasks/MeasurementCallbacks.h"
#include "tasks/TaskException.h"

using namespace trevask::measurement_library;

namespace {

// A task whose body gives up waiting, as a QoS task does on a silent server.
class GivingUpTask : public BaseTask {
public:
    GivingUpTask() : BaseTask("UDP") {}
    void doRunTask() override { throw TaskTimeoutException("Timeout while sending UDP packets"); }
    std::unique_ptr<TaskResult> createResult() override { return nullptr; }
};

}  // namespace

TEST(ConsoleLines, ConcurrentWritersNeverMixTheirLines) {
    constexpr int kThreads = 8;
    constexpr int kRounds = 300;
    const std::map<std::string, int> expected = {
        {"TaskTimeoutException Timeout while sending UDP packets", kThreads * kRounds},
        {"progress: 0.5 of the run", kThreads * kRounds},
        {"Qos progress update! 0.25", kThreads * kRounds},
        {"console log channel line", kThreads * kRounds},
        {"a block of two lines", kThreads * kRounds},
        {"written as one", kThreads * kRounds},
    };

    Poco::Logger& logger = Poco::Logger::get("ConsoleLinesTest");
    logger.setChannel(Poco::AutoPtr<Poco::Channel>(new ConsoleLineChannel(false, std::cout)));
    logger.setLevel(Poco::Message::PRIO_INFORMATION);
    auto update = std::make_shared<trevask::vela::QosProgressUpdate>();
    update->progress = 0.25;

    testing::internal::CaptureStdout();
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                GivingUpTask task;
                task.runTask();
                trevask::vela::printKeyValue("progress", "0.5 of the run");
                trevask::vela::printQosProgressUpdate(update);
                poco_information(logger, "console log channel line");
                printLine("a block of two lines\nwritten as one");
            }
        });
    }
    for (auto& writer : writers) writer.join();
    const std::string printed = testing::internal::GetCapturedStdout();
    logger.setChannel(nullptr);

    std::map<std::string, int> seen;
    std::istringstream lines(printed);
    std::string line;
    int unexpected = 0;
    while (std::getline(lines, line)) {
        if (expected.count(line) == 0 && unexpected++ < 5) ADD_FAILURE() << "mixed line: \"" << line << '"';
        ++seen[line];
    }
    EXPECT_EQ(unexpected, 0);
    for (const auto& [text, count] : expected) EXPECT_EQ(seen[text], count) << text;
    // The two lines of one block stay together.
    std::size_t blocks = 0;
    const std::string block = "a block of two lines\nwritten as one\n";
    for (auto at = printed.find(block); at != std::string::npos; at = printed.find(block, at + block.size())) ++blocks;
    EXPECT_EQ(blocks, static_cast<std::size_t>(kThreads * kRounds));
}
