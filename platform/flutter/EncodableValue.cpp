#include "platform/flutter/EncodableValue.h"

#include <algorithm>
#include <type_traits>

namespace flutter {

// Written out by hand: the standard variant comparison recurses through the
// list and map alternatives and cannot be instantiated for this type.
bool operator<(const EncodableValue& a, const EncodableValue& b) {
    if (a.index() != b.index()) return a.index() < b.index();
    return std::visit(
        [&b](const auto& x) -> bool {
            using T = std::decay_t<decltype(x)>;
            const T& y = std::get<T>(b.variant());
            if constexpr (std::is_same_v<T, std::monostate>) {
                return false;
            } else if constexpr (std::is_same_v<T, EncodableList>) {
                return std::lexicographical_compare(x.begin(), x.end(), y.begin(), y.end(),
                                                    [](const EncodableValue& l, const EncodableValue& r) { return l < r; });
            } else if constexpr (std::is_same_v<T, EncodableMap>) {
                return std::lexicographical_compare(x.begin(), x.end(), y.begin(), y.end(),
                                                    [](const auto& l, const auto& r) {
                                                        if (l.first < r.first) return true;
                                                        if (r.first < l.first) return false;
                                                        return l.second < r.second;
                                                    });
            } else {
                return x < y;
            }
        },
        a.variant());
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
