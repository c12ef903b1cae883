#pragma once
// Sets an environment variable for the life of the object and restores what
// was there before.

#include <cstdlib>
#include <optional>
#include <string>

namespace lumivex::test {

class ScopedEnvironment {
public:
    ScopedEnvironment(std::string name, const std::string& value) : name_(std::move(name)) {
        if (const char* old = std::getenv(name_.c_str())) previous_ = old;
        ::setenv(name_.c_str(), value.c_str(), 1);
    }
    ~ScopedEnvironment() {
        if (previous_) {
            ::setenv(name_.c_str(), previous_->c_str(), 1);
        } else {
            ::unsetenv(name_.c_str());
        }
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    std::string name_;
    std::optional<std::string> previous_;
};

// The test back ends' certificates are self-signed: the agent's check of
// them is turned off, as a test back end's user would.
inline constexpr const char* kInsecureBackendTls = "LUMIVEX_INSECURE_BACKEND_TLS";

}  // namespace lumivex::test
