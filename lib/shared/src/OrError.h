#pragma once
// A value or the text of the failure that prevented it: the speed-test
// client reports its failures as human-readable texts, not exceptions.

#include <string>
#include <utility>
#include <variant>

namespace vela_client {

struct ErrorText {
    std::string text;
};

template <class T>
class OrError {
public:
    OrError(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    OrError(ErrorText error) : state_(std::in_place_index<1>, std::move(error)) {}

    static OrError failure(std::string text) { return OrError(ErrorText{std::move(text)}); }

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    // Only valid when ok().
    T& value() & { return std::get<0>(state_); }
    const T& value() const& { return std::get<0>(state_); }
    T&& value() && { return std::get<0>(std::move(state_)); }
    // Only valid when !ok().
    const std::string& error() const { return std::get<1>(state_).text; }

private:
    std::variant<T, ErrorText> state_;
};

}  // namespace vela_client
