#pragma once
// Helpers shared by the back-end document tests.

#include <exception>
#include <functional>
#include <string>

namespace documents_test {

// The message of what the call threw, or "" when it returned normally.
inline std::string failureText(const std::function<void()>& call) {
    try {
        call();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

}  // namespace documents_test
