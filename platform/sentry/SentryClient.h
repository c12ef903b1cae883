#pragma once
// A small crash-reporting client that speaks the Sentry envelope protocol.
//
// It keeps one process-wide scope (user, tags, contexts, a ring of the last
// 100 breadcrumbs), turns captured events and finished transactions into
// envelopes and posts them from one transport thread to the endpoint that the
// DSN names. Until init() has run it is inert: no thread, no file, no network,
// breadcrumbs and events are dropped. The send queue is bounded (the oldest
// envelope makes room). close() flushes for a bounded time (the shutdown
// time-out bounds the whole call), stops the transport thread and returns
// to the inert state; init() may be called again afterwards.
//
// A fatal signal (SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT) leaves a marker in
// the database folder; the next init() sends it as a fatal event.

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace lumivex::platform::sentry {

// $XDG_STATE_HOME/lumivex/crash-reports, else ~/.local/state/lumivex/crash-reports,
// else /tmp/lumivex-<uid>/crash-reports.
std::filesystem::path defaultDatabasePath();

// Longest text kept in span data; longer texts are cut to it and followed by
// a note of their full size.
inline constexpr std::size_t kMaxSpanTextBytes = 4 * 1024;
// Largest envelope handed to the transport (crash-report services refuse
// events over 1 MB): a larger event loses its breadcrumbs, then its spans'
// data, then its spans; one still larger is dropped.
inline constexpr std::size_t kMaxEnvelopeBytes = 1024 * 1024;

// text, or its first kMaxSpanTextBytes bytes and " ... [cut, N bytes in full]".
std::string boundedSpanText(std::string text);

struct Options {
    std::string dsn;                  // empty or malformed: events are dropped
    bool debug = false;               // client diagnostics on standard error
    std::size_t maxSpans = 1000;      // child spans kept per transaction
    double tracesSampleRate = 0.0;    // share of transactions sent
    double sampleRate = 1.0;          // share of events sent
    bool autoSessionTracking = true;  // kept; sessions need a release, which the agent never sets
    std::string environment = "production";
    std::string release;              // empty: no "release" member
    // Folder of the crash marker: made private to the user (0700, whatever
    // the umask) and refused when it is a symlink or belongs to someone else;
    // the client then keeps no files. Default: defaultDatabasePath().
    std::filesystem::path databasePath = defaultDatabasePath();
    std::chrono::milliseconds shutdownTimeout{2000};        // bound of close() as a whole
    std::size_t maxQueuedEnvelopes = 100;  // beyond this the oldest queued envelope is dropped
    std::chrono::milliseconds requestTimeout{5000};         // bound of one HTTP exchange
    std::filesystem::path caCertificates;  // PEM file of trusted CAs for HTTPS; empty: the system's
};

enum class Level { Debug, Info, Warning, Error, Fatal };
const char* levelText(Level level);

// The parts of a DSN "{scheme}://{key}[:{secret}]@{host}[:{port}]/[{path}/]{project}".
struct Dsn {
    std::string scheme;
    std::string publicKey;
    std::string host;
    std::uint16_t port = 0;  // 0: the scheme's default
    std::string pathPrefix;  // "" or "/some/path"
    std::string projectId;

    static std::optional<Dsn> parse(std::string_view text);
    // "{scheme}://{host}[:{port}]{path}/api/{project}/envelope/"
    std::string envelopeUrl() const;
    // The X-Sentry-Auth header value.
    std::string authHeader() const;
};

// Transaction and span handles; 0 is "none". A handle that is finished, or
// that belongs to an earlier init(), is ignored.
using TransactionId = std::uint64_t;
using SpanId = std::uint64_t;

bool init(Options options);  // false when already initialised
void close();
bool isInitialized();
// Waits until the transport queue is empty or the time is up.
bool flush(std::chrono::milliseconds timeout);
// Envelopes dropped since the process started: the queue was full, or they
// were still queued when the client closed.
std::uint64_t droppedEnvelopes();
// The folder the client keeps its crash marker in, once init() has made sure
// it is private; empty when it refused the configured folder (or before init).
std::filesystem::path databaseFolder();

// Sees the text of every envelope handed to the transport, on the thread
// that produced it (tests use it to observe what would be sent).
using EnvelopeObserver = std::function<void(const std::string& envelope)>;
void setEnvelopeObserver(EnvelopeObserver observer);

// --- scope: kept in memory in any state, cleared by close() ---------------
void setLevel(Level level);
void setUser(boost::json::object user);
void removeUser();
void setTag(std::string key, std::string value);
void removeTag(const std::string& key);
void setContext(std::string name, boost::json::object value);
void removeContext(const std::string& name);
// Dropped while not initialised. A breadcrumb without "timestamp" gets now.
void addBreadcrumb(boost::json::object breadcrumb);

// Creates an event object carrying a fresh "event_id", "timestamp" and
// "platform" "native"; capture it with captureEvent.
boost::json::object newEvent();
// Adds the scope, samples, queues; returns the event id, or "" when dropped.
std::string captureEvent(boost::json::object event);

TransactionId startTransaction(std::string name, std::string operation);
SpanId startChild(TransactionId transaction, std::string operation, std::string description);
void setSpanData(SpanId span, std::string key, boost::json::value value);
void finishSpan(SpanId span);
void finishTransaction(TransactionId transaction);

// --- helpers shared with the signal marker and tests -------------------------
std::string newUuidHex();                                   // 32 lower-case hex digits
std::string isoTimestamp(std::chrono::system_clock::time_point time);  // RFC 3339, microseconds, "Z"

}  // namespace lumivex::platform::sentry
