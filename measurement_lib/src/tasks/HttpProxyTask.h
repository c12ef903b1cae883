#pragma once
// The HTTP proxy check: fetches one URL with a GET through the agent's HTTP
// request layer, optionally asking for a byte range, and reports the status
// code, the body length, the response headers and the MD5 digest of the body.
// It needs no QoS control connection.

#include "tasks/BaseTask.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace Poco {
class Logger;
}

namespace trevask::measurement_library {

struct HttpProxyTaskResult;

class HttpProxyTask : public BaseTask {
public:
    static constexpr const char* kTypeKey = "HTTP_PROXY";
    // Time-out of the request; the configuration's own time-outs are not used.
    static constexpr std::uint32_t kRequestTimeoutMs = 10000;

    HttpProxyTask();
    ~HttpProxyTask() override;

    static std::unique_ptr<BaseTask> create(TaskConfiguration* configuration);
    static bool accepts(TaskConfiguration* configuration);

    // Throws TaskException or TaskTimeoutException when the request fails;
    // the task then holds no result.
    void doRunTask() override;
    // A copy of the result of a successful request with the common members
    // filled; none after a failed one.
    std::unique_ptr<TaskResult> createResult() override;

    // Lets tests use a shorter request time-out than kRequestTimeoutMs.
    void setRequestTimeoutMs(std::uint32_t timeoutMs) { requestTimeoutMs = timeoutMs; }

    // The MD5 digest of `data` as 32 lowercase hexadecimal digits.
    static std::string md5Hex(std::string_view data);

    // Logs under the name "HttpProxyTask".
    static Poco::Logger& logger();

private:
    std::unique_ptr<HttpProxyTaskResult> result;
    std::uint32_t requestTimeoutMs = kRequestTimeoutMs;
};

}  // namespace trevask::measurement_library
