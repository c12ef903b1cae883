#include "QosCallbackHelper.h"

#include "tasks/MeasurementCallbacks.h"

#include <algorithm>
#include <cctype>
#include <locale>
#include <mutex>

namespace trevask::measurement_library {

namespace {

// Guards every helper's members and the call of the progress callback; taken
// again on the same thread while an update is built.
std::recursive_mutex& progressLock() {
    static std::recursive_mutex m;
    return m;
}

std::string upperKey(const std::string& type) {
    std::string key = type;
    std::locale loc;
    for (auto& c : key) c = std::toupper(c, loc);
    return key;
}

}  // namespace

QosCallbackHelper::QosCallbackHelper()
    : state("NOT_STARTED"), excludedTypes{"VELA", "NATIVE_VELA", "SPRINT"} {}

void QosCallbackHelper::registerTask(const std::string& type) {
    const std::string key = upperKey(type);
    std::lock_guard lock(progressLock());
    if (excludedTypes.count(key)) return;
    auto it = registeredPerType.find(key);
    if (it != registeredPerType.end()) {
        ++it->second;
    } else {
        registeredPerType[key] = 1;
        progressPerType[key] = 0.0f;
    }
    ++totalCount;
    if (std::find(qosTypes.begin(), qosTypes.end(), type) == qosTypes.end()) qosTypes.push_back(type);
    state = "NOT_STARTED";
}

void QosCallbackHelper::taskStarted(const std::string& type) {
    const std::string key = upperKey(type);
    {
        std::lock_guard lock(progressLock());
        if (excludedTypes.count(key)) return;
        state = "QOS_RUNNING";
    }
    notify();
}

void QosCallbackHelper::taskFinished(const std::string& type) {
    const std::string key = upperKey(type);
    {
        std::lock_guard lock(progressLock());
        if (excludedTypes.count(key)) return;
        auto registered = registeredPerType.find(key);
        if (registered == registeredPerType.end()) return;
        const std::uint16_t finished = ++finishedPerType[key];
        progressPerType[key] = static_cast<float>(finished) / static_cast<float>(registered->second);
        if (finished == registered->second) finishedTypes.insert(key);
        ++finishedCount;
    }
    notify();
}

void QosCallbackHelper::notify() {
    std::lock_guard lock(progressLock());
    auto callback = vela::qosProgressCallback.get();
    if (!callback || qosTypes.empty()) return;
    callback(createUpdate());
}

std::shared_ptr<vela::QosProgressUpdate> QosCallbackHelper::createUpdate() {
    std::lock_guard lock(progressLock());
    auto update = std::make_shared<vela::QosProgressUpdate>();
    update->qos_test_state = state;
    // No registered QoS task: nothing finished out of nothing is 0, not NaN.
    update->progress = totalCount == 0
                           ? 0.0
                           : static_cast<double>(static_cast<float>(finishedCount) / static_cast<float>(totalCount));
    update->started_qos_types = qosTypes;
    update->finished_qos_types.assign(finishedTypes.begin(), finishedTypes.end());
    update->qos_type_to_progress = progressPerType;
    return update;
}

}  // namespace trevask::measurement_library
