#include "platform/sentry/SentryClient.h"

#include "platform/system/PrivateDirectory.h"

#include "platform/sentry/SentryTransport.h"

#include <boost/json/array.hpp>
#include <boost/json/serialize.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <unordered_map>

namespace lumivex::platform::sentry {

namespace json = boost::json;

namespace {

constexpr std::size_t kMaxBreadcrumbs = 100;
constexpr const char* kSdkName = "lumivex.native";
constexpr const char* kSdkVersion = "1.0.0";
constexpr const char* kCrashMarkerName = "last_crash";
// Room kept in an envelope for its two header lines.
constexpr std::size_t kEnvelopeOverhead = 1024;

double unixSeconds(std::chrono::system_clock::time_point time) {
    return std::chrono::duration<double>(time.time_since_epoch()).count();
}

std::mt19937_64& randomEngine() {
    thread_local std::mt19937_64 engine{[] {
        std::random_device device;
        std::seed_seq seed{device(), device(), device(), device()};
        return std::mt19937_64(seed);
    }()};
    return engine;
}

bool sampled(double rate) {
    if (rate >= 1.0) return true;
    if (!(rate > 0.0)) return false;
    return std::uniform_real_distribution<double>(0.0, 1.0)(randomEngine()) < rate;
}

std::string randomHex(std::size_t digits) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(digits);
    auto& engine = randomEngine();
    while (out.size() < digits) {
        auto bits = engine();
        for (int i = 0; i < 16 && out.size() < digits; ++i) {
            out.push_back(hex[bits & 0xF]);
            bits >>= 4;
        }
    }
    return out;
}

// ---- scope -----------------------------------------------------------------

struct Scope {
    std::optional<Level> level;
    json::object user;
    bool hasUser = false;
    std::map<std::string, std::string> tags;
    std::map<std::string, json::object> contexts;
    std::deque<json::object> breadcrumbs;
};

// ---- transactions ----------------------------------------------------------

struct TransactionData {
    std::string name;
    std::string operation;
    std::string traceId;
    std::string spanId;
    std::chrono::system_clock::time_point start;
    bool sampled = true;
    std::size_t spansStarted = 0;
    json::array finishedSpans;
};

struct SpanData {
    TransactionId transaction = 0;
    std::string operation;
    std::string description;
    std::string spanId;
    std::chrono::system_clock::time_point start;
    json::object data;
};

// ---- fatal-signal marker -----------------------------------------------------

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
constexpr std::size_t kSignalCount = sizeof(kFatalSignals) / sizeof(kFatalSignals[0]);
// The private database folder, open while the client runs; the marker is
// made relative to it, so no path can be swapped underneath.
int g_databaseFd = -1;
struct sigaction g_previousActions[kSignalCount];
bool g_handlersInstalled = false;

// Writes the unsigned number into buf (no terminator); returns its length.
std::size_t formatUnsigned(char* buf, unsigned long long value) {
    char tmp[24];
    std::size_t n = 0;
    do {
        tmp[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (std::size_t i = 0; i < n; ++i) buf[i] = tmp[n - 1 - i];
    return n;
}

// Only async-signal-safe calls in here.
extern "C" void onFatalSignal(int signal) {
    // A fresh file, never one found in its place: whatever is there (an
    // earlier marker, or a planted link) is removed first, and the marker is
    // created exclusively without following links.
    ::unlinkat(g_databaseFd, kCrashMarkerName, 0);
    int fd = ::openat(g_databaseFd, kCrashMarkerName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) {
        char line[96];
        std::size_t n = 0;
        static constexpr char signalKey[] = "signal=";
        static constexpr char timeKey[] = " time=";
        std::memcpy(line + n, signalKey, sizeof(signalKey) - 1);
        n += sizeof(signalKey) - 1;
        n += formatUnsigned(line + n, static_cast<unsigned long long>(signal));
        std::memcpy(line + n, timeKey, sizeof(timeKey) - 1);
        n += sizeof(timeKey) - 1;
        struct timespec now {};
        ::clock_gettime(CLOCK_REALTIME, &now);
        n += formatUnsigned(line + n, static_cast<unsigned long long>(now.tv_sec));
        line[n++] = '\n';
        ssize_t written = ::write(fd, line, n);
        (void)written;
        ::close(fd);
    }
    // Hand the signal to whoever had it before (normally the default action,
    // which ends the process once this handler returns).
    for (std::size_t i = 0; i < kSignalCount; ++i) {
        if (kFatalSignals[i] == signal) ::sigaction(signal, &g_previousActions[i], nullptr);
    }
    ::raise(signal);
}

void installSignalHandlers() {
    if (g_databaseFd < 0) return;
    struct sigaction action {};
    action.sa_handler = onFatalSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    for (std::size_t i = 0; i < kSignalCount; ++i) ::sigaction(kFatalSignals[i], &action, &g_previousActions[i]);
    g_handlersInstalled = true;
}

void removeSignalHandlers() {
    if (!g_handlersInstalled) return;
    for (std::size_t i = 0; i < kSignalCount; ++i) ::sigaction(kFatalSignals[i], &g_previousActions[i], nullptr);
    g_handlersInstalled = false;
}

// The first line of the crash marker (at most 255 bytes), read without
// following a link; the marker, or whatever was planted in its place, is
// removed. Empty when there is none.
std::string takeCrashMarker(int folder) {
    std::string line;
    const int fd = ::openat(folder, kCrashMarkerName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        struct stat info {};
        if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
            char buffer[256];
            const ssize_t n = ::read(fd, buffer, sizeof buffer - 1);
            if (n > 0) line.assign(buffer, static_cast<std::size_t>(n));
        }
        ::close(fd);
    }
    ::unlinkat(folder, kCrashMarkerName, 0);
    return line.substr(0, line.find('\n'));
}

const char* signalName(int signal) {
    switch (signal) {
        case SIGSEGV: return "SIGSEGV";
        case SIGBUS: return "SIGBUS";
        case SIGILL: return "SIGILL";
        case SIGFPE: return "SIGFPE";
        case SIGABRT: return "SIGABRT";
        default: return "UNKNOWN";
    }
}

// ---- the client ---------------------------------------------------------------

class Client {
public:
    static Client& instance() {
        static Client* client = new Client();  // outlives every static destructor that might log
        return *client;
    }

    bool init(Options options);
    void close();
    bool isInitialized() const {
        std::lock_guard lock(stateMutex_);
        return transport_ != nullptr;
    }
    bool flush(std::chrono::milliseconds timeout) {
        std::shared_ptr<Transport> transport;
        {
            std::lock_guard lock(stateMutex_);
            transport = transport_;
        }
        return transport ? transport->flush(timeout) : true;
    }
    std::uint64_t dropped() const {
        std::shared_ptr<Transport> transport;
        {
            std::lock_guard lock(stateMutex_);
            transport = transport_;
        }
        return droppedBefore_ + (transport ? transport->dropped() : 0);
    }
    void setObserver(EnvelopeObserver observer) {
        std::lock_guard lock(observerMutex_);
        observer_ = std::move(observer);
    }

    std::filesystem::path databaseFolder() const {
        std::lock_guard lock(stateMutex_);
        return databaseFolder_;
    }

    Scope& scope() { return scope_; }
    std::mutex& scopeMutex() { return scopeMutex_; }

    void addBreadcrumb(json::object crumb);
    std::string captureEvent(json::object event);

    TransactionId startTransaction(std::string name, std::string operation);
    SpanId startChild(TransactionId transaction, std::string operation, std::string description);
    void setSpanData(SpanId span, std::string key, json::value value);
    void finishSpan(SpanId span);
    void finishTransaction(TransactionId transaction);

private:
    void debugLog(const std::string& text) const {
        if (debug_) std::cerr << "[sentry] " << text << std::endl;
    }
    void applyScope(json::object& event, bool withBreadcrumbs);
    void submit(const std::string& eventId, const char* itemType, const json::object& payload);
    void sendPendingCrash();

    mutable std::mutex stateMutex_;
    Options options_;
    std::atomic<bool> debug_{false};
    std::shared_ptr<Transport> transport_;
    std::atomic<std::uint64_t> nextId_{1};
    std::atomic<std::uint64_t> droppedBefore_{0};  // by transports already closed
    std::unordered_map<TransactionId, TransactionData> transactions_;
    std::unordered_map<SpanId, SpanData> spans_;
    std::filesystem::path databaseFolder_;  // empty while no private folder is open

    std::mutex scopeMutex_;
    Scope scope_;

    std::mutex observerMutex_;
    EnvelopeObserver observer_;
};

bool Client::init(Options options) {
    {
        std::lock_guard lock(stateMutex_);
        if (transport_) return false;
        options_ = std::move(options);
        debug_ = options_.debug;
        auto dsn = Dsn::parse(options_.dsn);
        if (!dsn) debugLog("invalid or empty DSN \"" + options_.dsn + "\"; events will be dropped");
        std::string why;
        const int folder = openPrivateDirectory(options_.databasePath, why);
        if (folder < 0) {
            // Refused, not worked around: events are still sent, but no crash
            // marker is written or read.
            std::cerr << "[sentry] crash marker disabled: " << why << std::endl;
        } else {
            if (g_databaseFd >= 0) ::close(g_databaseFd);
            g_databaseFd = folder;
            std::error_code ec;
            databaseFolder_ = std::filesystem::absolute(options_.databasePath, ec);
        }
        transport_ = std::make_shared<Transport>(std::move(dsn), options_.requestTimeout, options_.debug,
                                                 options_.caCertificates.string(), options_.maxQueuedEnvelopes);
    }
    debugLog("initialized");
    if (g_databaseFd >= 0) {
        sendPendingCrash();
        installSignalHandlers();
    }
    return true;
}

void Client::close() {
    std::shared_ptr<Transport> transport;
    std::chrono::milliseconds timeout{};
    {
        std::lock_guard lock(stateMutex_);
        if (!transport_) return;
        transport = std::move(transport_);
        timeout = options_.shutdownTimeout;
        transactions_.clear();
        spans_.clear();
    }
    removeSignalHandlers();
    {
        std::lock_guard lock(stateMutex_);
        if (g_databaseFd >= 0) ::close(g_databaseFd);
        g_databaseFd = -1;
        databaseFolder_.clear();
    }
    transport->shutdown(timeout);
    droppedBefore_ += transport->dropped();
    {
        std::lock_guard lock(scopeMutex_);
        scope_ = Scope{};
    }
    debugLog("closed");
}

void Client::addBreadcrumb(json::object crumb) {
    std::size_t limit = 0;
    {
        std::lock_guard lock(stateMutex_);
        if (!transport_) return;
        limit = kMaxBreadcrumbs;
    }
    if (!crumb.contains("timestamp")) crumb["timestamp"] = isoTimestamp(std::chrono::system_clock::now());
    std::lock_guard lock(scopeMutex_);
    scope_.breadcrumbs.push_back(std::move(crumb));
    while (scope_.breadcrumbs.size() > limit) scope_.breadcrumbs.pop_front();
}

void Client::applyScope(json::object& event, bool withBreadcrumbs) {
    {
        std::lock_guard lock(stateMutex_);
        if (!event.contains("environment") && !options_.environment.empty()) event["environment"] = options_.environment;
        if (!event.contains("release") && !options_.release.empty()) event["release"] = options_.release;
    }
    if (!event.contains("sdk")) event["sdk"] = json::object{{"name", kSdkName}, {"version", kSdkVersion}};
    std::lock_guard lock(scopeMutex_);
    if (!event.contains("level")) event["level"] = scope_.level ? levelText(*scope_.level) : "error";
    if (scope_.hasUser && !event.contains("user")) event["user"] = scope_.user;
    if (!scope_.tags.empty()) {
        json::object tags;
        for (const auto& [key, value] : scope_.tags) tags[key] = value;
        if (auto* own = event.if_contains("tags"); own && own->is_object()) {
            for (const auto& member : own->get_object()) tags[member.key()] = member.value();
        }
        event["tags"] = std::move(tags);
    }
    if (!scope_.contexts.empty()) {
        json::object contexts;
        for (const auto& [name, value] : scope_.contexts) contexts[name] = value;
        if (auto* own = event.if_contains("contexts"); own && own->is_object()) {
            for (const auto& member : own->get_object()) contexts[member.key()] = member.value();
        }
        event["contexts"] = std::move(contexts);
    }
    if (withBreadcrumbs && !scope_.breadcrumbs.empty() && !event.contains("breadcrumbs")) {
        json::array values;
        for (const auto& crumb : scope_.breadcrumbs) values.push_back(crumb);
        event["breadcrumbs"] = json::object{{"values", std::move(values)}};
    }
}

void Client::submit(const std::string& eventId, const char* itemType, const json::object& original) {
    std::string body = json::serialize(original);
    if (body.size() + kEnvelopeOverhead > kMaxEnvelopeBytes) {
        // Shed what weighs most and tells least, step by step.
        json::object payload = original;
        const auto shed = [&](const char* what, auto&& cut) {
            if (body.size() + kEnvelopeOverhead <= kMaxEnvelopeBytes) return;
            const std::size_t before = body.size();
            cut();
            body = json::serialize(payload);
            if (body.size() < before) {
                std::cerr << "[sentry] " << itemType << " " << eventId << " over " << kMaxEnvelopeBytes
                          << " bytes: " << what << " removed" << std::endl;
            }
        };
        shed("breadcrumbs", [&] { payload.erase("breadcrumbs"); });
        shed("span data", [&] {
            if (auto* spans = payload.if_contains("spans"); spans && spans->is_array()) {
                for (auto& span : spans->get_array()) {
                    if (span.is_object()) span.get_object().erase("data");
                }
            }
        });
        shed("spans", [&] {
            if (auto* spans = payload.if_contains("spans"); spans && spans->is_array()) spans->get_array().clear();
        });
        if (body.size() + kEnvelopeOverhead > kMaxEnvelopeBytes) {
            std::cerr << "[sentry] " << itemType << " " << eventId << " of " << body.size()
                      << " bytes dropped: over " << kMaxEnvelopeBytes << " bytes" << std::endl;
            ++droppedBefore_;
            return;
        }
    }
    std::shared_ptr<Transport> transport;
    std::string dsn;
    {
        std::lock_guard lock(stateMutex_);
        transport = transport_;
        dsn = options_.dsn;
    }
    if (!transport) return;
    json::object header{{"event_id", eventId}, {"sent_at", isoTimestamp(std::chrono::system_clock::now())}};
    if (!dsn.empty()) header["dsn"] = dsn;
    json::object itemHeader{{"type", itemType}, {"length", body.size()}};
    std::string envelope = json::serialize(header);
    envelope += '\n';
    envelope += json::serialize(itemHeader);
    envelope += '\n';
    envelope += body;
    envelope += '\n';

    EnvelopeObserver observer;
    {
        std::lock_guard lock(observerMutex_);
        observer = observer_;
    }
    if (observer) {
        try {
            observer(envelope);
        } catch (...) {
            debugLog("envelope observer threw");
        }
    }
    transport->enqueue(std::move(envelope));
}

std::string Client::captureEvent(json::object event) {
    double rate = 1.0;
    {
        std::lock_guard lock(stateMutex_);
        if (!transport_) return {};
        rate = options_.sampleRate;
    }
    if (!sampled(rate)) {
        debugLog("event dropped by sampling");
        return {};
    }
    if (auto* id = event.if_contains("event_id"); id == nullptr || !id->is_string()) event["event_id"] = newUuidHex();
    if (!event.contains("timestamp")) event["timestamp"] = isoTimestamp(std::chrono::system_clock::now());
    if (!event.contains("platform")) event["platform"] = "native";
    applyScope(event, true);
    std::string id(event["event_id"].get_string());
    submit(id, "event", event);
    return id;
}

void Client::sendPendingCrash() {
    const std::string line = takeCrashMarker(g_databaseFd);
    if (line.empty()) return;

    int signal = 0;
    long long seconds = 0;
    if (std::sscanf(line.c_str(), "signal=%d time=%lld", &signal, &seconds) < 1) return;
    auto when = seconds > 0 ? std::chrono::system_clock::time_point(std::chrono::seconds(seconds))
                            : std::chrono::system_clock::now();
    json::object exception{{"type", signalName(signal)},
                           {"value", std::string("Fatal Error: ") + signalName(signal)},
                           {"mechanism", json::object{{"type", "signalhandler"},
                                                      {"handled", false},
                                                      {"meta", json::object{{"signal", json::object{{"number", signal},
                                                                                                    {"name", signalName(signal)}}}}}}}};
    json::object event = newEvent();
    event["timestamp"] = isoTimestamp(when);
    event["level"] = "fatal";
    event["exception"] = json::object{{"values", json::array{exception}}};
    debugLog("sending the crash of an earlier run");
    captureEvent(std::move(event));
}

TransactionId Client::startTransaction(std::string name, std::string operation) {
    std::lock_guard lock(stateMutex_);
    if (!transport_) return 0;
    TransactionId id = nextId_++;
    TransactionData data;
    data.name = std::move(name);
    data.operation = std::move(operation);
    data.traceId = newUuidHex();
    data.spanId = randomHex(16);
    data.start = std::chrono::system_clock::now();
    data.sampled = sampled(options_.tracesSampleRate);
    transactions_.emplace(id, std::move(data));
    return id;
}

SpanId Client::startChild(TransactionId transaction, std::string operation, std::string description) {
    std::lock_guard lock(stateMutex_);
    auto it = transactions_.find(transaction);
    if (it == transactions_.end()) return 0;
    if (it->second.spansStarted >= options_.maxSpans) return 0;
    ++it->second.spansStarted;
    SpanId id = nextId_++;
    SpanData span;
    span.transaction = transaction;
    span.operation = std::move(operation);
    span.description = std::move(description);
    span.spanId = randomHex(16);
    span.start = std::chrono::system_clock::now();
    spans_.emplace(id, std::move(span));
    return id;
}

void Client::setSpanData(SpanId span, std::string key, json::value value) {
    if (value.is_string() && value.get_string().size() > kMaxSpanTextBytes) {
        value = boundedSpanText(std::string(value.get_string()));
    }
    std::lock_guard lock(stateMutex_);
    auto it = spans_.find(span);
    if (it == spans_.end()) return;
    it->second.data[key] = std::move(value);
}

void Client::finishSpan(SpanId span) {
    std::lock_guard lock(stateMutex_);
    auto it = spans_.find(span);
    if (it == spans_.end()) return;
    SpanData data = std::move(it->second);
    spans_.erase(it);
    auto tx = transactions_.find(data.transaction);
    if (tx == transactions_.end()) return;
    json::object out{{"span_id", data.spanId},
                     {"parent_span_id", tx->second.spanId},
                     {"trace_id", tx->second.traceId},
                     {"op", data.operation},
                     {"status", "ok"},
                     {"start_timestamp", unixSeconds(data.start)},
                     {"timestamp", unixSeconds(std::chrono::system_clock::now())}};
    if (!data.description.empty()) out["description"] = data.description;
    if (!data.data.empty()) out["data"] = std::move(data.data);
    tx->second.finishedSpans.push_back(std::move(out));
}

void Client::finishTransaction(TransactionId transaction) {
    TransactionData data;
    {
        std::lock_guard lock(stateMutex_);
        auto it = transactions_.find(transaction);
        if (it == transactions_.end()) return;
        data = std::move(it->second);
        transactions_.erase(it);
        // Spans still open are dropped with their transaction.
        for (auto span = spans_.begin(); span != spans_.end();) {
            span = span->second.transaction == transaction ? spans_.erase(span) : std::next(span);
        }
    }
    if (!data.sampled) {
        debugLog("transaction dropped by sampling");
        return;
    }
    std::string id = newUuidHex();
    json::object trace{{"trace_id", data.traceId}, {"span_id", data.spanId}, {"op", data.operation}, {"status", "ok"}};
    json::object event{{"event_id", id},
                       {"type", "transaction"},
                       {"transaction", data.name},
                       {"platform", "native"},
                       {"start_timestamp", unixSeconds(data.start)},
                       {"timestamp", unixSeconds(std::chrono::system_clock::now())},
                       {"contexts", json::object{{"trace", std::move(trace)}}},
                       {"spans", std::move(data.finishedSpans)},
                       {"level", "info"}};
    applyScope(event, false);
    submit(id, "transaction", event);
}

}  // namespace

// ---- Dsn ----------------------------------------------------------------------

std::optional<Dsn> Dsn::parse(std::string_view text) {
    Dsn dsn;
    auto schemeEnd = text.find("://");
    if (schemeEnd == std::string_view::npos) return std::nullopt;
    dsn.scheme = std::string(text.substr(0, schemeEnd));
    if (dsn.scheme != "http" && dsn.scheme != "https") return std::nullopt;
    std::string_view rest = text.substr(schemeEnd + 3);
    auto at = rest.find('@');
    auto firstSlash = rest.find('/');
    if (at == std::string_view::npos || (firstSlash != std::string_view::npos && at > firstSlash)) return std::nullopt;
    std::string_view userInfo = rest.substr(0, at);
    dsn.publicKey = std::string(userInfo.substr(0, userInfo.find(':')));
    if (dsn.publicKey.empty()) return std::nullopt;
    rest = rest.substr(at + 1);
    auto slash = rest.find('/');
    if (slash == std::string_view::npos) return std::nullopt;
    std::string_view hostPort = rest.substr(0, slash);
    std::string_view path = rest.substr(slash);  // "/.../project"
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    if (hostPort.empty()) return std::nullopt;
    if (hostPort.front() == '[') {  // IPv6 literal
        auto close = hostPort.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        dsn.host = std::string(hostPort.substr(0, close + 1));
        hostPort = hostPort.substr(close + 1);
        if (!hostPort.empty() && hostPort.front() != ':') return std::nullopt;
        if (!hostPort.empty()) hostPort = hostPort.substr(1);
        else hostPort = {};
    } else {
        auto colon = hostPort.find(':');
        dsn.host = std::string(hostPort.substr(0, colon));
        hostPort = colon == std::string_view::npos ? std::string_view{} : hostPort.substr(colon + 1);
    }
    if (dsn.host.empty()) return std::nullopt;
    if (!hostPort.empty()) {
        unsigned long port = 0;
        for (char c : hostPort) {
            if (c < '0' || c > '9') return std::nullopt;
            port = port * 10 + static_cast<unsigned long>(c - '0');
            if (port > 65535) return std::nullopt;
        }
        if (port == 0) return std::nullopt;
        dsn.port = static_cast<std::uint16_t>(port);
    }
    auto lastSlash = path.rfind('/');
    dsn.projectId = std::string(path.substr(lastSlash + 1));
    dsn.pathPrefix = std::string(path.substr(0, lastSlash));
    if (dsn.projectId.empty()) return std::nullopt;
    return dsn;
}

std::string Dsn::envelopeUrl() const {
    std::string url = scheme + "://" + host;
    if (port != 0) url += ":" + std::to_string(port);
    url += pathPrefix + "/api/" + projectId + "/envelope/";
    return url;
}

std::string Dsn::authHeader() const {
    return std::string("Sentry sentry_version=7, sentry_client=") + kSdkName + "/" + kSdkVersion +
           ", sentry_key=" + publicKey;
}

// ---- free functions -------------------------------------------------------------

std::filesystem::path defaultDatabasePath() {
    if (const char* state = std::getenv("XDG_STATE_HOME"); state && state[0] == '/')
        return std::filesystem::path(state) / "lumivex" / "crash-reports";
    if (const char* home = std::getenv("HOME"); home && home[0] == '/')
        return std::filesystem::path(home) / ".local" / "state" / "lumivex" / "crash-reports";
    return std::filesystem::path("/tmp") / ("lumivex-" + std::to_string(::geteuid())) / "crash-reports";
}

std::string boundedSpanText(std::string text) {
    if (text.size() <= kMaxSpanTextBytes) return text;
    const std::size_t full = text.size();
    // Not in the middle of a UTF-8 sequence.
    std::size_t cut = kMaxSpanTextBytes;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    text.resize(cut);
    text += " ... [cut, " + std::to_string(full) + " bytes in full]";
    return text;
}

std::filesystem::path databaseFolder() { return Client::instance().databaseFolder(); }

const char* levelText(Level level) {
    switch (level) {
        case Level::Debug: return "debug";
        case Level::Info: return "info";
        case Level::Warning: return "warning";
        case Level::Error: return "error";
        case Level::Fatal: return "fatal";
    }
    return "error";
}

std::string newUuidHex() {
    std::string hex = randomHex(32);
    hex[12] = '4';  // version 4
    static constexpr char variant[] = "89ab";
    hex[16] = variant[std::uniform_int_distribution<int>(0, 3)(randomEngine())];
    return hex;
}

std::string isoTimestamp(std::chrono::system_clock::time_point time) {
    auto micros = std::chrono::duration_cast<std::chrono::microseconds>(time.time_since_epoch()).count();
    std::time_t seconds = static_cast<std::time_t>(micros / 1000000);
    long fraction = static_cast<long>(micros % 1000000);
    if (fraction < 0) {
        fraction += 1000000;
        --seconds;
    }
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char buf[80];
    std::snprintf(buf, sizeof(buf), "%04d-%02d-%02dT%02d:%02d:%02d.%06ldZ", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, fraction);
    return buf;
}

bool init(Options options) { return Client::instance().init(std::move(options)); }
void close() { Client::instance().close(); }
bool isInitialized() { return Client::instance().isInitialized(); }
bool flush(std::chrono::milliseconds timeout) { return Client::instance().flush(timeout); }
std::uint64_t droppedEnvelopes() { return Client::instance().dropped(); }
void setEnvelopeObserver(EnvelopeObserver observer) { Client::instance().setObserver(std::move(observer)); }

void setLevel(Level level) {
    auto& client = Client::instance();
    std::lock_guard lock(client.scopeMutex());
    client.scope().level = level;
}

void setUser(json::object user) {
    auto& client = Client::instance();
    std::lock_guard lock(client.scopeMutex());
    client.scope().user = std::move(user);
    client.scope().hasUser = true;
}

void removeUser() {
    auto& client = Client::instance();
    std::lock_guard lock(client.scopeMutex());
    client.scope().user = {};
    client.scope().hasUser = false;
}

void setTag(std::string key, std::string value) {
    auto& client = Client::instance();
    std::lock_guard lock(client.scopeMutex());
    client.scope().tags[std::move(key)] = std::move(value);
}

void removeTag(const std::string& key) {
    auto& client = Client::instance();
    std::lock_guard lock(client.scopeMutex());
    client.scope().tags.erase(key);
}

void setContext(std::string name, json::object value) {
    auto& client = Client::instance();
    std::lock_guard lock(client.scopeMutex());
    client.scope().contexts[std::move(name)] = std::move(value);
}

void removeContext(const std::string& name) {
    auto& client = Client::instance();
    std::lock_guard lock(client.scopeMutex());
    client.scope().contexts.erase(name);
}

void addBreadcrumb(json::object breadcrumb) { Client::instance().addBreadcrumb(std::move(breadcrumb)); }

json::object newEvent() {
    return json::object{{"event_id", newUuidHex()},
                        {"timestamp", isoTimestamp(std::chrono::system_clock::now())},
                        {"platform", "native"}};
}

std::string captureEvent(json::object event) { return Client::instance().captureEvent(std::move(event)); }

TransactionId startTransaction(std::string name, std::string operation) {
    return Client::instance().startTransaction(std::move(name), std::move(operation));
}
SpanId startChild(TransactionId transaction, std::string operation, std::string description) {
    return Client::instance().startChild(transaction, std::move(operation), std::move(description));
}
void setSpanData(SpanId span, std::string key, json::value value) {
    Client::instance().setSpanData(span, std::move(key), std::move(value));
}
void finishSpan(SpanId span) { Client::instance().finishSpan(span); }
void finishTransaction(TransactionId transaction) { Client::instance().finishTransaction(transaction); }

}  // namespace lumivex::platform::sentry
