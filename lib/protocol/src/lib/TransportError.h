#pragma once

// Errors of the message transport: a kind that callers may test for and the
// text that they show.

#include <chrono>
#include <optional>
#include <string>

namespace vela_client {

enum class IoErrorKind {
    TimedOut,
    InvalidData,
    ConnectionReset,
    UnexpectedEof,
    WriteZero,
    Os,    // the operating system's or the TLS provider's own error
    Other,
};

struct TransportError {
    IoErrorKind kind = IoErrorKind::Other;
    std::string text;
};

// Success is an empty value; a failure carries its error.
using IoStatus = std::optional<TransportError>;

// An optional time limit of one operation; absent means no limit.
using Timeout = std::optional<std::chrono::nanoseconds>;

inline constexpr const char* kReadTimedOut = "read timed out";
inline constexpr const char* kWriteTimedOut = "write timed out";

} // namespace vela_client
