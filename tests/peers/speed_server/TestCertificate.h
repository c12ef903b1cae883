#pragma once

// A self-signed certificate for "localhost" and 127.0.0.1, made in memory
// (EC P-256 key, valid for a day).

#include <string>

namespace speed_server {

struct TestCertificate {
    std::string certificate_pem;
    std::string private_key_pem;
};

TestCertificate make_test_certificate();

} // namespace speed_server
