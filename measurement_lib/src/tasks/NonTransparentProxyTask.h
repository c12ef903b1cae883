#pragma once
// The non-transparent proxy check: asks the QoS server over the run's control
// connection to echo on a port, connects to that port, sends the configured
// request line and compares the line that comes back with it. The same line
// means the path passed the request unchanged (OK); another line or none
// means something on the way interfered (ERROR).

#include "tasks/BaseTask.h"

#include <memory>
#include <string>

namespace Poco {
class Logger;
}

namespace trevask::measurement_library {

class NonTransparentProxyTask : public BaseTask {
public:
    static constexpr const char* kTypeKey = "NON_TRANSPARENT_PROXY";

    NonTransparentProxyTask();

    static std::unique_ptr<BaseTask> create(TaskConfiguration* configuration);
    static bool accepts(TaskConfiguration* configuration);

    void doRunTask() override;
    std::unique_ptr<TaskResult> createResult() override;
    bool needsControlConnection() const override { return true; }

    // Logs under the name "NonTransparentProxyTask".
    static Poco::Logger& logger();

private:
    std::string proxyResponse;  // the line read back on the test connection
};

}  // namespace trevask::measurement_library
