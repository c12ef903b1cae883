#pragma once
// The speed-test client's span of time: whole seconds (64-bit) plus the
// nanoseconds below one second. It reaches far beyond 64-bit nanoseconds,
// so exact nanosecond counts are 128-bit. Arithmetic saturates or reports
// failure; it never wraps.

#include <chrono>
#include <compare>
#include <cstdint>
#include <optional>
#include <string>

namespace vela_client {

using uint128_t = unsigned __int128;

class Duration {
public:
    static constexpr std::uint32_t nanos_per_second = 1'000'000'000U;

    constexpr Duration() = default;

    // Nanoseconds of one second or more carry into the seconds (saturating).
    constexpr Duration(std::uint64_t secs, std::uint32_t nanos) : secs_(secs), nanos_(nanos)
    {
        if (nanos_ >= nanos_per_second) {
            const std::uint64_t carry = nanos_ / nanos_per_second;
            nanos_ %= nanos_per_second;
            if (secs_ > UINT64_MAX - carry) {
                *this = max();
            } else {
                secs_ += carry;
            }
        }
    }

    static constexpr Duration zero() { return {}; }
    static constexpr Duration max() { return Duration(UINT64_MAX, nanos_per_second - 1); }

    static constexpr Duration from_secs(std::uint64_t s) { return Duration(s, 0); }
    static constexpr Duration from_millis(std::uint64_t ms)
    {
        return Duration(ms / 1000, static_cast<std::uint32_t>(ms % 1000) * 1'000'000U);
    }
    static constexpr Duration from_micros(std::uint64_t us)
    {
        return Duration(us / 1'000'000, static_cast<std::uint32_t>(us % 1'000'000) * 1000U);
    }
    static constexpr Duration from_nanos(std::uint64_t ns)
    {
        return Duration(ns / nanos_per_second, static_cast<std::uint32_t>(ns % nanos_per_second));
    }
    // Saturates at max() for counts beyond the range.
    static constexpr Duration from_nanos_u128(uint128_t ns)
    {
        const uint128_t secs = ns / nanos_per_second;
        if (secs > UINT64_MAX) {
            return max();
        }
        return Duration(static_cast<std::uint64_t>(secs), static_cast<std::uint32_t>(ns % nanos_per_second));
    }
    // Rounds to the nearest nanosecond; no value for negative, non-finite or
    // out-of-range seconds.
    static std::optional<Duration> from_secs_f64(double secs);
    // Negative spans become zero.
    template <class Rep, class Period>
    static constexpr Duration from_chrono(std::chrono::duration<Rep, Period> d)
    {
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
        return ns <= 0 ? Duration() : from_nanos(static_cast<std::uint64_t>(ns));
    }

    constexpr std::uint64_t secs() const { return secs_; }
    constexpr std::uint32_t subsec_nanos() const { return nanos_; }
    constexpr bool is_zero() const { return secs_ == 0 && nanos_ == 0; }
    constexpr uint128_t as_nanos() const { return static_cast<uint128_t>(secs_) * nanos_per_second + nanos_; }
    // No value when the count does not fit 64 bits.
    constexpr std::optional<std::uint64_t> as_nanos_u64() const
    {
        const uint128_t ns = as_nanos();
        if (ns > UINT64_MAX) {
            return std::nullopt;
        }
        return static_cast<std::uint64_t>(ns);
    }
    double as_secs_f64() const { return static_cast<double>(secs_) + static_cast<double>(nanos_) / 1e9; }
    // Saturates at the largest representable nanosecond count.
    std::chrono::nanoseconds to_chrono() const;

    constexpr std::optional<Duration> checked_add(Duration o) const
    {
        if (secs_ > UINT64_MAX - o.secs_) {
            return std::nullopt;
        }
        std::uint64_t s = secs_ + o.secs_;
        std::uint32_t n = nanos_ + o.nanos_;
        if (n >= nanos_per_second) {
            n -= nanos_per_second;
            if (s == UINT64_MAX) {
                return std::nullopt;
            }
            ++s;
        }
        return Duration(s, n);
    }
    constexpr std::optional<Duration> checked_sub(Duration o) const
    {
        if (*this < o) {
            return std::nullopt;
        }
        std::uint64_t s = secs_ - o.secs_;
        std::uint32_t n;
        if (nanos_ >= o.nanos_) {
            n = nanos_ - o.nanos_;
        } else {
            --s;
            n = nanos_ + nanos_per_second - o.nanos_;
        }
        return Duration(s, n);
    }
    constexpr Duration saturating_add(Duration o) const { return checked_add(o).value_or(max()); }
    constexpr Duration saturating_sub(Duration o) const { return checked_sub(o).value_or(Duration()); }

    constexpr auto operator<=>(const Duration&) const = default;
    constexpr bool operator==(const Duration&) const = default;

private:
    std::uint64_t secs_ = 0;
    std::uint32_t nanos_ = 0;
};

// Log form: the largest unit that the value reaches (s, ms, µs, ns) with the
// decimals it needs and no trailing zeros, e.g. "1.5ms", "2s", "750ns".
std::string format_duration(Duration d);

}  // namespace vela_client
