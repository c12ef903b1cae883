#pragma once
// Base of every request record sent to the back end. Each record's writer
// puts its Java-style server class name first, under "deserialize_type".

#include <string>
#include <utility>

namespace trevask::measurement_library {

class BasicRequest {
public:
    BasicRequest() = default;
    explicit BasicRequest(std::string type) : deserialize_type(std::move(type)) {}
    virtual ~BasicRequest() = default;

    BasicRequest(const BasicRequest&) = default;
    BasicRequest& operator=(const BasicRequest&) = default;
    BasicRequest(BasicRequest&&) = default;
    BasicRequest& operator=(BasicRequest&&) = default;

    std::string deserialize_type;
};

}  // namespace trevask::measurement_library
