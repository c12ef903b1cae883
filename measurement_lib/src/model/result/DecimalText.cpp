#include "model/result/DecimalText.h"

#include <charconv>
#include <limits>

namespace trevask::measurement_library {

namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

struct Split {
    bool negative = false;
    std::string_view digits;  // starts at the first digit
};

// Skips leading white space and one sign; empty digits when no digit follows.
Split splitSign(std::string_view text) {
    std::size_t pos = 0;
    while (pos < text.size() && isSpace(text[pos])) ++pos;
    Split s;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        s.negative = text[pos] == '-';
        ++pos;
    }
    if (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') s.digits = text.substr(pos);
    return s;
}

// The magnitude of the leading digits; none when it exceeds 64 bits.
std::optional<std::uint64_t> magnitude(std::string_view digits) {
    if (digits.empty()) return std::nullopt;
    std::uint64_t value = 0;
    auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (ec != std::errc{}) return std::nullopt;
    return value;
}

template <typename T>
std::optional<T> toSigned(std::string_view text) {
    const Split s = splitSign(text);
    const auto m = magnitude(s.digits);
    if (!m) return std::nullopt;
    constexpr auto maxPositive = static_cast<std::uint64_t>(std::numeric_limits<T>::max());
    if (!s.negative) {
        if (*m > maxPositive) return std::nullopt;
        return static_cast<T>(*m);
    }
    if (*m > maxPositive + 1) return std::nullopt;
    if (*m == maxPositive + 1) return std::numeric_limits<T>::min();
    return static_cast<T>(-static_cast<T>(*m));
}

}  // namespace

std::optional<std::int64_t> decimalToInt64(std::string_view text) { return toSigned<std::int64_t>(text); }

std::optional<std::int32_t> decimalToInt32(std::string_view text) { return toSigned<std::int32_t>(text); }

std::optional<std::uint64_t> decimalToUInt64(std::string_view text) {
    const Split s = splitSign(text);
    const auto m = magnitude(s.digits);
    if (!m) return std::nullopt;
    if (s.negative && *m != 0) return std::nullopt;
    return m;
}

}  // namespace trevask::measurement_library
