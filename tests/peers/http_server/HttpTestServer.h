#pragma once
// A scripted loopback HTTP/1.1 server for tests, plain or TLS (self-signed),
// running on its own threads. It records every request exactly as it came
// (method, request target including absolute-form targets, headers in their
// order, body, peer address) and answers from a script of rules keyed by
// method and path: status, headers, body, a delay, or a misbehaviour (close
// without answering, stay silent). Every wait inside the server is bounded
// and stop() ends every thread.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace lumivex::test {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

struct RecordedRequest {
    std::string method;
    std::string target;   // as sent: origin form "/p?q" or absolute form "http://h/p?q"
    std::string path;     // the target's path, without scheme, authority and query
    std::string query;    // the text after "?", empty when none
    std::string version;  // "HTTP/1.1"
    HeaderList headers;   // in the order received, names as sent
    std::string body;     // de-chunked when sent chunked
    std::string peerAddress;
    std::uint16_t peerPort = 0;
    bool tls = false;

    // The first header of that name (case-insensitive), if any.
    std::optional<std::string> header(std::string_view name) const;
    std::size_t headerCount(std::string_view name) const;
};

struct ScriptedReply {
    enum class Action {
        Answer,  // status line, headers and body after `delay`
        Close,   // close the connection without answering (after `delay`)
        Silent,  // keep the connection open without answering until the server stops
        StallMidBody,  // announce a longer body, send `body`, then stay silent until the server stops
        Drip,    // the whole answer, one byte every `dripInterval`
        Stream,  // a chunked body of `streamBytes` filler bytes (0: never ends)
    };
    Action action = Action::Answer;
    int status = 200;
    std::string reason;  // empty: the usual reason phrase of the status
    HeaderList headers;
    std::string body;
    std::chrono::milliseconds delay{0};
    // Send a Content-Length header (never for 1xx, 204 and 304). Without it
    // the body ends when the server closes the connection.
    bool contentLength = true;
    std::chrono::milliseconds dripInterval{1000};
    std::size_t streamBytes = 0;

    static ScriptedReply json(int status, std::string body);
    static ScriptedReply text(int status, std::string body, std::string contentType = "text/plain");
    static ScriptedReply empty(int status);
    static ScriptedReply close();
    static ScriptedReply silent();
    static ScriptedReply stallMidBody(int status, std::string partialBody);
    // `reply` sent one byte every `interval`.
    static ScriptedReply drip(ScriptedReply reply, std::chrono::milliseconds interval);
    // A chunked 200 answer of `bytes` filler bytes; 0 never ends.
    static ScriptedReply stream(int status, std::size_t bytes);
    ScriptedReply&& after(std::chrono::milliseconds wait) &&;
    ScriptedReply&& withHeader(std::string name, std::string value) &&;
};

// Computes a reply from the request; runs on the connection's thread.
using ReplyHandler = std::function<ScriptedReply(const RecordedRequest&)>;

class HttpTestServer {
public:
    struct Options {
        bool tls = false;
        std::string bindAddress = "127.0.0.1";  // "::1" for IPv6
        // Bound on every socket read and write of the server.
        std::chrono::milliseconds ioTimeout{5000};
    };

    HttpTestServer();
    explicit HttpTestServer(Options options);
    ~HttpTestServer();
    HttpTestServer(const HttpTestServer&) = delete;
    HttpTestServer& operator=(const HttpTestServer&) = delete;

    // Binds port 0 on the bind address and starts accepting; throws
    // std::runtime_error when the socket cannot be set up.
    void start();
    // Stops accepting, closes every connection (silent and delayed replies
    // end at once) and joins every thread. Afterwards the port refuses.
    void stop();

    std::uint16_t port() const { return port_; }
    // "http://127.0.0.1:PORT" or "https://[::1]:PORT", without a trailing slash.
    std::string baseUrl() const;

    // --- script ---------------------------------------------------------------
    // Rules are tried from the most recently added to the oldest; the first
    // that matches answers. `method` "*" matches every method; `path` is
    // compared with the request's path (query excluded).
    void on(std::string method, std::string path, ScriptedReply reply);
    void on(std::string method, std::string path, ReplyHandler handler);
    // Matches every path that starts with `prefix`.
    void onPrefix(std::string method, std::string prefix, ReplyHandler handler);
    // The reply when no rule matches; initially 404 with {"errors":"not found"}.
    void setFallback(ScriptedReply reply);
    // Every rule is dropped; the fallback stays.
    void clearRules();
    // Close every new connection as soon as it is accepted, before any byte.
    void setCloseOnAccept(bool close);

    // --- what was seen -----------------------------------------------------------
    std::vector<RecordedRequest> requests() const;
    std::optional<RecordedRequest> lastRequest() const;
    std::size_t requestCount() const;
    // True once `count` requests were recorded; false after `timeout`.
    bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const;
    void clearRequests();
    std::size_t connectionCount() const;

private:
    struct Rule {
        std::string method;
        std::string path;
        bool prefix = false;
        ReplyHandler handler;
    };
    class Connection;

    void acceptLoop();
    void serve(std::shared_ptr<Connection> connection);
    ScriptedReply replyFor(const RecordedRequest& request) const;
    // Waits up to `wait`, or until the server stops; false when it stopped.
    bool pause(std::chrono::milliseconds wait);

    Options options_;
    void* tlsContext_ = nullptr;  // SSL_CTX*
    int listenFd_ = -1;
    std::uint16_t port_ = 0;
    std::thread acceptThread_;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool stopping_ = false;
    bool started_ = false;
    bool closeOnAccept_ = false;
    std::vector<Rule> rules_;
    ScriptedReply fallback_;
    std::vector<RecordedRequest> requests_;
    std::vector<std::weak_ptr<Connection>> connections_;
    std::vector<std::thread> connectionThreads_;
    std::size_t connectionCount_ = 0;
};

}  // namespace lumivex::test
