#pragma once

// A value or an error, for the speed-test client's fallible operations
// (the client reports failures as values, never as exceptions).

#include <cassert>
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

    bool has_value() const noexcept { return state_.index() == 0; }
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

} // namespace vela_client
