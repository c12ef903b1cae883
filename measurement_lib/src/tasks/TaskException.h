#pragma once
// The two failures a task body raises: its work failed (ERROR) or it gave up
// waiting (TIMEOUT). Each carries only its message.

#include <stdexcept>
#include <string>

namespace trevask::measurement_library {

class TaskException : public std::runtime_error {
public:
    explicit TaskException(const std::string& message) : std::runtime_error(message) {}
};

// Deliberately not derived from TaskException: the task frame tells the two
// apart by type.
class TaskTimeoutException : public std::runtime_error {
public:
    explicit TaskTimeoutException(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace trevask::measurement_library
