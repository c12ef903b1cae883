#pragma once
// Takes the "data" or "errors" member out of the back end's response envelope.

#include <optional>
#include <string>

namespace trevask::measurement_library {

class ApiDataParser {
public:
    // The "data" member as compact JSON text; no value when the body is not a
    // JSON object or the member is missing or null. Never throws.
    static std::optional<std::string> getData(const std::string& body);
    // The same for the "errors" member.
    static std::optional<std::string> getErrors(const std::string& body);
};

}  // namespace trevask::measurement_library
