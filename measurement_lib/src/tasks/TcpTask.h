#pragma once
// The TCP port test: asks the QoS server over the run's control connection
// to listen on the configured port, connects to that port, sends "PING" and
// expects the same line back. The outcome ("OK", "ERROR", "TIMEOUT") becomes
// the status of the result record.

#include "QosControlConnection.h"
#include "tasks/BaseTask.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

namespace Poco {
class Logger;
}

namespace trevask::measurement_library {

// What a task waiting for the QoS server's consent shares with the reply
// callback; lives until both are done with it (a reply may come late).
struct ReplyWaitState {
    std::mutex mutex;
    std::condition_variable replied;
    bool received = false;
    bool ok = false;  // the reply was exactly "OK"
};

// The reply callback of consent requests: records that a reply arrived and
// whether it is exactly "OK" ("OK\r" is not), then wakes the waiting task.
QosResponseCallback okReplyHandler(std::shared_ptr<ReplyWaitState> state);

class TcpTask : public BaseTask {
public:
    static constexpr const char* kTypeKey = "TCP";

    TcpTask();

    static std::unique_ptr<BaseTask> create(TaskConfiguration* configuration);
    static bool accepts(TaskConfiguration* configuration);

    void doRunTask() override;
    std::unique_ptr<TaskResult> createResult() override;
    bool needsControlConnection() const override { return true; }

    // Logs under the name "TcpTask".
    static Poco::Logger& logger();

private:
    std::string resultInResponse;   // incoming tests are not supported: never written
    std::string resultOutResponse;  // the line read back on the test connection
    std::string resultIn;           // never written
    std::string resultOut;          // "OK", "ERROR", "TIMEOUT" or empty
};

}  // namespace trevask::measurement_library
