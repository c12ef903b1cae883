#pragma once
// The DNS test: resolves one host name through c-ares with the machine's own
// name servers and reports whether the lookup completed, the completion
// status as a response-code name, the addresses found with their TTLs and
// how long the lookup took. Needs no QoS control connection. The resolver
// library is prepared and released once per run through the task-type hooks.

#include "model/result/DnsTracerouteTaskResults.h"
#include "tasks/BaseTask.h"

#include <cstdint>
#include <memory>
#include <string>

struct ares_addrinfo;

namespace Poco {
class Logger;
}

namespace trevask::measurement_library {

// The response-code name of a c-ares completion status: "NOERROR",
// "FORMERR", "SERVFAIL", "NXDOMAIN", "NOTIMP", "REFUSED", otherwise
// "UNKNOWN_CODE" (time-outs and transport failures included).
std::string dnsRcodeName(int status);

class DnsTask : public BaseTask {
public:
    static constexpr const char* kTypeKey = "DNS";

    // What the task shares with the completion callback during one lookup.
    // The callback runs on the thread that drives the channel, so no lock.
    struct LookupState {
        bool completed = false;
        int status = -1;
        ares_addrinfo* answer = nullptr;  // owned
        std::int64_t completionNs = 0;    // monotonic

        LookupState() = default;
        LookupState(const LookupState&) = delete;
        LookupState& operator=(const LookupState&) = delete;
        ~LookupState();
        void reset();
    };

    DnsTask();
    ~DnsTask() override;

    static std::unique_ptr<BaseTask> create(TaskConfiguration* configuration);
    static bool accepts(TaskConfiguration* configuration);

    void doRunTask() override;
    // Initialises c-ares under a process-wide lock; throws
    // std::runtime_error "Ares library initialization failed".
    void initializeTaskType() override;
    void tearDownTaskType() override;
    // No result when the lookup never got to build one.
    std::unique_ptr<TaskResult> createResult() override;

    // The completion callback handed to c-ares; `arg` is the LookupState.
    static void onAddrInfo(void* arg, int status, int timeouts, ares_addrinfo* result);

    // The per-try time-out handed to c-ares: whole milliseconds of the
    // configured nanoseconds, kept within 0 .. INT_MAX.
    static int perTryTimeoutMs(long long timeoutNs);

    // Logs under the name "DnsTask".
    static Poco::Logger& logger();

private:
    std::unique_ptr<DnsTaskResult> lookupResult;
    std::int64_t lookupStart = 0;
};

}  // namespace trevask::measurement_library
