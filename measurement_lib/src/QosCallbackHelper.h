#pragma once
// Follows the progress of the QoS tasks of one run and publishes it through
// trevask::vela::qosProgressCallback. Speed-test task types are not QoS types.

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace trevask::vela {
struct QosProgressUpdate;
}

namespace trevask::measurement_library {

class QosCallbackHelper {
public:
    QosCallbackHelper();

    // Called for every task of the run before any task starts.
    void registerTask(const std::string& type);
    // Called right before a task starts; publishes an update for QoS types.
    void taskStarted(const std::string& type);
    // Called when a task's result has been collected; publishes an update
    // for registered QoS types.
    void taskFinished(const std::string& type);
    // Publishes the current progress when the run has QoS tasks and a
    // callback is installed.
    void notify();
    std::shared_ptr<vela::QosProgressUpdate> createUpdate();

private:
    std::map<std::string, std::uint16_t> registeredPerType;
    std::uint32_t totalCount = 0;
    std::map<std::string, std::uint16_t> finishedPerType;
    std::uint32_t finishedCount = 0;
    std::map<std::string, float> progressPerType;
    std::vector<std::string> qosTypes;
    std::set<std::string> finishedTypes;
    std::string state;
    std::set<std::string> excludedTypes;
};

}  // namespace trevask::measurement_library
