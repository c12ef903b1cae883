#include "tasks/DnsTask.h"

#include "helper/ConsoleOutput.h"
#include "model/QosTaskConfigurations.h"
#include "tasks/StandardConversions.h"
#include "tasks/TaskClock.h"
#include "tasks/TaskException.h"

#include <Poco/Logger.h>

#include <ares.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <vector>

namespace trevask::measurement_library {

namespace {

// Serialises the library's process-wide set-up and release.
std::mutex& libraryLock() {
    static std::mutex lock;
    return lock;
}

// Upper bound of one wait in the event loop. c-ares always names its next
// time-out while a query is pending; the bound only keeps a wait finite
// should it ever not.
constexpr int kMaxPollWaitMs = 1000;

// Destroys the channel when the lookup ends, also on an exception. Pending
// queries are completed with ARES_EDESTRUCTION through the callback, so the
// lookup state must outlive this guard.
struct ChannelGuard {
    ares_channel channel = nullptr;
    ~ChannelGuard() {
        if (channel != nullptr) ares_destroy(channel);
    }
};

std::string addressText(const sockaddr* address) {
    char text[INET6_ADDRSTRLEN] = {};
    if (address == nullptr) return {};
    if (address->sa_family == AF_INET) {
        const auto* in4 = reinterpret_cast<const sockaddr_in*>(address);
        if (inet_ntop(AF_INET, &in4->sin_addr, text, sizeof text) == nullptr) return {};
    } else if (address->sa_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(address);
        if (inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text) == nullptr) return {};
    } else {
        return {};
    }
    return text;
}

int addressFamilyFor(const std::optional<std::string>& record) {
    if (record && *record == "A") return AF_INET;
    if (record && *record == "AAAA") return AF_INET6;
    return AF_UNSPEC;
}

// Drives the channel until it has no more sockets to wait on, or until the
// deadline (false then): waits for the sockets c-ares names (poll, so
// descriptor numbers are not limited to FD_SETSIZE) with its next time-out
// as limit, then lets it process what is ready and what has expired.
bool runEventLoop(ares_channel channel, std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return false;
        ares_socket_t sockets[ARES_GETSOCK_MAXNUM];
        const int mask = ares_getsock(channel, sockets, ARES_GETSOCK_MAXNUM);
        std::vector<pollfd> waits;
        for (int i = 0; i < ARES_GETSOCK_MAXNUM; ++i) {
            const bool readable = ARES_GETSOCK_READABLE(mask, i);
            const bool writable = ARES_GETSOCK_WRITABLE(mask, i);
            if (!readable && !writable) continue;
            pollfd wait{};
            wait.fd = sockets[i];
            wait.events = static_cast<short>((readable ? POLLIN : 0) | (writable ? POLLOUT : 0));
            waits.push_back(wait);
        }
        if (waits.empty()) return true;

        timeval next{};
        int waitMs = kMaxPollWaitMs;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
        if (left < waitMs) waitMs = static_cast<int>(left);
        if (const timeval* limit = ares_timeout(channel, nullptr, &next); limit != nullptr) {
            const long long ms = static_cast<long long>(limit->tv_sec) * 1000 + (limit->tv_usec + 999) / 1000;
            if (ms < waitMs) waitMs = static_cast<int>(ms < 0 ? 0 : ms);
        }

        const int ready = ::poll(waits.data(), waits.size(), waitMs);
        if (ready < 0) {
            if (errno == EINTR) continue;
            throw TaskException(std::string("waiting for the DNS answer failed: ") + std::strerror(errno));
        }
        if (ready == 0) {
            ares_process_fd(channel, ARES_SOCKET_BAD, ARES_SOCKET_BAD);
            continue;
        }
        for (const pollfd& wait : waits) {
            const bool canRead = (wait.revents & (POLLIN | POLLERR | POLLHUP)) != 0;
            const bool canWrite = (wait.revents & POLLOUT) != 0;
            if (!canRead && !canWrite) continue;
            ares_process_fd(channel, canRead ? wait.fd : ARES_SOCKET_BAD, canWrite ? wait.fd : ARES_SOCKET_BAD);
        }
    }
}

}  // namespace

Poco::Logger& DnsTask::logger() {
    static Poco::Logger& instance = Poco::Logger::get("DnsTask");
    return instance;
}

std::string dnsRcodeName(int status) {
    // The names are the DNS response codes that the library's statuses stand
    // for. A name that exists without records of the asked family comes back
    // as ARES_ENODATA; on the wire that is NOERROR with an empty answer.
    switch (status) {
        case ARES_SUCCESS: return "NOERROR";
        case ARES_ENODATA: return "NOERROR";
        case ARES_EFORMERR: return "FORMERR";
        case ARES_ESERVFAIL: return "SERVFAIL";
        case ARES_ENOTFOUND: return "NXDOMAIN";
        case ARES_ENOTIMP: return "NOTIMP";
        case ARES_EREFUSED: return "REFUSED";
        default: return "UNKNOWN_CODE";
    }
}

DnsTask::LookupState::~LookupState() { reset(); }

void DnsTask::LookupState::reset() {
    if (answer != nullptr) ares_freeaddrinfo(answer);
    answer = nullptr;
    completed = false;
    status = -1;
    completionNs = 0;
}

DnsTask::DnsTask() : BaseTask(kTypeKey) {}

DnsTask::~DnsTask() = default;

std::unique_ptr<BaseTask> DnsTask::create(TaskConfiguration* configuration) {
    auto task = std::make_unique<DnsTask>();
    task->setConfiguration(configuration);
    return task;
}

bool DnsTask::accepts(TaskConfiguration* configuration) {
    return dynamic_cast<DnsTaskConfiguration*>(configuration) != nullptr;
}

void DnsTask::initializeTaskType() {
    std::lock_guard lock(libraryLock());
    if (ares_library_init(ARES_LIB_INIT_ALL) != ARES_SUCCESS) {
        throw std::runtime_error("Ares library initialization failed");
    }
}

void DnsTask::tearDownTaskType() {
    std::lock_guard lock(libraryLock());
    ares_library_cleanup();
}

int DnsTask::perTryTimeoutMs(long long timeoutNs) {
    const long long ms = timeoutNs / 1000000;
    if (ms <= 0) return 0;
    if (ms > INT_MAX) return INT_MAX;
    return static_cast<int>(ms);
}

void DnsTask::onAddrInfo(void* arg, int status, int /*timeouts*/, ares_addrinfo* result) {
    auto* state = static_cast<LookupState*>(arg);
    state->completionNs = monotonicNowNs();
    state->status = status;
    state->completed = true;
    if (state->answer != nullptr) ares_freeaddrinfo(state->answer);
    state->answer = result;
}

void DnsTask::doRunTask() {
    if (configuration == nullptr) throw TaskException("No configuration provided");
    auto* config = dynamic_cast<DnsTaskConfiguration*>(configuration);
    if (config == nullptr) throw TaskException("Configuration is not a DNS Task configuration");

    const long long timeoutNs = parseStoll(config->timeout);

    ares_options options{};
    options.timeout = perTryTimeoutMs(timeoutNs);
    LookupState state;  // declared before the channel: destroying it may call back
    ChannelGuard guard;
    if (const int rc = ares_init_options(&guard.channel, &options, ARES_OPT_TIMEOUTMS); rc != ARES_SUCCESS) {
        guard.channel = nullptr;
        printLine(std::string("ares_init_options: ") + ares_strerror(rc));
        throw TaskException("could not initialize options");
    }

    ares_addrinfo_hints hints{};
    hints.ai_flags = 0;
    hints.ai_socktype = 0;
    hints.ai_protocol = 0;
    hints.ai_family = addressFamilyFor(config->record);

    state.reset();
    lookupStart = monotonicNowNs();
    // The time-out bounds the whole lookup, not only each try: retries and
    // further name servers of the system's configuration end there too.
    const auto deadline = taskDeadline(std::chrono::steady_clock::now(), std::chrono::nanoseconds(timeoutNs));
    ares_getaddrinfo(guard.channel, config->queryHost.c_str(), nullptr, &hints, &DnsTask::onAddrInfo, &state);
    if (!runEventLoop(guard.channel, deadline) && !state.completed) {
        // Reported as the library reports a lookup that ran out of time.
        state.completionNs = monotonicNowNs();
        state.status = ARES_ETIMEOUT;
        state.completed = true;
    }

    lookupResult = std::make_unique<DnsTaskResult>();
    if (state.completed) {
        lookupResult->dns_result_info = "OK";
        lookupResult->dns_result_status = dnsRcodeName(state.status);
        lookupResult->dns_result_duration = static_cast<std::uint64_t>(state.completionNs - lookupStart);
        if (state.answer != nullptr) {
            for (const ares_addrinfo_node* node = state.answer->nodes; node != nullptr; node = node->ai_next) {
                DnsResultEntry entry;
                entry.dns_result_address = addressText(node->ai_addr);
                entry.dns_result_ttl = static_cast<std::uint64_t>(node->ai_ttl < 0 ? 0 : node->ai_ttl);
                lookupResult->dns_result_entries.push_back(std::move(entry));
                ++lookupResult->dns_result_entries_found;
            }
        }
    } else {
        lookupResult->dns_result_info = "ERROR";
    }
    poco_information_f3(logger(), "DNS lookup of %s ended: %s, %s entries", config->queryHost,
                        lookupResult->dns_result_status.value_or("not completed"),
                        std::to_string(lookupResult->dns_result_entries_found));
    // Leaving the scope destroys the channel first, then the lookup state
    // with its address list.
}

std::unique_ptr<TaskResult> DnsTask::createResult() {
    if (!lookupResult) return nullptr;
    auto result = std::make_unique<DnsTaskResult>(*lookupResult);
    fillResult(result.get());
    if (auto* config = dynamic_cast<DnsTaskConfiguration*>(configuration); config != nullptr) {
        result->dns_objective_host = config->queryHost;
        result->dns_objective_dns_record = config->record;
        result->dns_objective_resolver = config->resolver;
    }
    return result;
}

}  // namespace trevask::measurement_library
