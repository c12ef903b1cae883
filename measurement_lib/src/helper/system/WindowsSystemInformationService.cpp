#include "helper/system/WindowsSystemInformationService.h"

#include "helper/ConsoleOutput.h"
#include "helper/SentryHelper.h"
#include "helper/system/NetworkTypeId.h"
#include "helper/system/WindowsSystemHelper.h"
#include "platform/system/NetworkStatus.h"
#include "platform/system/PerformanceCounters.h"

#include <cstdio>
#include <limits>

namespace trevask::measurement_library {

namespace {

constexpr const char* kMemoryCounter = "\\Memory\\% Committed Bytes In Use";
constexpr const char* kProcessorCounter = "\\Processor(_Total)\\% Processor Time";

std::chrono::steady_clock::time_point periodDeadline(std::int64_t periodMs) {
    auto now = std::chrono::steady_clock::now();
    if (periodMs <= 0) return now;
    auto limit = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::time_point::max() - now);
    if (periodMs >= limit.count()) return std::chrono::steady_clock::time_point::max();
    return now + std::chrono::milliseconds(periodMs);
}

}  // namespace

// ---- CollectInformationFunctor ----------------------------------------------------

CollectInformationFunctor::CollectInformationFunctor(std::int64_t periodMs, InformationCallbackFunction callback,
                                                     SamplerStop stop)
    : periodMs_(periodMs), callback_(std::move(callback)), stop_(stop) {}

CollectInformationFunctor::~CollectInformationFunctor() {
    if (query_ && query_->isOpen()) query_->close();
    if (stop_.running != nullptr) stop_.running->store(false);
}

std::pair<std::uint64_t, std::uint64_t> CollectInformationFunctor::getInterfaceOctets(std::int32_t index) {
    auto root = WindowsSystemHelper::systemRoot();
    auto name = lumivex::platform::interfaceNameForIndex(root, index);
    if (!name) return {0, 0};
    auto octets = lumivex::platform::interfaceOctets(root, *name);
    if (!octets) return {0, 0};
    return *octets;
}

std::optional<std::uint64_t> CollectInformationFunctor::counterDelta(std::uint64_t previous, std::uint64_t current) {
    if (previous == 0 || current < previous) return std::nullopt;
    return current - previous;
}

bool CollectInformationFunctor::sleepUntil(std::chrono::steady_clock::time_point deadline) {
    if (stop_.mutex == nullptr || stop_.wake == nullptr) {
        std::this_thread::sleep_until(deadline);
        return isRunning();
    }
    std::unique_lock lock(*stop_.mutex);
    stop_.wake->wait_until(lock, deadline, [this] { return !isRunning(); });
    return isRunning();
}

void CollectInformationFunctor::operator()() {
    auto transaction = SentryHelper::startTransaction("CollectInformationFunctor::operator()", "winInfoCollector");

    auto active = WindowsSystemHelper::getActiveNetworkInterface();
    printLine("Found active interface: " + active->name + " ; " + std::to_string(active->index));
    auto [prevTx, prevRx] = getInterfaceOctets(active->index);
    printLine("first in/out: rx=" + std::to_string(prevRx) + " tx=" + std::to_string(prevTx));

    auto span = SentryHelper::startSpan(transaction, "PdhOpenQuery", "open query");
    query_ = std::make_unique<lumivex::platform::PerformanceQuery>(WindowsSystemHelper::systemRoot());
    if (auto status = query_->open(); status != lumivex::platform::kPdhOk) {
        std::printf("\nPdhOpenQuery failed with status 0x%x.", status);
        std::fflush(stdout);
        query_->close();
        SentryHelper::setSpanData(span, "success", "false");
        SentryHelper::finishSpan(span);
        SentryHelper::finishTransaction(transaction);
        return;
    }
    SentryHelper::setSpanData(span, "success", "true");
    SentryHelper::finishSpan(span);

    lumivex::platform::PdhCounter memoryCounter = lumivex::platform::PdhCounter::None;
    lumivex::platform::PdhCounter processorCounter = lumivex::platform::PdhCounter::None;
    const std::pair<const char*, lumivex::platform::PdhCounter*> counters[] = {
        {"PdhAddEnglishCounterA__percentageMemoryPath", &memoryCounter},
        {"PdhAddEnglishCounterA__counterpath", &processorCounter}};
    const char* paths[] = {kMemoryCounter, kProcessorCounter};
    for (int i = 0; i < 2; ++i) {
        span = SentryHelper::startSpan(transaction, counters[i].first, "");
        auto status = query_->addEnglishCounter(paths[i], *counters[i].second);
        if (status != lumivex::platform::kPdhOk) {
            std::printf("\nPdhAddCounter failed with status 0x%x.", status);
            std::fflush(stdout);
        }
        SentryHelper::setSpanData(span, "success", status == lumivex::platform::kPdhOk ? "true" : "false");
        SentryHelper::finishSpan(span);
    }

    span = SentryHelper::startSpan(transaction, "PdhCollectQueryData", "collect query");
    if (auto status = query_->collect(); status != lumivex::platform::kPdhOk) {
        std::printf("\nPdhCollectQueryData failed with 0x%x.\n", status);
        std::fflush(stdout);
        query_->close();
        SentryHelper::setSpanData(span, "success", "false");
        SentryHelper::finishSpan(span);
        SentryHelper::finishTransaction(transaction);
        return;
    }
    SentryHelper::setSpanData(span, "success", "true");
    SentryHelper::finishSpan(span);

    auto loopSpan = SentryHelper::startSpan(transaction, "InfoCollectorLoop", "");
    auto finishAll = [&] {
        SentryHelper::finishSpan(loopSpan);
        query_->close();
        SentryHelper::finishTransaction(transaction);
    };
    try {
        while (isRunning()) {
            // Stopping wakes the sleep, so stop() does not wait out a period.
            if (!sleepUntil(periodDeadline(periodMs_))) break;
            if (query_->collect() != lumivex::platform::kPdhOk) continue;

            auto sample = std::make_shared<InformationCallback>();
            CpuRamInformation cpuRam;
            double value = 0;
            if (auto status = query_->formattedValue(processorCounter, value); status == lumivex::platform::kPdhOk) {
                cpuRam.cpuUsage = static_cast<float>(value / 100.0);
            } else {
                std::printf("\nPdhGetFormattedCounterValue failed with status 0x%x.", status);
                std::fflush(stdout);
            }
            if (auto status = query_->formattedValue(memoryCounter, value); status == lumivex::platform::kPdhOk) {
                cpuRam.ramUsage = static_cast<float>(value / 100.0);
            } else {
                std::printf("\nPdhGetFormattedCounterValue failed with status 0x%x.", status);
                std::fflush(stdout);
            }
            sample->cpuRam = cpuRam;

            TrafficInformation traffic;
            auto root = WindowsSystemHelper::systemRoot();
            std::uint64_t tx = 0;
            std::uint64_t rx = 0;
            auto name = lumivex::platform::interfaceNameForIndex(root, active->index);
            auto octets = name ? lumivex::platform::interfaceOctets(root, *name) : std::nullopt;
            if (octets) {
                tx = octets->first;
                rx = octets->second;
                traffic.rxBytes = counterDelta(prevRx, rx);
                traffic.txBytes = counterDelta(prevTx, tx);
            }
            prevRx = rx;
            prevTx = tx;
            sample->traffic = traffic;

            int type = WindowsSystemHelper::getCurrentNetworkType();
            sample->networkTypeId = type;
            sample->technology = networkTechnology(type);

            if (isRunning() && callback_) callback_(sample);
        }
    } catch (...) {
        finishAll();
        throw;
    }
    finishAll();
    auto [lastTx, lastRx] = getInterfaceOctets(active->index);
    printLine("last in/out: rx=" + std::to_string(lastRx) + " tx=" + std::to_string(lastTx));
}

// ---- WindowsSystemInformationService -------------------------------------------------

WindowsSystemInformationService::~WindowsSystemInformationService() { stop(); }

void WindowsSystemInformationService::start(InformationCallbackFunction callback, std::uint64_t periodMs) {
    std::lock_guard lifecycle(lifecycleMutex_);
    if (running_.load()) return;
    running_.store(true);
    callback_ = std::move(callback);
    auto period = static_cast<std::int64_t>(std::min<std::uint64_t>(periodMs, std::numeric_limits<std::int64_t>::max()));
    functor_ = std::make_unique<CollectInformationFunctor>(
        period, [this](std::shared_ptr<InformationCallback> sample) { onInformation(std::move(sample)); },
        SamplerStop{&running_, &wakeMutex_, &wake_});
    CollectInformationFunctor* functor = functor_.get();
    loop_ = std::async(std::launch::async, [functor] { (*functor)(); });
}

void WindowsSystemInformationService::stop() {
    std::lock_guard lifecycle(lifecycleMutex_);
    {
        std::lock_guard lock(wakeMutex_);
        running_.exchange(false);
    }
    wake_.notify_all();
    if (loop_.valid()) loop_.wait();
    functor_.reset();
}

void WindowsSystemInformationService::onInformation(std::shared_ptr<InformationCallback> sample) {
    if (!sample) return;
    {
        std::lock_guard lock(latestMutex_);
        latest_ = sample;
    }
    if (callback_) callback_(sample);
}

std::shared_ptr<InformationCallback> WindowsSystemInformationService::latestSample() const {
    std::lock_guard lock(latestMutex_);
    return latest_;
}

}  // namespace trevask::measurement_library
