#pragma once
// Compares a written JSON value with an expected JSON text: same kinds, same
// keys in the same order, integers by value whatever their signedness,
// floating-point numbers by value (never as text).

#include <boost/json.hpp>
#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace results_test {

inline std::string kindName(const boost::json::value& v) {
    switch (v.kind()) {
        case boost::json::kind::null: return "null";
        case boost::json::kind::bool_: return "bool";
        case boost::json::kind::int64: return "int64";
        case boost::json::kind::uint64: return "uint64";
        case boost::json::kind::double_: return "double";
        case boost::json::kind::string: return "string";
        case boost::json::kind::array: return "array";
        case boost::json::kind::object: return "object";
    }
    return "?";
}

inline bool isInteger(const boost::json::value& v) { return v.is_int64() || v.is_uint64(); }

// Returns an empty text when equal, else where and how they differ.
inline std::string jsonDifference(const boost::json::value& actual, const boost::json::value& expected,
                                  const std::string& path = "$") {
    if (isInteger(expected)) {
        if (!isInteger(actual)) return path + ": expected an integer, got " + kindName(actual);
        const bool equal = expected.is_int64()
            ? (actual.is_int64() ? actual.get_int64() == expected.get_int64()
                                 : expected.get_int64() >= 0 &&
                                       actual.get_uint64() == static_cast<std::uint64_t>(expected.get_int64()))
            : (actual.is_uint64() ? actual.get_uint64() == expected.get_uint64()
                                  : actual.get_int64() >= 0 &&
                                        static_cast<std::uint64_t>(actual.get_int64()) == expected.get_uint64());
        return equal ? "" : path + ": " + serialize(actual) + " != " + serialize(expected);
    }
    if (actual.kind() != expected.kind()) {
        return path + ": kind " + kindName(actual) + " != " + kindName(expected);
    }
    switch (expected.kind()) {
        case boost::json::kind::double_:
            return actual.get_double() == expected.get_double()
                ? "" : path + ": " + serialize(actual) + " != " + serialize(expected);
        case boost::json::kind::array: {
            const auto& a = actual.get_array();
            const auto& e = expected.get_array();
            if (a.size() != e.size()) {
                return path + ": " + std::to_string(a.size()) + " elements != " + std::to_string(e.size());
            }
            for (std::size_t i = 0; i < a.size(); ++i) {
                auto d = jsonDifference(a[i], e[i], path + "[" + std::to_string(i) + "]");
                if (!d.empty()) return d;
            }
            return "";
        }
        case boost::json::kind::object: {
            const auto& a = actual.get_object();
            const auto& e = expected.get_object();
            auto ai = a.begin();
            auto ei = e.begin();
            for (; ai != a.end() && ei != e.end(); ++ai, ++ei) {
                if (ai->key() != ei->key()) {
                    return path + ": key \"" + std::string(ai->key()) + "\" where \"" + std::string(ei->key()) +
                           "\" was expected";
                }
                auto d = jsonDifference(ai->value(), ei->value(), path + "." + std::string(ai->key()));
                if (!d.empty()) return d;
            }
            if (ai != a.end()) return path + ": unexpected key \"" + std::string(ai->key()) + "\"";
            if (ei != e.end()) return path + ": missing key \"" + std::string(ei->key()) + "\"";
            return "";
        }
        default:
            return actual == expected ? "" : path + ": " + serialize(actual) + " != " + serialize(expected);
    }
}

inline ::testing::AssertionResult jsonMatches(const boost::json::value& actual, std::string_view expectedText) {
    const boost::json::value expected = boost::json::parse(expectedText);
    const std::string diff = jsonDifference(actual, expected);
    if (diff.empty()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << diff << "\n  actual: " << serialize(actual);
}

}  // namespace results_test
