#pragma once
// A loopback stand-in for the measurement back end: the controller
// (agent registration, LMAP control document) and the collector (LMAP
// report), over HTTP or HTTPS with a self-signed certificate. Built on the
// scripted HttpTestServer: every request is recorded as it came (absolute-form
// targets included), and each endpoint can be told to misbehave.
//
// Endpoints, recognised by the end of the request path so that any base
// ("/api/v1/", "/api/v2", "//api/v1/") reaches them:
//   POST .../measurement-agents   registration: the test's registration answer
//   POST .../measurements         control document: the test's document, as given
//                                 (not below ".../measurement-agents/")
//   POST <collectorPath>          report: {"data":{"uuid","open_data_uuid"}}
// The UI's REST paths, any method (history, certified measurements, monthly
// count, map tiles and markers, news, address echo):
//   .../measurement-agents/...
//   .../tiles/info, .../tiles/markers, .../news
//                                 the test's UI answer, by default an echo of
//                                 the request: {"data":{"method","path","query","body"}}
//   GET .../ip                    {"data":{"ip_address":<the client's address
//                                 as seen, or the test's>,"ip_version":...}}
//   GET <path of serveObject>     the object's body
// Anything else gets 404.

#include "HttpTestServer.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace lumivex::test {

class BackendServer {
public:
    enum class Endpoint { Registration, Control, Collector, Ui, Other };

    // What an endpoint does instead of answering normally.
    enum class Misbehaviour {
        None,
        Close,       // close the connection without answering
        Silent,      // never answer (the client's time-out ends the exchange)
        ServerError, // 500 with the normal body (a readable answer with a bad status)
        ServerErrorNoData,  // 500 with {"errors":["internal"]}
        NonJson,     // 200 with an HTML page
        EmptyBody,   // 200 with no body
        Slow,        // the normal answer after `slowDelay`
        Drip,        // the normal answer, one byte every `dripInterval`
        Endless,     // a chunked body that never ends
        Huge,        // a chunked body of `hugeBytes` bytes
        NotFound,    // 404 with {"errors":["not found"]}
        RedirectLoop,  // 302 back to the same URL, every time
    };

    struct Options {
        bool tls = false;
        // Path of the collector (the report goes to baseUrl() + collectorPath).
        std::string collectorPath = "/collector/result";
        std::chrono::milliseconds ioTimeout{5000};
        std::chrono::milliseconds slowDelay{1500};
        std::chrono::milliseconds dripInterval{1000};
        std::size_t hugeBytes = 64u << 20;
        // Called on the connection's thread for every request, before it is
        // answered. Must not throw.
        std::function<void(Endpoint, const RecordedRequest&)> onRequest;
    };

    BackendServer();
    explicit BackendServer(Options options);
    ~BackendServer();
    BackendServer(const BackendServer&) = delete;
    BackendServer& operator=(const BackendServer&) = delete;

    void start();
    void stop();

    std::uint16_t port() const { return server_.port(); }
    // "http://127.0.0.1:PORT" (https for TLS), no trailing slash.
    std::string baseUrl() const { return server_.baseUrl(); }
    // The controller URL an agent is given: the base URL itself.
    std::string controllerUrl() const { return baseUrl(); }
    std::string collectorUrl() const { return baseUrl() + options_.collectorPath; }

    // --- answers -----------------------------------------------------------------
    // The registration answer's whole body. Default: {"data":{"agent_uuid":<uuid>,
    // "settings":{"urls":{...}}}} with the UUID given to setAgentUuid.
    void setRegistrationBody(std::string body);
    // The UUID the default registration answer assigns (and optionally the
    // collector address it announces).
    void setAgentUuid(std::string uuid, std::optional<std::string> collectorService = std::nullopt);
    // The control document's whole body, sent as given (wire key names).
    // Default: a document without tasks.
    void setControlDocument(std::string body);
    // The UUIDs the collector answers a report with.
    void setCollectorUuids(std::string uuid, std::string openDataUuid);
    // The collector's whole answer body (overrides setCollectorUuids).
    void setCollectorBody(std::string body);
    void misbehave(Endpoint endpoint, Misbehaviour misbehaviour);
    // The whole body of every UI answer except the address echo; no value
    // restores the echo of the request.
    void setUiBody(std::optional<std::string> body);
    // The address the echo endpoint reports; no value reports the client's
    // own address (so the agent sees itself as public).
    void setReportedIp(std::optional<std::string> address);
    // Close every connection as soon as it is accepted.
    void refuseConnections(bool refuse) { server_.setCloseOnAccept(refuse); }
    // GET `path` (exactly) answers 200 with `body` as application/octet-stream
    // (classified as Other).
    void serveObject(const std::string& path, std::string body);

    // --- what was seen -------------------------------------------------------
    std::vector<RecordedRequest> requests() const { return server_.requests(); }
    std::vector<RecordedRequest> requests(Endpoint endpoint) const;
    std::size_t count(Endpoint endpoint) const { return requests(endpoint).size(); }
    bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
        return server_.waitForRequests(count, timeout);
    }
    void clearRequests() { server_.clearRequests(); }

    Endpoint classify(const RecordedRequest& request) const;
    static const char* endpointName(Endpoint endpoint);

private:
    ScriptedReply answer(const RecordedRequest& request);
    ScriptedReply normalAnswer(Endpoint endpoint, const RecordedRequest& request);

    Options options_;
    HttpTestServer server_;

    mutable std::mutex mutex_;
    std::optional<std::string> registrationBody_;
    std::string agentUuid_ = "11111111-2222-4333-8444-555555555555";
    std::optional<std::string> collectorService_;
    std::string controlDocument_;
    std::optional<std::string> collectorBody_;
    std::string measurementUuid_ = "aaaaaaaa-0000-4000-8000-000000000001";
    std::string openDataUuid_ = "bbbbbbbb-0000-4000-8000-000000000002";
    std::map<Endpoint, Misbehaviour> misbehaviour_;
    std::optional<std::string> uiBody_;
    std::optional<std::string> reportedIp_;
};

}  // namespace lumivex::test
