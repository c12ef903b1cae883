#pragma once

// The speed-test run's authentication token: a random UUID, the Unix time of
// its making and an HMAC-SHA3-256 over both under a secret key shared with the
// measurement server. Its text form is
//   <uuid, lower-case hyphenated>_<unix seconds>_<base64url(hex(mac)), "=" padded>
// and the run's 7-character log identifier is derived from that text.
//
// A token is a plain value; the client never checks a MAC itself, the server does.

#include "VelaExpected.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vela_client {

struct Token {
    std::array<std::uint8_t, 16> uuid{};  // in the byte order of the text form
    std::uint64_t unix_seconds = 0;
    std::uint32_t nanoseconds = 0;        // sub-second part of the build time; 0 when parsed
    std::vector<std::uint8_t> mac;        // 32 bytes when built; any length when parsed
    std::optional<std::string> log_identifier;  // filled by log_id(), carried by copies

    bool operator==(const Token&) const = default;
};

using TokenResult = Expected<Token, std::string>;

// Builds a token with a fresh version 4 UUID and the current time.
TokenResult build_token(std::string_view secret_key);
// Same, at the given instant (a time before the Unix epoch fails).
TokenResult build_token_at(std::string_view secret_key, std::chrono::system_clock::time_point now);

// Token whose MAC is HMAC-SHA3-256(key, "<uuid text>_<seconds>"); the UUID
// must be exactly 16 bytes.
TokenResult hmac_sha3_256(std::span<const std::uint8_t> uuid, std::uint64_t unix_seconds,
                          std::uint32_t nanoseconds, std::string_view key);

// Reads a token from its text form (only the first three "_" pieces count).
TokenResult parse_token(std::string_view text);

// The normalised text form.
std::string token_to_string(const Token& token);

// The 7 lower-case hex digits that head the run's log lines: the start of the
// SHA3-256 of token_to_string(). Computed once and kept in the token.
std::string log_id(Token& token);

// "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx" in lower case.
std::string uuid_to_string(std::span<const std::uint8_t, 16> uuid);

} // namespace vela_client
