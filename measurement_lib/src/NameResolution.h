#pragma once
// Name resolution with a deadline, for the QoS test connections and streams.
//
// The system resolver (getaddrinfo) cannot be cancelled and keeps to its own
// time-outs: name servers that never answer hold it for attempts x timeout
// per server, which resolv.conf may stretch to minutes. A host name is
// therefore looked up on a detached thread of its own while the caller waits
// until its deadline at most; after that the caller goes on with a time-out
// error and the thread ends whenever the resolver returns. The thread touches
// only the lookup's own shared state, so it may outlive its caller, the task
// and even the static objects of the process; exit never waits for it.
// Numeric addresses are converted on the caller's thread, without a lookup.

#include <sys/socket.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include <boost/system/error_code.hpp>

namespace trevask::measurement_library {

// One address as the resolver gave it, with the port filled in.
struct ResolvedEndpoint {
    sockaddr_storage address{};
    socklen_t length = 0;
};

enum class SocketKind { Stream, Datagram };

// Lookups whose threads are still running (given up or not) beyond which a
// new lookup fails at once instead of starting yet another thread.
inline constexpr int kMaxPendingLookups = 32;

// Every address of host for the decimal port, in the resolver's order, any
// address family. On failure the list is empty and error says why: the
// resolver's own error, resolutionTimedOut() when the deadline passed first,
// tooManyLookups() when kMaxPendingLookups lookups are still running.
std::vector<ResolvedEndpoint> resolveHost(const std::string& host, int port, SocketKind kind,
                                          std::chrono::steady_clock::time_point deadline,
                                          boost::system::error_code& error);

boost::system::error_code resolutionTimedOut();
boost::system::error_code tooManyLookups();

// Lookup threads still running now (tests use it).
int pendingLookups();

}  // namespace trevask::measurement_library
