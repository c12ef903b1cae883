#include <gtest/gtest.h>

#include "ClientLog.h"
#include "MemoryLogLayer.h"

#include <thread>
#include <vector>

using namespace vela_client;

namespace {

LogEvent event(LogLevel level, std::string message)
{
    LogEvent e;
    e.level = level;
    e.name = "event src/runner.rs:12";
    e.target = "client";
    e.module_path = "client::runner";
    e.file = "src/runner.rs";
    e.line = 12;
    e.fields.push_back({"message", std::move(message)});
    return e;
}

}  // namespace

TEST(MemoryLogLayer, KeepsEventsAtOrAboveThreshold)
{
    MemoryLogLayer layer(2);  // verbosity 2
    layer.on_event(event(LogLevel::Debug, "hidden"));
    layer.on_event(event(LogLevel::Info, "shown"));
    layer.on_event(event(LogLevel::Error, "failed"));
    const auto events = layer.events()->snapshot();
    ASSERT_EQ(events.size(), 2U);
    EXPECT_EQ(events[0],
              "{\"metadata\":{\"name\":\"event src/runner.rs:12\",\"target\":\"client\",\"level\":\"INFO\","
              "\"module_path\":\"client::runner\",\"file\":\"src/runner.rs\",\"line\":12,"
              "\"fields\":[\"message\"],\"is_span\":false,\"is_event\":true},\"message\":\"shown\"}");
    EXPECT_NE(events[1].find("\"level\":\"ERROR\""), std::string::npos);
}

TEST(MemoryLogLayer, ThresholdComparesLowThirtyTwoBits)
{
    struct Case {
        std::uint32_t verbosity;
        std::size_t kept;  // of one event per level
    };
    for (const Case tc : {Case{0, 1}, Case{2, 3}, Case{4, 5}, Case{5, 0}}) {
        MemoryLogLayer layer(4U - tc.verbosity);
        for (auto level : {LogLevel::Trace, LogLevel::Debug, LogLevel::Info, LogLevel::Warn, LogLevel::Error}) {
            layer.on_event(event(level, "x"));
        }
        EXPECT_EQ(layer.events()->size(), tc.kept) << "verbosity " << tc.verbosity;
    }
    // Only the low 32 bits of a 64-bit threshold count.
    MemoryLogLayer wide((std::uint64_t{1} << 32) | 2U);
    wide.on_event(event(LogLevel::Info, "x"));
    EXPECT_EQ(wide.events()->size(), 1U);
}

TEST(MemoryLogLayer, FieldsKeepTheirKindsAndAbsentMetadataIsNull)
{
    MemoryLogLayer layer(0);
    LogEvent e;
    e.level = LogLevel::Warn;
    e.name = "event";
    e.target = "protocol";
    e.fields = {{"message", std::string("a\nb")},
                {"bytes", std::uint64_t{18446744073709551615ULL}},
                {"delta", std::int64_t{-3}},
                {"rate", 0.5},
                {"nan", 0.0 / 0.0},
                {"ok", true}};
    layer.on_event(e);
    const auto events = layer.events()->snapshot();
    ASSERT_EQ(events.size(), 1U);
    EXPECT_EQ(events[0],
              "{\"metadata\":{\"name\":\"event\",\"target\":\"protocol\",\"level\":\"WARN\",\"module_path\":null,"
              "\"file\":null,\"line\":null,\"fields\":[\"message\",\"bytes\",\"delta\",\"rate\",\"nan\",\"ok\"],"
              "\"is_span\":false,\"is_event\":true},\"message\":\"a\\nb\",\"bytes\":18446744073709551615,"
              "\"delta\":-3,\"rate\":0.5,\"nan\":null,\"ok\":true}");
}

TEST(MemoryLogLayer, RingKeepsOnlyTheNewestEvents)
{
    MemoryLogLayer layer(0, 3);
    for (int i = 0; i < 5; ++i) {
        layer.on_event(event(LogLevel::Info, std::to_string(i)));
    }
    const auto events = layer.events()->snapshot();
    ASSERT_EQ(events.size(), 3U);
    EXPECT_NE(events.front().find("\"message\":\"2\""), std::string::npos);
    EXPECT_NE(events.back().find("\"message\":\"4\""), std::string::npos);
    EXPECT_EQ(layer.events()->dropped(), 2U);
    EXPECT_EQ(MemoryLogLayer(0).events()->capacity(), 10'000U);
}

TEST(MemoryLogLayer, ConcurrentEmittersLoseNothingBelowCapacity)
{
    MemoryLogLayer layer(0, 100'000);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&layer] {
            for (int i = 0; i < 1000; ++i) {
                layer.on_event(event(LogLevel::Debug, "m"));
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(layer.events()->size(), 4000U);
}

// The process-wide subscriber: the first capture installed keeps every
// event of every client; a later one stays empty.
TEST(ClientLogCapture, FirstInstalledCaptureReceivesAllEvents)
{
    log_event(LogLevel::Error, "client", "before any capture");  // goes nowhere

    auto first = install_client_log_capture(2);
    auto second = install_client_log_capture(4);
    ASSERT_TRUE(log_subscriber_set());

    log_event(LogLevel::Debug, "client", "debug text");
    log_event(LogLevel::Info, "protocol", "[abc1234] reply", {{"bytes", std::uint64_t{42}}});

    const auto events = first->snapshot();
    ASSERT_EQ(events.size(), 1U);
    EXPECT_NE(events[0].find("\"target\":\"protocol\",\"level\":\"INFO\""), std::string::npos);
    EXPECT_NE(events[0].find("\"fields\":[\"message\",\"bytes\"]"), std::string::npos);
    EXPECT_NE(events[0].find("\"message\":\"[abc1234] reply\",\"bytes\":42}"), std::string::npos);
    EXPECT_NE(events[0].find("log_capture_test.cpp"), std::string::npos);
    EXPECT_EQ(second->size(), 0U);
}
