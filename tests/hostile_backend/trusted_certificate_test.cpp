// The back end's certificate is checked against the trust store, host name
// included. The test's own certificate authority is the trust store here
// (OpenSSL's SSL_CERT_FILE); it must be in place before the first HTTPS
// request of the process, hence an executable of its own.

#include "BackendServer.h"
#include "ChildProcess.h"
#include "ScopedEnvironment.h"
#include "common/TestCertificate.h"

#include "service/HttpConnectionService.h"

#include <gtest/gtest.h>

#include <netdb.h>
#include <netinet/in.h>
#include <unistd.h>

#include <fstream>
#include <optional>
#include <string>

namespace {

using lumivex::test::BackendServer;
using trevask::measurement_library::HttpConnectionService;

bool post(const std::string& url) {
    HttpConnectionService::Exchange exchange;
    exchange.buildBody = [] { return std::string("{}"); };
    exchange.readAnswer = [](std::string&, int) {};
    return HttpConnectionService::getInstance().exchange(url, "POST", exchange, 5000);
}

// This machine's host name when it resolves to 127.0.0.1 (and is not
// "localhost").
std::optional<std::string> loopbackHostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || std::string(name).empty() || std::string(name) == "localhost") {
        return std::nullopt;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* found = nullptr;
    if (::getaddrinfo(name, nullptr, &hints, &found) != 0) return std::nullopt;
    bool loopback = false;
    for (addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
        const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ai_addr);
        if (ntohl(address->sin_addr.s_addr) == INADDR_LOOPBACK) loopback = true;
    }
    ::freeaddrinfo(found);
    if (!loopback) return std::nullopt;
    return std::string(name);
}

}  // namespace

TEST(TrustedCertificate, ATrustedCertificateIsAcceptedOnlyForItsOwnNames) {
    lumivex::test::TempDir dir("/tmp/lumivex-trust-XXXXXX");
    const std::string trustStore = dir.file("ca.pem");
    std::ofstream(trustStore) << lumivex::test_peers::sharedTestCertificate().certificatePem;
    lumivex::test::ScopedEnvironment trust("SSL_CERT_FILE", trustStore);
    ::unsetenv(lumivex::test::kInsecureBackendTls);

    BackendServer::Options options;
    options.tls = true;
    BackendServer backend(options);
    backend.start();
    const std::string port = std::to_string(backend.port());

    // The certificate names DNS:localhost and IP:127.0.0.1.
    EXPECT_TRUE(post("https://127.0.0.1:" + port + "/api/v1/measurement-agents"))
        << HttpConnectionService::getInstance().lastFailure();
    EXPECT_TRUE(post("https://localhost:" + port + "/api/v1/measurement-agents"))
        << HttpConnectionService::getInstance().lastFailure();
    EXPECT_EQ(backend.count(BackendServer::Endpoint::Registration), 2u);

    // The machine's own name, where it leads to 127.0.0.1, reaches the same
    // server but is not a name of the certificate.
    const auto otherName = loopbackHostName();
    if (!otherName) GTEST_SKIP() << "the host name does not lead to 127.0.0.1 here";
    EXPECT_FALSE(post("https://" + *otherName + ":" + port + "/api/v1/measurement-agents"));
    const std::string failure = HttpConnectionService::getInstance().lastFailure();
    EXPECT_NE(failure.find("ertificate"), std::string::npos) << failure;
    EXPECT_EQ(backend.count(BackendServer::Endpoint::Registration), 2u);
}
