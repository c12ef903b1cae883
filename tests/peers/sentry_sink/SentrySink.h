#pragma once
// A loopback HTTP server that stands in for the crash-reporting service: it
// accepts envelopes on POST /api/{project}/envelope/, parses them and keeps
// them for the test to inspect. Switches: the HTTP status to answer, and a
// delay before answering.

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace Poco::Net {
class HTTPServer;
}

namespace lumivex::peers {

struct EnvelopeItem {
    std::string type;            // "event", "transaction", ...
    boost::json::object header;
    boost::json::value payload;  // null when the payload is not JSON
};

struct ReceivedEnvelope {
    std::string method;
    std::string path;
    std::string authHeader;   // X-Sentry-Auth
    std::string contentType;
    std::string body;
    boost::json::object header;
    std::vector<EnvelopeItem> items;
    std::string error;        // why parsing failed; empty when it did not
};

struct SentrySinkOptions {
    int status = 200;
    std::chrono::milliseconds delay{0};
    // HTTPS with this PEM certificate and key when both are given.
    std::string tlsCertificate;
    std::string tlsKey;
};

class SentrySink {
public:
    explicit SentrySink(SentrySinkOptions options = {});
    ~SentrySink();
    SentrySink(const SentrySink&) = delete;
    SentrySink& operator=(const SentrySink&) = delete;

    std::uint16_t port() const { return port_; }
    // "http{s}://{key}@127.0.0.1:{port}/{project}"
    std::string dsn(const std::string& key = "publickey", const std::string& project = "42") const;

    std::vector<ReceivedEnvelope> envelopes() const;
    // All items of the given type, in arrival order.
    std::vector<EnvelopeItem> items(const std::string& type) const;
    // Waits until `done` holds for the received envelopes or the time is up.
    bool waitFor(const std::function<bool(const std::vector<ReceivedEnvelope>&)>& done,
                 std::chrono::milliseconds timeout) const;
    bool waitForItems(const std::string& type, std::size_t count, std::chrono::milliseconds timeout) const;

    // Parses one envelope text (also used by tests on observed envelopes).
    static ReceivedEnvelope parseEnvelope(const std::string& body);

    void record(ReceivedEnvelope envelope);
    const SentrySinkOptions& options() const { return options_; }

private:
    SentrySinkOptions options_;
    std::unique_ptr<Poco::Net::HTTPServer> server_;
    std::uint16_t port_ = 0;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<ReceivedEnvelope> envelopes_;
};

}  // namespace lumivex::peers
