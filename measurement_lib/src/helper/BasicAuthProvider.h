#pragma once
// Providers of the HTTP basic credentials sent to controller and collector.

#include <memory>

namespace Poco::Net {
class HTTPBasicCredentials;
}

namespace trevask::measurement_library {

class BasicAuthProvider {
public:
    virtual ~BasicAuthProvider() = default;
    virtual std::unique_ptr<Poco::Net::HTTPBasicCredentials> getCredentials() = 0;
};

// Identifies the machine: the user name is the board id, the password the
// lower-case hexadecimal SHA-512 of it.
class BoardIdBasicAuthProvider : public BasicAuthProvider {
public:
    ~BoardIdBasicAuthProvider() override = default;
    std::unique_ptr<Poco::Net::HTTPBasicCredentials> getCredentials() override;
};

}  // namespace trevask::measurement_library
