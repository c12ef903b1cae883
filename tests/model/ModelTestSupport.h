#pragma once
// Helpers shared by the model tests.

#include <boost/json.hpp>
#include <boost/system/system_error.hpp>

#include <functional>
#include <stdexcept>
#include <string>
#include <typeinfo>

namespace model_test {

// What a call raised: its kind and message, or "" when it returned normally.
struct Raised {
    std::string kind;  // "invalid_argument", "system_error", "runtime_error", "other" or ""
    std::string what;
};

inline Raised raised(const std::function<void()>& call) {
    try {
        call();
    } catch (const std::invalid_argument& e) {
        return {"invalid_argument", e.what()};
    } catch (const boost::system::system_error& e) {
        return {"system_error", e.code().message()};
    } catch (const std::runtime_error& e) {
        return {"runtime_error", e.what()};
    } catch (const std::exception& e) {
        return {"other", e.what()};
    }
    return {};
}

// The failure that a member error of the given text must raise: the texts of
// the conversion errors come as system errors, the others as invalid arguments.
inline Raised expected(const std::string& message) {
    if (message.empty()) return {};
    if (message == "not a number" || message == "not exact") return {"system_error", message};
    return {"invalid_argument", message};
}

inline bool operator==(const Raised& a, const Raised& b) { return a.kind == b.kind && a.what == b.what; }

inline std::ostream& operator<<(std::ostream& os, const Raised& r) {
    return os << (r.kind.empty() ? "nothing" : r.kind + " '" + r.what + "'");
}

inline boost::json::value parse(const std::string& text) { return boost::json::parse(text); }

}  // namespace model_test
