#pragma once

// A value or an error, for the speed-test client's fallible operations: the
// client reports its failures as values, never as exceptions, and most of
// them as human-readable texts (OrError).
//
//   OrError<int> parse(const std::string& text);
//   auto n = parse("12");
//   if (!n) log(n.error()); else use(*n);
//   return OrError<int>::failure("not a number");   // or: return unexpected(text);

#include <cassert>
#include <string>
#include <utility>
#include <variant>

namespace vela_client {

template <class E>
struct Unexpected {
    E error;
};

template <class E>
Unexpected<std::decay_t<E>> unexpected(E&& error)
{
    return {std::forward<E>(error)};
}

template <class T, class E>
class Expected {
public:
    Expected(const T& value) : state_(std::in_place_index<0>, value) {}
    Expected(T&& value) : state_(std::in_place_index<0>, std::move(value)) {}
    template <class G>
    Expected(Unexpected<G> u) : state_(std::in_place_index<1>, std::move(u.error))
    {
    }

    static Expected failure(E error) { return Expected(Unexpected<E>{std::move(error)}); }

    bool has_value() const noexcept { return state_.index() == 0; }
    bool ok() const noexcept { return has_value(); }
    explicit operator bool() const noexcept { return has_value(); }

    T& value() &
    {
        assert(has_value());
        return std::get<0>(state_);
    }
    const T& value() const&
    {
        assert(has_value());
        return std::get<0>(state_);
    }
    T&& value() &&
    {
        assert(has_value());
        return std::get<0>(std::move(state_));
    }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    const E& error() const&
    {
        assert(!has_value());
        return std::get<1>(state_);
    }
    E&& error() &&
    {
        assert(!has_value());
        return std::get<1>(std::move(state_));
    }

private:
    std::variant<T, E> state_;
};

// A value or the text of the failure that prevented it.
template <class T>
using OrError = Expected<T, std::string>;

} // namespace vela_client
