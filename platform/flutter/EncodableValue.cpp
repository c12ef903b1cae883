#include "platform/flutter/EncodableValue.h"

#include <algorithm>
#include <cmath>
#include <type_traits>

namespace flutter {

namespace {

template <typename T>
int compareScalar(const T& x, const T& y) {
    return x < y ? -1 : (y < x ? 1 : 0);
}

// A total order on doubles, so a NaN key cannot break a map's ordering:
// NaNs are equal to each other and come after every number.
int compareDouble(double x, double y) {
    const bool xNan = std::isnan(x);
    const bool yNan = std::isnan(y);
    if (xNan || yNan) return xNan == yNan ? 0 : (xNan ? 1 : -1);
    return compareScalar(x, y);
}

template <typename T, typename Compare>
int compareSequences(const T& x, const T& y, Compare compare) {
    const std::size_t n = std::min(x.size(), y.size());
    auto xi = x.begin();
    auto yi = y.begin();
    for (std::size_t i = 0; i < n; ++i, ++xi, ++yi) {
        if (int c = compare(*xi, *yi); c != 0) return c;
    }
    return compareScalar(x.size(), y.size());
}

}  // namespace

// One three-way comparison per element pair: a comparison visits each pair
// of nested values at most once, so its cost is linear in the smaller of
// the two values (comparing with `<` twice per element would double the
// work at every level of nesting).
int compare(const EncodableValue& a, const EncodableValue& b) {
    if (a.index() != b.index()) return compareScalar(a.index(), b.index());
    return std::visit(
        [&b](const auto& x) -> int {
            using T = std::decay_t<decltype(x)>;
            const T& y = std::get<T>(b.variant());
            if constexpr (std::is_same_v<T, std::monostate>) {
                return 0;
            } else if constexpr (std::is_same_v<T, double>) {
                return compareDouble(x, y);
            } else if constexpr (std::is_same_v<T, std::string>) {
                int c = x.compare(y);
                return c < 0 ? -1 : (c > 0 ? 1 : 0);
            } else if constexpr (std::is_same_v<T, std::vector<double>>) {
                return compareSequences(x, y, compareDouble);
            } else if constexpr (std::is_same_v<T, EncodableList>) {
                return compareSequences(x, y, [](const EncodableValue& l, const EncodableValue& r) {
                    return compare(l, r);
                });
            } else if constexpr (std::is_same_v<T, EncodableMap>) {
                return compareSequences(x, y, [](const auto& l, const auto& r) {
                    if (int c = compare(l.first, r.first); c != 0) return c;
                    return compare(l.second, r.second);
                });
            } else if constexpr (std::is_same_v<T, bool> || std::is_same_v<T, std::int32_t> ||
                                 std::is_same_v<T, std::int64_t>) {
                return compareScalar(x, y);
            } else {
                // Lists of integers.
                return compareSequences(x, y, [](auto l, auto r) { return compareScalar(l, r); });
            }
        },
        a.variant());
}

bool operator<(const EncodableValue& a, const EncodableValue& b) {
    return compare(a, b) < 0;
}

bool operator==(const EncodableValue& a, const EncodableValue& b) {
    if (a.index() != b.index()) return false;
    return std::visit(
        [&b](const auto& x) -> bool {
            using T = std::decay_t<decltype(x)>;
            const T& y = std::get<T>(b.variant());
            if constexpr (std::is_same_v<T, std::monostate>) {
                return true;
            } else if constexpr (std::is_same_v<T, EncodableList>) {
                return std::equal(x.begin(), x.end(), y.begin(), y.end(),
                                  [](const EncodableValue& l, const EncodableValue& r) { return l == r; });
            } else if constexpr (std::is_same_v<T, EncodableMap>) {
                return std::equal(x.begin(), x.end(), y.begin(), y.end(), [](const auto& l, const auto& r) {
                    return l.first == r.first && l.second == r.second;
                });
            } else {
                return x == y;
            }
        },
        a.variant());
}

}  // namespace flutter
