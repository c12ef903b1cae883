#pragma once
// An engine on a fresh socket with its platform loop on a thread, and a UI
// client connected to it.

#include "platform/flutter/HeadlessEngine.h"
#include "platform/flutter/UiClient.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <unistd.h>

namespace bridge_test {

using namespace std::chrono_literals;

// A socket path in a directory only this user can enter (a UI refuses a
// socket in a directory others may write), made once per test program.
inline std::string freshSocketPath() {
    static std::atomic<int> counter{0};
    struct Dir {
        std::string path = "/tmp/lumivex-bridge-test-XXXXXX";
        Dir() {
            if (::mkdtemp(path.data()) == nullptr) path.clear();
        }
        ~Dir() {
            std::error_code ec;
            if (!path.empty()) std::filesystem::remove_all(path, ec);
        }
    };
    static const Dir dir;
    return dir.path + "/" + std::to_string(counter++) + ".sock";
}

class EngineFixture : public ::testing::Test {
protected:
    void SetUp() override {
        engine = std::make_unique<flutter::HeadlessEngine>(queue, freshSocketPath(), limits());
        ASSERT_TRUE(engine->Start());
        engine->SetQuitHandler([this] {
            quitRequests++;
        });
        loop = std::thread([this] { queue.Run(); });
    }
    virtual flutter::UiLimits limits() const { return {}; }
    void connect() { ASSERT_TRUE(ui.Connect(engine->socketPath(), 2s)); }
    // Runs a task on the platform thread and waits for it.
    template <typename F>
    void onPlatform(F&& f) {
        std::promise<void> done;
        queue.Post([&] {
            f();
            done.set_value();
        });
        done.get_future().wait_for(2s);
    }
    void TearDown() override {
        ui.Close();
        queue.PostQuit(0);
        if (loop.joinable()) loop.join();
        engine.reset();
    }

    win32::MessageQueue queue;
    std::unique_ptr<flutter::HeadlessEngine> engine;
    std::thread loop;
    flutter::UiClient ui;
    std::atomic<int> quitRequests{0};
};

inline flutter::EncodableValue map(std::initializer_list<std::pair<const char*, flutter::EncodableValue>> entries) {
    flutter::EncodableMap m;
    for (const auto& [k, v] : entries) m[flutter::EncodableValue(k)] = v;
    return flutter::EncodableValue(std::move(m));
}

}  // namespace bridge_test
