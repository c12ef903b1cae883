#pragma once
// A throw-away self-signed certificate for the loopback test servers,
// generated in memory with OpenSSL (EC P-256, valid for "localhost",
// 127.0.0.1 and ::1).

#include <string>

namespace lumivex::test {

struct PemCredentials {
    std::string certificate;  // PEM "CERTIFICATE"
    std::string privateKey;   // PEM "PRIVATE KEY"
};

// A fresh certificate and key; throws std::runtime_error when OpenSSL fails.
PemCredentials generateSelfSignedCertificate(const std::string& commonName = "localhost");

// One certificate per process, generated on first use.
const PemCredentials& sharedTestCredentials();

}  // namespace lumivex::test
