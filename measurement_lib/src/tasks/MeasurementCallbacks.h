#pragma once
// The process-wide callback slots through which the measurement library
// reports to its host (progress, errors, QoS progress, log lines), and the
// records they carry.
//
// Each slot starts with a built-in default. Slots are replaced while other
// threads may call them, so every slot is guarded: callers copy the function
// under the slot's lock and call it outside the lock.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace trevask::vela {

// One progress snapshot of the speed test.
struct IntermediateMeasurementCallback {
    double downloadAverageMbps = 0;
    double uploadAverageMbps = 0;
    double rttAverageMilliseconds = 0;
    bool isPretest = false;
    std::string currentPhase;
    float phaseProgress = 0;
    float totalProgress = 0;
    std::int32_t numPhases = 0;
    std::int32_t currentPhaseNum = 0;
    double rttNanoseconds = 0;
    double downloadBps = 0;
    double uploadBps = 0;
    std::string serverName;
    std::string serverLocation;
    std::string providerName;
    std::string agentPublicIp;
};

// One error report of a measurement; the speed test reports client errors
// with code 8.
struct ErrorCallback {
    ErrorCallback() = default;
    ErrorCallback(std::string message, std::int32_t code) : message(std::move(message)), code(code) {}
    std::string message;
    std::int32_t code = 0;
};

// The record of the full-result slot; nothing builds one.
struct FullMeasurementCallback {};

// One progress snapshot of the QoS tests of a run.
struct QosProgressUpdate {
    std::string qos_test_state;
    double progress = 0;
    std::vector<std::string> started_qos_types;
    std::vector<std::string> finished_qos_types;
    std::map<std::string, float> qos_type_to_progress;
};

// A function slot that may be replaced while other threads call it.
template <typename Signature>
class CallbackSlot;

template <typename R, typename... Args>
class CallbackSlot<R(Args...)> {
public:
    using Function = std::function<R(Args...)>;

    explicit CallbackSlot(Function initial) : fn_(std::move(initial)) {}
    CallbackSlot(const CallbackSlot&) = delete;
    CallbackSlot& operator=(const CallbackSlot&) = delete;

    void set(Function f) {
        std::lock_guard lock(mutex_);
        fn_.swap(f);
    }
    CallbackSlot& operator=(Function f) {
        set(std::move(f));
        return *this;
    }
    // Removes the current function and returns it; the slot is left empty.
    Function take() {
        std::lock_guard lock(mutex_);
        Function out;
        out.swap(fn_);
        return out;
    }
    Function get() const {
        std::lock_guard lock(mutex_);
        return fn_;
    }
    explicit operator bool() const {
        std::lock_guard lock(mutex_);
        return static_cast<bool>(fn_);
    }
    // Calls the current function outside the lock. Calling an empty slot
    // throws std::bad_function_call, like calling an empty std::function.
    R operator()(Args... args) const {
        Function f = get();
        return f(std::forward<Args>(args)...);
    }

private:
    mutable std::mutex mutex_;
    Function fn_;
};

using LogFunction = void(const std::string&, std::string&&);

// Writes key, ": ", value and a line end to standard output.
void printKeyValue(const std::string& key, std::string&& value);
// The same line on standard error.
void printKeyValueToStderr(const std::string& key, std::string&& value);
void printErrorCallback(std::shared_ptr<ErrorCallback> error);
void printQosProgressUpdate(std::shared_ptr<QosProgressUpdate> update);

extern CallbackSlot<LogFunction> logCallback;
extern CallbackSlot<LogFunction> errorLogCallback;
extern CallbackSlot<void(const IntermediateMeasurementCallback&)> intermediateMeasurementCallback;
extern CallbackSlot<void(std::shared_ptr<FullMeasurementCallback>)> fullMeasurementCallback;
extern CallbackSlot<void(std::shared_ptr<ErrorCallback>)> errorCallback;
extern CallbackSlot<void(std::shared_ptr<QosProgressUpdate>)> qosProgressCallback;

}  // namespace trevask::vela
