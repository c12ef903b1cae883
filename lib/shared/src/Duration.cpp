#include "Duration.h"

#include <cmath>
#include <limits>

namespace vela_client {

std::optional<Duration> Duration::from_secs_f64(double secs)
{
    if (!std::isfinite(secs) || secs < 0.0) {
        return std::nullopt;
    }
    // 2^64 seconds is the first value out of range.
    if (secs >= 18446744073709551616.0) {
        return std::nullopt;
    }
    const long double whole = std::floor(static_cast<long double>(secs));
    const long double frac = static_cast<long double>(secs) - whole;
    auto s = static_cast<std::uint64_t>(whole);
    auto ns = static_cast<std::uint64_t>(std::llround(frac * 1e9L));
    if (ns >= nanos_per_second) {
        if (s == UINT64_MAX) {
            return std::nullopt;
        }
        ++s;
        ns -= nanos_per_second;
    }
    return Duration(s, static_cast<std::uint32_t>(ns));
}

std::chrono::nanoseconds Duration::to_chrono() const
{
    constexpr auto limit = static_cast<uint128_t>(std::numeric_limits<std::chrono::nanoseconds::rep>::max());
    const uint128_t ns = as_nanos();
    return std::chrono::nanoseconds(static_cast<std::chrono::nanoseconds::rep>(ns > limit ? limit : ns));
}

namespace {

// whole + fraction / 10^digits, fraction digits without trailing zeros.
std::string with_fraction(std::uint64_t whole, std::uint64_t fraction, int digits, const char* unit)
{
    std::string out = std::to_string(whole);
    if (fraction != 0) {
        std::string f = std::to_string(fraction);
        f.insert(0, static_cast<std::size_t>(digits) - f.size(), '0');
        while (!f.empty() && f.back() == '0') {
            f.pop_back();
        }
        out += '.';
        out += f;
    }
    out += unit;
    return out;
}

}  // namespace

std::string format_duration(Duration d)
{
    if (d.secs() > 0) {
        return with_fraction(d.secs(), d.subsec_nanos(), 9, "s");
    }
    const std::uint32_t ns = d.subsec_nanos();
    if (ns >= 1'000'000) {
        return with_fraction(ns / 1'000'000, ns % 1'000'000, 6, "ms");
    }
    if (ns >= 1000) {
        return with_fraction(ns / 1000, ns % 1000, 3, "\xC2\xB5s");
    }
    return std::to_string(ns) + "ns";
}

}  // namespace vela_client
