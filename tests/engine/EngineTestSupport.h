#pragma once
// Helpers of the engine tests: a task whose body and result a test scripts,
// a capture of one class logger's lines, a counter of crash reports and a
// recorder of QoS progress updates.

#include "helper/SentryHelper.h"
#include "model/QosTaskConfigurations.h"
#include "model/TaskConfiguration.h"
#include "model/result/TaskResult.h"
#include "platform/sentry/SentryClient.h"
#include "tasks/BaseTask.h"
#include "tasks/MeasurementCallbacks.h"

#include <Poco/AutoPtr.h>
#include <Poco/Channel.h>
#include <Poco/Logger.h>
#include <Poco/Message.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace engine_test {

using namespace trevask::measurement_library;

// A task whose body, set-up, clean-up and result a test chooses.
class ScriptedTask : public BaseTask {
public:
    explicit ScriptedTask(const std::string& typeKey, std::function<void(ScriptedTask&)> body = {})
        : BaseTask(typeKey), body(std::move(body)) {}

    std::function<void(ScriptedTask&)> body;
    std::function<void()> onInitialize;
    std::function<void()> onTearDown;
    std::function<void()> onCreateResult;  // may throw
    bool needsConnection = false;
    std::atomic<bool> bodyRan{false};

    void setStatus(TaskStatus s) { status = s; }

    void doRunTask() override {
        bodyRan = true;
        if (body) body(*this);
    }
    void initializeTaskType() override {
        if (onInitialize) onInitialize();
    }
    void tearDownTaskType() override {
        if (onTearDown) onTearDown();
    }
    std::unique_ptr<TaskResult> createResult() override {
        if (onCreateResult) onCreateResult();
        auto result = std::make_unique<TaskResult>();
        fillResult(result.get());
        return result;
    }
    bool needsControlConnection() const override { return needsConnection; }
};

// Owns configurations for the length of a test.
class Configurations {
public:
    TaskConfiguration* add(std::uint32_t group, std::string uid, std::string type = "test") {
        auto c = std::make_unique<TaskConfiguration>(std::move(type));
        c->concurrency_group = group;
        c->qos_test_uid = std::move(uid);
        items.push_back(std::move(c));
        return items.back().get();
    }
    TcpTaskConfiguration* addTcp(std::uint32_t group, std::string uid, std::string outPort, std::string serverAddr,
                                 std::string timeoutNs) {
        auto c = std::make_unique<TcpTaskConfiguration>();
        c->qostest = "tcp";
        c->concurrency_group = group;
        c->qos_test_uid = std::move(uid);
        c->out_port = std::move(outPort);
        c->server_addr = std::move(serverAddr);
        c->timeout = std::move(timeoutNs);
        auto* raw = c.get();
        items.push_back(std::move(c));
        return raw;
    }

private:
    std::vector<std::unique_ptr<TaskConfiguration>> items;
};

// Collects the lines of one class logger (at information level and above)
// for the length of a test.
class LogCapture {
public:
    explicit LogCapture(const std::string& loggerName)
        : logger(Poco::Logger::get(loggerName)), savedChannel(logger.getChannel()), savedLevel(logger.getLevel()) {
        Poco::Channel::Ptr sink(new Sink(*this));
        logger.setChannel(sink);
        logger.setLevel(Poco::Message::PRIO_INFORMATION);
    }
    ~LogCapture() {
        logger.setChannel(savedChannel);
        logger.setLevel(savedLevel);
    }
    std::vector<std::string> lines() const {
        std::lock_guard lock(mutex);
        return captured;
    }
    std::size_t count(const std::string& text) const {
        std::size_t n = 0;
        for (const auto& line : lines())
            if (line.find(text) != std::string::npos) ++n;
        return n;
    }

private:
    class Sink : public Poco::Channel {
    public:
        explicit Sink(LogCapture& owner) : owner(owner) {}
        void log(const Poco::Message& message) override {
            std::lock_guard lock(owner.mutex);
            owner.captured.push_back(message.getText());
        }

    private:
        LogCapture& owner;
    };

    Poco::Logger& logger;
    Poco::Channel::Ptr savedChannel;
    int savedLevel;
    mutable std::mutex mutex;
    std::vector<std::string> captured;
};

// Counts the crash reports whose text contains a marker. The reporter is
// started once per test process without a DSN: envelopes are built (and
// seen here) but sent nowhere.
class CrashReports {
public:
    CrashReports() {
        if (!SentryHelper::isEnabled()) SentryHelper::initialize("", "engine-test-agent", false);
        lumivex::platform::sentry::setEnvelopeObserver([this](const std::string& envelope) {
            std::lock_guard lock(mutex);
            envelopes.push_back(envelope);
        });
    }
    ~CrashReports() { lumivex::platform::sentry::setEnvelopeObserver(nullptr); }

    std::size_t count(const std::string& marker) const {
        std::lock_guard lock(mutex);
        std::size_t n = 0;
        for (const auto& e : envelopes)
            if (e.find("\"type\":\"event\"") != std::string::npos && e.find(marker) != std::string::npos) ++n;
        return n;
    }

    // Every event report so far.
    std::size_t total() const { return count(""); }

private:
    mutable std::mutex mutex;
    std::vector<std::string> envelopes;
};

// Records every QoS progress update for the length of a test.
class QosProgressRecorder {
public:
    QosProgressRecorder() : saved(trevask::vela::qosProgressCallback.get()) {
        trevask::vela::qosProgressCallback = [this](std::shared_ptr<trevask::vela::QosProgressUpdate> u) {
            std::lock_guard lock(mutex);
            recorded.push_back(*u);
        };
    }
    ~QosProgressRecorder() { trevask::vela::qosProgressCallback.set(saved); }
    std::vector<trevask::vela::QosProgressUpdate> updates() const {
        std::lock_guard lock(mutex);
        return recorded;
    }

private:
    decltype(trevask::vela::qosProgressCallback)::Function saved;
    mutable std::mutex mutex;
    std::vector<trevask::vela::QosProgressUpdate> recorded;
};

}  // namespace engine_test
