#include "NameResolution.h"

#include <netdb.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

namespace trevask::measurement_library {

namespace {

// Error values of the category below besides the resolver's own (negative) codes.
constexpr int kTimedOut = 1;
constexpr int kTooManyLookups = 2;

class ResolutionCategory : public boost::system::error_category {
public:
    const char* name() const noexcept override { return "resolve"; }
    std::string message(int value) const override {
        switch (value) {
            case kTimedOut: return "name resolution timed out";
            case kTooManyLookups: return "too many name resolutions still pending";
            default: return ::gai_strerror(value);
        }
    }
};

const boost::system::error_category& resolutionCategory() {
    static const ResolutionCategory category;
    return category;
}

// Trivially destructible, so a lookup thread that ends during or after
// static destruction may still count itself out.
std::atomic<int> g_pendingLookups{0};

struct Lookup {
    std::string host;
    std::string service;
    addrinfo hints{};

    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    int rc = 0;
    int systemError = 0;
    std::vector<ResolvedEndpoint> endpoints;
};

boost::system::error_code errorOf(int rc, int systemError) {
    if (rc == EAI_SYSTEM) return {systemError, boost::system::system_category()};
    return {rc, resolutionCategory()};
}

// getaddrinfo into the lookup; returns the resolver's code.
int lookUp(const std::string& host, const std::string& service, const addrinfo& hints,
           std::vector<ResolvedEndpoint>& endpoints, int& systemError) {
    addrinfo* list = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list);
    systemError = rc == EAI_SYSTEM ? errno : 0;
    if (rc != 0) return rc;
    for (const addrinfo* node = list; node != nullptr; node = node->ai_next) {
        if (node->ai_addr == nullptr || node->ai_addrlen > sizeof(sockaddr_storage)) continue;
        ResolvedEndpoint endpoint;
        std::memcpy(&endpoint.address, node->ai_addr, node->ai_addrlen);
        endpoint.length = node->ai_addrlen;
        endpoints.push_back(endpoint);
    }
    ::freeaddrinfo(list);
    return endpoints.empty() ? EAI_NONAME : 0;
}

}  // namespace

boost::system::error_code resolutionTimedOut() { return {kTimedOut, resolutionCategory()}; }

boost::system::error_code tooManyLookups() { return {kTooManyLookups, resolutionCategory()}; }

int pendingLookups() { return g_pendingLookups.load(); }

std::vector<ResolvedEndpoint> resolveHost(const std::string& host, int port, SocketKind kind,
                                          std::chrono::steady_clock::time_point deadline,
                                          boost::system::error_code& error) {
    error = {};
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = kind == SocketKind::Stream ? SOCK_STREAM : SOCK_DGRAM;
    const std::string service = std::to_string(port);

    // An address in numeric form needs no name server.
    {
        addrinfo numeric = hints;
        numeric.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
        std::vector<ResolvedEndpoint> endpoints;
        int systemError = 0;
        const int rc = lookUp(host, service, numeric, endpoints, systemError);
        if (rc == 0) return endpoints;
        if (rc != EAI_NONAME) {
            error = errorOf(rc, systemError);
            return {};
        }
    }

    if (std::chrono::steady_clock::now() >= deadline) {
        error = resolutionTimedOut();
        return {};
    }
    // Count first, so that two callers cannot both pass the bound.
    if (g_pendingLookups.fetch_add(1) >= kMaxPendingLookups) {
        g_pendingLookups.fetch_sub(1);
        error = tooManyLookups();
        return {};
    }

    auto lookup = std::make_shared<Lookup>();
    lookup->host = host;
    lookup->service = service;
    lookup->hints = hints;
    try {
        std::thread([lookup] {
            std::vector<ResolvedEndpoint> endpoints;
            int systemError = 0;
            const int rc = lookUp(lookup->host, lookup->service, lookup->hints, endpoints, systemError);
            {
                std::lock_guard lock(lookup->mutex);
                lookup->rc = rc;
                lookup->systemError = systemError;
                lookup->endpoints = std::move(endpoints);
                lookup->done = true;
            }
            lookup->finished.notify_all();
            g_pendingLookups.fetch_sub(1);
        }).detach();
    } catch (const std::system_error& e) {
        g_pendingLookups.fetch_sub(1);
        error = {e.code().value(), boost::system::system_category()};
        return {};
    }

    std::unique_lock lock(lookup->mutex);
    if (!lookup->finished.wait_until(lock, deadline, [&] { return lookup->done; })) {
        error = resolutionTimedOut();
        return {};
    }
    if (lookup->rc != 0) {
        error = errorOf(lookup->rc, lookup->systemError);
        return {};
    }
    return std::move(lookup->endpoints);
}

}  // namespace trevask::measurement_library
