#pragma once
// Self-signed TLS certificates for the test peers, made in memory with
// OpenSSL at start-up so no key material is kept in the repository.

#include <string>

namespace lumivex::test_peers {

struct TestCertificate {
    std::string certificatePem;
    std::string privateKeyPem;
};

// A new RSA-2048 key and a self-signed X.509 v3 certificate (SHA-256) for
// commonName, with the subject alternative names DNS:commonName and
// IP:127.0.0.1, valid from an hour ago for 30 days. Throws std::runtime_error
// when OpenSSL fails.
TestCertificate generateSelfSignedCertificate(const std::string& commonName = "localhost");

// One certificate per process, generated on first use (key generation takes
// a noticeable fraction of a second).
const TestCertificate& sharedTestCertificate();

}  // namespace lumivex::test_peers
