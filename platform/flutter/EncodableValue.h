#pragma once
// The value type that travels over the UI channels: a tagged union of the
// kinds the standard codec can carry.

#include <cstdint>
#include <map>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

namespace flutter {

class EncodableValue;
using EncodableList = std::vector<EncodableValue>;
using EncodableMap = std::map<EncodableValue, EncodableValue>;

using EncodableVariant = std::variant<std::monostate, bool, std::int32_t, std::int64_t, double, std::string,
                                      std::vector<std::uint8_t>, std::vector<std::int32_t>,
                                      std::vector<std::int64_t>, std::vector<double>, EncodableList, EncodableMap>;

// Holds its variant rather than deriving from it, so that comparisons find
// only the operators below (the standard variant comparison cannot be
// instantiated for a type that contains itself).
class EncodableValue {
public:
    EncodableValue() = default;
    template <typename T>
        requires(!std::is_same_v<std::remove_cvref_t<T>, EncodableValue>) &&
                std::is_constructible_v<EncodableVariant, T>
    EncodableValue(T&& value) : value_(std::forward<T>(value)) {}
    // Keeps a string literal from turning into a bool.
    EncodableValue(const char* text) : value_(std::string(text)) {}

    bool IsNull() const { return std::holds_alternative<std::monostate>(value_); }
    std::size_t index() const { return value_.index(); }
    template <typename T>
    bool holds() const {
        return std::holds_alternative<T>(value_);
    }
    // The held value when it is exactly of kind T, else null.
    template <typename T>
    const T* getIf() const {
        return std::get_if<T>(&value_);
    }
    template <typename T>
    T* getIf() {
        return std::get_if<T>(&value_);
    }
    const EncodableVariant& variant() const { return value_; }
    EncodableVariant& variant() { return value_; }

    // The order of map keys: by kind first, then by contents. Linear in the
    // size of the smaller value.
    friend int compare(const EncodableValue& a, const EncodableValue& b);
    friend bool operator<(const EncodableValue& a, const EncodableValue& b);
    friend bool operator==(const EncodableValue& a, const EncodableValue& b);

private:
    EncodableVariant value_;
};

// -1, 0 or 1 as a orders before, with or after b.
int compare(const EncodableValue& a, const EncodableValue& b);

}  // namespace flutter
