#pragma once
// Why a back end could not be reached. The agent answers a failed exchange
// with a fixed text ("No server response"); the front end finds the cause
// itself by trying the same address once: a name that does not resolve, a
// refused connection, a server that stays silent or closes at once, an
// HTTP error status.

#include <chrono>
#include <string>

namespace lumivex::cli {

struct ProbeResult {
    bool reached = false;  // the server answered with an HTTP status
    int status = 0;        // that status
    std::string cause;     // "connection refused by 127.0.0.1:9", "HTTP 500", ...; empty for a 2xx answer
};

// POSTs `body` (JSON) to `url` once, every wait bounded by `bound`.
ProbeResult probe(const std::string& url, const std::string& body, std::chrono::milliseconds bound);

}  // namespace lumivex::cli
