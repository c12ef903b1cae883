#pragma once
// Lets tests compare a JSON value with a std::string directly (boost.json
// compares with string literals and views only).

#include <boost/json/value.hpp>

#include <concepts>
#include <string>

namespace boost::json {
template <class S>
    requires std::same_as<S, std::string>
bool operator==(const value& v, const S& text) {
    return v.is_string() && v.get_string() == text;
}
}  // namespace boost::json
