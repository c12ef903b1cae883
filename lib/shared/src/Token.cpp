#include "Token.h"

#include <openssl/evp.h>

#include <cerrno>
#include <cstdio>
#include <sys/random.h>

namespace vela_client {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

int hex_value(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string to_hex(std::span<const std::uint8_t> bytes)
{
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const std::uint8_t b : bytes) {
        out += kHexDigits[b >> 4];
        out += kHexDigits[b & 0x0F];
    }
    return out;
}

// The offending byte of a hex text as it shows in the error message: as the
// character it stands for (Latin-1), with control and invisible characters
// escaped, so the text stays readable and valid UTF-8.
std::string char_for_message(std::uint8_t b)
{
    switch (b) {
    case 0: return "\\0";
    case '\t': return "\\t";
    case '\n': return "\\n";
    case '\r': return "\\r";
    case '\'': return "\\'";
    case '\\': return "\\\\";
    default: break;
    }
    char buf[16];
    if (b < 0x20 || (b >= 0x7F && b <= 0xA0) || b == 0xAD) {
        std::snprintf(buf, sizeof buf, "\\u{%x}", b);
        return buf;
    }
    if (b < 0x80) return std::string(1, static_cast<char>(b));
    // U+00A1..U+00FF in UTF-8.
    return {static_cast<char>(0xC0 | (b >> 6)), static_cast<char>(0x80 | (b & 0x3F))};
}

Expected<std::vector<std::uint8_t>, std::string> from_hex(std::string_view text)
{
    if (text.size() % 2 != 0) return unexpected(std::string("Odd number of digits"));
    std::vector<std::uint8_t> out;
    out.reserve(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int hi = hex_value(text[i]);
        const int lo = hex_value(text[i + 1]);
        const std::size_t bad = hi < 0 ? i : lo < 0 ? i + 1 : text.size();
        if (bad != text.size()) {
            return unexpected("Invalid character '" + char_for_message(static_cast<std::uint8_t>(text[bad])) +
                              "' at position " + std::to_string(bad));
        }
        out.push_back(static_cast<std::uint8_t>(hi << 4 | lo));
    }
    return out;
}

// Base64 with the URL-safe alphabet and "=" padding.
std::string base64url_encode(std::string_view in)
{
    static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string out;
    out.reserve((in.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= in.size(); i += 3) {
        const std::uint32_t v = std::uint32_t{static_cast<std::uint8_t>(in[i])} << 16 |
                                std::uint32_t{static_cast<std::uint8_t>(in[i + 1])} << 8 |
                                static_cast<std::uint8_t>(in[i + 2]);
        out += alphabet[v >> 18];
        out += alphabet[(v >> 12) & 63];
        out += alphabet[(v >> 6) & 63];
        out += alphabet[v & 63];
    }
    const std::size_t rest = in.size() - i;
    if (rest > 0) {
        std::uint32_t v = std::uint32_t{static_cast<std::uint8_t>(in[i])} << 16;
        if (rest == 2) v |= std::uint32_t{static_cast<std::uint8_t>(in[i + 1])} << 8;
        out += alphabet[v >> 18];
        out += alphabet[(v >> 12) & 63];
        out += rest == 2 ? alphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

int base64_value(char c)
{
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Strict base64 of the standard alphabet: canonical "=" padding, no stray
// bits in the last character.
std::optional<std::string> base64_decode(std::string_view in)
{
    if (in.size() % 4 != 0) return std::nullopt;
    std::string out;
    out.reserve(in.size() / 4 * 3);
    for (std::size_t i = 0; i < in.size(); i += 4) {
        const bool last = i + 4 == in.size();
        std::size_t pad = 0;
        if (last) {
            if (in[i + 3] == '=') ++pad;
            if (pad == 1 && in[i + 2] == '=') ++pad;
        }
        std::uint32_t v = 0;
        for (std::size_t k = 0; k < 4 - pad; ++k) {
            const int d = base64_value(in[i + k]);
            if (d < 0) return std::nullopt;
            v = v << 6 | static_cast<std::uint32_t>(d);
        }
        v <<= 6 * pad;
        if (pad == 2 && (v & 0xFFFF) != 0) return std::nullopt;
        if (pad == 1 && (v & 0xFF) != 0) return std::nullopt;
        out += static_cast<char>(v >> 16);
        if (pad < 2) out += static_cast<char>((v >> 8) & 0xFF);
        if (pad < 1) out += static_cast<char>(v & 0xFF);
    }
    return out;
}

bool parse_hyphenated(std::string_view s, std::array<std::uint8_t, 16>& out)
{
    if (s.size() != 36 || s[8] != '-' || s[13] != '-' || s[18] != '-' || s[23] != '-') return false;
    // Start of each byte's two digits in the 8-4-4-4-12 form.
    static constexpr std::size_t starts[16] = {0, 2, 4, 6, 9, 11, 14, 16, 19, 21, 24, 26, 28, 30, 32, 34};
    for (std::size_t n = 0; n < 16; ++n) {
        const int hi = hex_value(s[starts[n]]);
        const int lo = hex_value(s[starts[n] + 1]);
        if (hi < 0 || lo < 0) return false;
        out[n] = static_cast<std::uint8_t>(hi << 4 | lo);
    }
    return true;
}

std::optional<std::array<std::uint8_t, 16>> parse_uuid(std::string_view s)
{
    std::array<std::uint8_t, 16> out{};
    switch (s.size()) {
    case 32:
        for (std::size_t i = 0; i < 16; ++i) {
            const int hi = hex_value(s[2 * i]);
            const int lo = hex_value(s[2 * i + 1]);
            if (hi < 0 || lo < 0) return std::nullopt;
            out[i] = static_cast<std::uint8_t>(hi << 4 | lo);
        }
        return out;
    case 36:
        if (parse_hyphenated(s, out)) return out;
        return std::nullopt;
    case 38:
        if (s.front() == '{' && s.back() == '}' && parse_hyphenated(s.substr(1, 36), out)) return out;
        return std::nullopt;
    case 45:
        if (s.starts_with("urn:uuid:") && parse_hyphenated(s.substr(9), out)) return out;
        return std::nullopt;
    default:
        return std::nullopt;
    }
}

std::optional<std::uint64_t> parse_seconds(std::string_view s)
{
    if (s.starts_with('+')) s.remove_prefix(1);
    if (s.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::array<std::uint8_t, 32> sha3_256(std::string_view data)
{
    std::array<std::uint8_t, 32> digest{};
    unsigned int len = 0;
    EVP_Digest(data.data(), data.size(), digest.data(), &len, EVP_sha3_256(), nullptr);
    return digest;
}

} // namespace

std::string uuid_to_string(std::span<const std::uint8_t, 16> uuid)
{
    std::string out;
    out.reserve(36);
    for (std::size_t i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
        out += kHexDigits[uuid[i] >> 4];
        out += kHexDigits[uuid[i] & 0x0F];
    }
    return out;
}

TokenResult hmac_sha3_256(std::span<const std::uint8_t> uuid, std::uint64_t unix_seconds,
                          std::uint32_t nanoseconds, std::string_view key)
{
    if (uuid.size() != 16) return unexpected(std::string("uuid must be exactly 16 bytes long"));
    Token token;
    std::copy(uuid.begin(), uuid.end(), token.uuid.begin());
    token.unix_seconds = unix_seconds;
    token.nanoseconds = nanoseconds;

    const std::string message = uuid_to_string(token.uuid) + "_" + std::to_string(unix_seconds);
    // A zero-length key still needs a valid pointer for OpenSSL.
    static const unsigned char empty_key = 0;
    const auto* key_bytes = key.empty() ? &empty_key : reinterpret_cast<const unsigned char*>(key.data());
    token.mac.resize(32);
    std::size_t out_len = 0;
    if (EVP_Q_mac(nullptr, "HMAC", nullptr, "SHA3-256", nullptr, key_bytes, key.size(),
                  reinterpret_cast<const unsigned char*>(message.data()), message.size(), token.mac.data(),
                  token.mac.size(), &out_len) == nullptr ||
        out_len != 32) {
        return unexpected(std::string("system error: failed to compute HMAC-SHA3-256"));
    }
    return token;
}

TokenResult build_token_at(std::string_view secret_key, std::chrono::system_clock::time_point now)
{
    const auto since_epoch = std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch());
    if (since_epoch.count() < 0) return unexpected(std::string("system error: failed to get current timestamp"));
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since_epoch);
    const auto nanos = static_cast<std::uint32_t>((since_epoch - seconds).count());

    std::array<std::uint8_t, 16> uuid{};
    std::size_t filled = 0;
    while (filled < uuid.size()) {
        const ssize_t n = getrandom(uuid.data() + filled, uuid.size() - filled, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return unexpected(std::string("system error: failed to get random bytes"));
        }
        filled += static_cast<std::size_t>(n);
    }
    uuid[6] = static_cast<std::uint8_t>((uuid[6] & 0x0F) | 0x40);  // version 4
    uuid[8] = static_cast<std::uint8_t>((uuid[8] & 0x3F) | 0x80);  // variant 10

    return hmac_sha3_256(uuid, static_cast<std::uint64_t>(seconds.count()), nanos, secret_key);
}

TokenResult build_token(std::string_view secret_key)
{
    return build_token_at(secret_key, std::chrono::system_clock::now());
}

TokenResult parse_token(std::string_view text)
{
    // Split at "_"; pieces after the third do not count.
    std::optional<std::string_view> pieces[3];
    std::size_t start = 0;
    for (auto& piece : pieces) {
        const std::size_t end = text.find('_', start);
        piece = text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
        if (end == std::string_view::npos) break;
        start = end + 1;
    }

    if (!pieces[0]) return unexpected(std::string("invalid token: missing UUID"));
    const auto uuid = parse_uuid(*pieces[0]);
    if (!uuid) return unexpected(std::string("token contains invalid UUID"));

    if (!pieces[1]) return unexpected(std::string("invalid token: missing timestamp"));
    const auto seconds = parse_seconds(*pieces[1]);
    if (!seconds) return unexpected(std::string("token contains invalid timestamp"));

    if (!pieces[2]) return unexpected(std::string("invalid token: missing HMAC"));
    const auto hex_text = base64_decode(*pieces[2]);
    if (!hex_text) return unexpected(std::string("token contains invalid base64 HMAC"));
    auto mac = from_hex(*hex_text);
    if (!mac) return unexpected(std::move(mac).error());

    Token token;
    token.uuid = *uuid;
    token.unix_seconds = *seconds;
    token.mac = std::move(*mac);
    return token;
}

std::string token_to_string(const Token& token)
{
    return uuid_to_string(token.uuid) + "_" + std::to_string(token.unix_seconds) + "_" +
           base64url_encode(to_hex(token.mac));
}

std::string log_id(Token& token)
{
    if (!token.log_identifier) {
        const auto digest = sha3_256(token_to_string(token));
        token.log_identifier = to_hex(digest).substr(0, 7);
    }
    return *token.log_identifier;
}

} // namespace vela_client
