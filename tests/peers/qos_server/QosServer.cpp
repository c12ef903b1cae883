#include "QosServer.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>

#include "common/TestCertificate.h"

namespace lumivex::test_peers {

namespace asio = boost::asio;
namespace ssl = boost::asio::ssl;
using tcp = asio::ip::tcp;
using udp = asio::ip::udp;
using asio::awaitable;
using boost::system::error_code;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto nothrow = asio::as_tuple(asio::use_awaitable);
// The server reads lines of any sane length; longer ones end the connection.
constexpr std::size_t kMaxServerLine = 1024 * 1024;

int64_t monotonicNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

std::vector<std::string> splitWords(const std::string& text) {
    std::vector<std::string> words;
    std::istringstream in(text);
    std::string word;
    while (in >> word) words.push_back(word);
    return words;
}

template <class T>
std::optional<T> parseNumber(const std::string& text) {
    T value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::optional<double> parseDouble(const std::string& text) {
    try {
        std::size_t used = 0;
        const double value = std::stod(text, &used);
        if (used != text.size() || !std::isfinite(value)) return std::nullopt;
        return value;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

// A byte stream (plain or TLS) seen through the two operations the sessions use.
struct LineStream {
    virtual ~LineStream() = default;
    virtual awaitable<std::tuple<error_code, std::size_t>> readUntil(std::string& buffer, char delimiter) = 0;
    virtual awaitable<error_code> write(const std::string& data) = 0;
    virtual void shutdownSend() = 0;
    virtual void close() = 0;
};

template <class Stream>
struct StreamOf final : LineStream {
    template <class... Args>
    explicit StreamOf(Args&&... args) : stream(std::forward<Args>(args)...) {}

    awaitable<std::tuple<error_code, std::size_t>> readUntil(std::string& buffer, char delimiter) override {
        auto [error, bytes] =
            co_await asio::async_read_until(stream, asio::dynamic_buffer(buffer, kMaxServerLine), delimiter, nothrow);
        co_return std::make_tuple(error, bytes);
    }
    awaitable<error_code> write(const std::string& data) override {
        auto [error, bytes] = co_await asio::async_write(stream, asio::buffer(data), nothrow);
        co_return error;
    }
    void shutdownSend() override {
        error_code ignored;
        stream.lowest_layer().shutdown(tcp::socket::shutdown_send, ignored);
    }
    void close() override {
        error_code ignored;
        stream.lowest_layer().close(ignored);
    }

    Stream stream;
};

awaitable<std::optional<std::string>> readLine(LineStream& stream, std::string& buffer) {
    auto [error, bytes] = co_await stream.readUntil(buffer, '\n');
    if (error) co_return std::nullopt;
    std::string line = buffer.substr(0, bytes - 1);
    buffer.erase(0, bytes);
    co_return line;
}

// Lines up to and including the first empty one (a lone "\r" counts as empty).
awaitable<std::optional<std::vector<std::string>>> readMessage(LineStream& stream, std::string& buffer) {
    std::vector<std::string> lines;
    while (true) {
        auto line = co_await readLine(stream, buffer);
        if (!line) co_return std::nullopt;
        if (!line->empty() && line->back() == '\r') line->pop_back();
        if (line->empty()) co_return lines;
        lines.push_back(*line);
        if (lines.size() > 1000) co_return std::nullopt;
    }
}

enum class TestMode { Echo, Sip };

struct TcpTestPort {
    explicit TcpTestPort(asio::io_context& io) : acceptor(io) {}
    tcp::acceptor acceptor;
    uint16_t port = 0;
    std::deque<TestMode> armed;
};

struct VoipCall {
    uint32_t ssrc = 0;
    uint32_t serverSsrc = 0;
    int32_t sampleRate = 8000;
    double delayMs = 20;
    double durationMs = 1000;
    int payload = 8;
    std::map<uint16_t, ServerRtpPacket> packets;
    bool streamStarted = false;
    bool streamDone = false;
    int64_t firstArrivalNs = 0;
    int64_t lastArrivalNs = 0;
};

struct UdpTestPort {
    explicit UdpTestPort(asio::io_context& io) : socket(io) {}
    udp::socket socket;
    uint16_t port = 0;
    enum class Mode { None, Echo, Voip } mode = Mode::None;
    int expected = 0;
    int received = 0;
    std::shared_ptr<VoipCall> call;
};

struct ControlSession;

}  // namespace

struct QosServer::Impl {
    explicit Impl(QosServerOptions o) : options(std::move(o)) {}

    QosServerOptions options;
    asio::io_context io;
    std::unique_ptr<ssl::context> tlsContext;
    tcp::acceptor controlAcceptor{io};
    uint16_t controlPortNumber = 0;
    std::map<uint16_t, std::shared_ptr<TcpTestPort>> tcpPorts;
    std::map<uint16_t, std::shared_ptr<UdpTestPort>> udpPorts;
    std::map<uint32_t, std::shared_ptr<VoipCall>> calls;
    std::vector<uint16_t> initialTcpPorts;
    std::vector<uint16_t> initialUdpPorts;
    std::mt19937 random{std::random_device{}()};
    std::thread thread;
    bool started = false;

    mutable std::mutex recordMutex;
    mutable std::condition_variable recorded;
    std::vector<std::string> controlLineLog;
    std::vector<std::string> testLineLog;
    int controlConnectionCount = 0;

    std::string eol() const { return options.crlf ? "\r\n" : "\n"; }
    std::string testEol() const { return options.testCrlf ? "\r\n" : "\n"; }

    void record(bool control, const std::string& channel, const std::string& line) {
        {
            std::lock_guard lock(recordMutex);
            (control ? controlLineLog : testLineLog).push_back(line);
        }
        recorded.notify_all();
        if (options.onLine) options.onLine(channel, line);
    }

    bool refused(const std::string& keyword) const {
        return options.refuse.count("*") != 0 || options.refuse.count(keyword) != 0;
    }

    std::shared_ptr<TcpTestPort> ensureTcpPort(uint16_t port);
    std::shared_ptr<UdpTestPort> ensureUdpPort(uint16_t port);

    awaitable<void> controlAcceptLoop();
    awaitable<void> controlSession(tcp::socket socket);
    awaitable<void> runControl(std::shared_ptr<ControlSession> session);
    awaitable<void> handleCommand(std::shared_ptr<ControlSession> session, std::string command, std::string id);
    awaitable<std::string> dispatch(std::string command);
    void sendReply(const std::shared_ptr<ControlSession>& session, const std::string& line);

    awaitable<void> tcpAcceptLoop(std::shared_ptr<TcpTestPort> port);
    awaitable<void> tcpTestConnection(tcp::socket socket, uint16_t port, TestMode mode);
    awaitable<void> udpLoop(std::shared_ptr<UdpTestPort> port);
    awaitable<void> voipStream(std::shared_ptr<UdpTestPort> port, std::shared_ptr<VoipCall> call, udp::endpoint peer);
    awaitable<void> sleepFor(std::chrono::nanoseconds duration) {
        asio::steady_timer timer(io, duration);
        co_await timer.async_wait(nothrow);
    }
};

namespace {

// One control connection: its stream, read buffer and ordered write queue.
struct ControlSession : std::enable_shared_from_this<ControlSession> {
    ControlSession(asio::io_context& context, std::string end, std::unique_ptr<LineStream> st)
        : io(context), lineEnd(std::move(end)), stream(std::move(st)) {}

    asio::io_context& io;
    std::string lineEnd;
    std::unique_ptr<LineStream> stream;
    std::string buffer;
    std::deque<std::string> queue;
    bool writing = false;
    bool closeAfterDrain = false;
    bool closed = false;
    std::vector<std::string> held;
    bool extraLinesSent = false;
    bool longLineSent = false;

    void pushRaw(std::string bytes) {
        if (closed || closeAfterDrain) return;
        queue.push_back(std::move(bytes));
        startWriting();
    }
    void pushLine(const std::string& line) { pushRaw(line + lineEnd); }
    void closeWhenDrained() {
        closeAfterDrain = true;
        if (!writing) finish();
    }
    void finish() {
        closed = true;
        stream->close();
    }
    void startWriting() {
        if (writing) return;
        writing = true;
        asio::co_spawn(io, writeLoop(shared_from_this()), asio::detached);
    }
    static awaitable<void> writeLoop(std::shared_ptr<ControlSession> self) {
        while (!self->queue.empty() && !self->closed) {
            const std::string data = std::move(self->queue.front());
            self->queue.pop_front();
            const error_code error = co_await self->stream->write(data);
            if (error) {
                self->closed = true;
                self->queue.clear();
            }
        }
        self->writing = false;
        if (self->closeAfterDrain && !self->closed) self->finish();
    }
};

}  // namespace

std::shared_ptr<TcpTestPort> QosServer::Impl::ensureTcpPort(uint16_t port) {
    if (port != 0) {
        if (auto it = tcpPorts.find(port); it != tcpPorts.end()) return it->second;
    }
    auto entry = std::make_shared<TcpTestPort>(io);
    error_code error;
    const tcp::endpoint endpoint(asio::ip::make_address(options.bindAddress), port);
    entry->acceptor.open(endpoint.protocol(), error);
    if (!error) entry->acceptor.set_option(tcp::acceptor::reuse_address(true), error);
    if (!error) entry->acceptor.bind(endpoint, error);
    if (!error) entry->acceptor.listen(asio::socket_base::max_listen_connections, error);
    if (error) return nullptr;
    entry->port = entry->acceptor.local_endpoint().port();
    tcpPorts[entry->port] = entry;
    asio::co_spawn(io, tcpAcceptLoop(entry), asio::detached);
    return entry;
}

std::shared_ptr<UdpTestPort> QosServer::Impl::ensureUdpPort(uint16_t port) {
    if (port != 0) {
        if (auto it = udpPorts.find(port); it != udpPorts.end()) return it->second;
    }
    auto entry = std::make_shared<UdpTestPort>(io);
    error_code error;
    const udp::endpoint endpoint(asio::ip::make_address(options.bindAddress), port);
    entry->socket.open(endpoint.protocol(), error);
    if (!error) entry->socket.bind(endpoint, error);
    if (error) return nullptr;
    entry->port = entry->socket.local_endpoint().port();
    udpPorts[entry->port] = entry;
    asio::co_spawn(io, udpLoop(entry), asio::detached);
    return entry;
}

awaitable<void> QosServer::Impl::controlAcceptLoop() {
    while (true) {
        auto [error, socket] = co_await controlAcceptor.async_accept(nothrow);
        if (error == asio::error::operation_aborted || !controlAcceptor.is_open()) co_return;
        if (error) continue;
        asio::co_spawn(io, controlSession(std::move(socket)), asio::detached);
    }
}

awaitable<void> QosServer::Impl::controlSession(tcp::socket socket) {
    std::unique_ptr<LineStream> stream;
    if (tlsContext) {
        auto tls = std::make_unique<StreamOf<ssl::stream<tcp::socket>>>(std::move(socket), *tlsContext);
        auto [error] = co_await tls->stream.async_handshake(ssl::stream_base::server, nothrow);
        if (error) co_return;
        stream = std::move(tls);
    } else {
        stream = std::make_unique<StreamOf<tcp::socket>>(std::move(socket));
    }
    {
        std::lock_guard lock(recordMutex);
        ++controlConnectionCount;
    }
    recorded.notify_all();
    auto session = std::make_shared<ControlSession>(io, eol(), std::move(stream));
    co_await runControl(session);
}

awaitable<void> QosServer::Impl::runControl(std::shared_ptr<ControlSession> session) {
    using Silence = QosServerOptions::Silence;
    using CloseMidLine = QosServerOptions::CloseMidLine;
    auto recordUntilClosed = [this, session]() -> awaitable<void> {
        while (true) {
            auto line = co_await readLine(*session->stream, session->buffer);
            if (!line) break;
            record(true, "control", *line);
        }
    };

    if (options.silence == Silence::AfterAccept) {
        co_await recordUntilClosed();
        co_return;
    }
    if (options.closeMidLine == CloseMidLine::Greeting) {
        session->pushRaw(options.greeting.empty() ? "QoS" : options.greeting[0].substr(0, 3));
        session->closeWhenDrained();
        co_return;
    }
    for (std::size_t i = 0; i < options.greeting.size(); ++i) {
        if (i == 0 && options.longLine == QosServerOptions::LongLine::Greeting)
            session->pushLine(std::string(options.longLineBytes, 'G'));
        else
            session->pushLine(options.greeting[i]);
    }
    if (options.silence == Silence::AfterGreeting) {
        co_await recordUntilClosed();
        co_return;
    }

    auto token = co_await readLine(*session->stream, session->buffer);
    if (!token) co_return;
    record(true, "control", *token);
    const std::string reply = token->rfind("TOKEN ", 0) == 0 ? options.tokenReply : options.refusalReply;
    if (options.closeMidLine == CloseMidLine::TokenReply) {
        session->pushRaw(reply.substr(0, reply.size() / 2));
        session->closeWhenDrained();
        co_return;
    }
    session->pushLine(reply);
    session->pushLine(options.afterTokenLine);
    if (options.silence == Silence::AfterToken) {
        co_await recordUntilClosed();
        co_return;
    }

    while (true) {
        auto received = co_await readLine(*session->stream, session->buffer);
        if (!received) break;
        record(true, "control", *received);
        std::string line = *received;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind("REQUEST CONN TIMEOUT", 0) == 0) {
            session->pushLine(options.timeoutReply);
            continue;
        }
        if (options.silence == Silence::Commands) continue;
        if (line == "QUIT") {
            session->closeWhenDrained();
            continue;
        }
        const auto tag = line.rfind(" +ID");
        if (tag == std::string::npos) {
            session->pushLine(options.refusalReply);
            continue;
        }
        asio::co_spawn(io, handleCommand(session, line.substr(0, tag), line.substr(tag + 4)), asio::detached);
    }
}

awaitable<void> QosServer::Impl::handleCommand(std::shared_ptr<ControlSession> session, std::string command,
                                               std::string id) {
    std::string response;
    try {
        if (options.replyDelay.count() > 0) co_await sleepFor(options.replyDelay);
        response = co_await dispatch(command);
    } catch (const std::exception&) {
        response = options.refusalReply;
    }
    sendReply(session, response + " +ID" + id);
}

void QosServer::Impl::sendReply(const std::shared_ptr<ControlSession>& session, const std::string& line) {
    if (!session->extraLinesSent) {
        session->extraLinesSent = true;
        for (const auto& extra : options.extraLinesBeforeReplies) session->pushLine(extra);
    }
    if (options.longLine == QosServerOptions::LongLine::Reply && !session->longLineSent) {
        session->longLineSent = true;
        session->pushLine(std::string(options.longLineBytes, 'R'));
    }
    if (options.longLine == QosServerOptions::LongLine::FirstReply && !session->longLineSent) {
        session->longLineSent = true;
        const auto tag = line.rfind(" +ID");
        std::string padded = line.substr(0, tag);
        if (padded.size() < options.longLineBytes) padded.resize(options.longLineBytes, 'R');
        session->pushLine(padded + line.substr(tag));
        return;
    }
    if (options.closeMidLine == QosServerOptions::CloseMidLine::Reply) {
        session->pushRaw(line.substr(0, line.size() / 2));
        session->closeWhenDrained();
        return;
    }
    if (options.replyBatch > 0) {
        session->held.push_back(line);
        if (static_cast<int>(session->held.size()) < options.replyBatch) return;
        if (options.reverseBatch) std::reverse(session->held.begin(), session->held.end());
        for (const auto& held : session->held) session->pushLine(held);
        session->held.clear();
        return;
    }
    session->pushLine(line);
    if (options.duplicateReplies) session->pushLine(line);
}

awaitable<std::string> QosServer::Impl::dispatch(std::string command) {
    const auto words = splitWords(command);
    if (words.empty()) co_return options.refusalReply;
    const std::string keyword = words[0] == "GET" && words.size() > 1 ? "GET " + words[1] : words[0];
    if (refused(keyword)) co_return options.refusalReply;

    if (keyword == "ECHO") co_return command.size() > 5 ? command.substr(5) : std::string();

    if (keyword == "TCPTEST" || keyword == "NTPTEST" || keyword == "SIPTEST") {
        const std::size_t portIndex = keyword == "TCPTEST" ? 2 : 1;
        if (words.size() <= portIndex || (keyword == "TCPTEST" && words[1] != "OUT")) co_return options.refusalReply;
        const auto port = parseNumber<uint16_t>(words[portIndex]);
        if (!port || *port == 0) co_return options.refusalReply;
        auto entry = ensureTcpPort(*port);
        if (!entry) co_return options.refusalReply;
        entry->armed.push_back(keyword == "SIPTEST" ? TestMode::Sip : TestMode::Echo);
        co_return "OK";
    }

    if (keyword == "UDPTEST") {
        if (words.size() < 4 || words[1] != "OUT") co_return options.refusalReply;
        const auto port = parseNumber<uint16_t>(words[2]);
        const auto count = parseNumber<int>(words[3]);
        if (!port || *port == 0 || !count || *count < 0) co_return options.refusalReply;
        auto entry = ensureUdpPort(*port);
        if (!entry) co_return options.refusalReply;
        entry->mode = UdpTestPort::Mode::Echo;
        entry->expected = *count;
        entry->received = 0;
        co_return "OK";
    }

    if (keyword == "GET UDPRESULT") {
        if (words.size() < 4 || words[2] != "OUT") co_return options.refusalReply;
        const auto port = parseNumber<uint16_t>(words[3]);
        if (!port) co_return options.refusalReply;
        auto it = udpPorts.find(*port);
        if (it == udpPorts.end()) co_return options.refusalReply;
        co_return "RCV " + std::to_string(it->second->received) + " " + std::to_string(it->second->expected);
    }

    if (keyword == "VOIPTEST") {
        // VOIPTEST <port> 0 <rate> <bps> <delay ms> <duration ms> 0 <payload> <buffer>
        if (words.size() < 10) co_return options.refusalReply;
        const auto port = parseNumber<uint16_t>(words[1]);
        const auto rate = parseNumber<int32_t>(words[3]);
        const auto delayMs = parseDouble(words[5]);
        const auto durationMs = parseDouble(words[6]);
        const auto payload = parseNumber<int>(words[8]);
        if (!port || *port == 0 || !rate || *rate <= 0 || !delayMs || *delayMs <= 0 || !durationMs ||
            *durationMs < 0 || !payload)
            co_return options.refusalReply;
        auto entry = ensureUdpPort(*port);
        if (!entry) co_return options.refusalReply;
        auto call = std::make_shared<VoipCall>();
        do {
            call->ssrc = static_cast<uint32_t>(random());
        } while (call->ssrc == 0 || calls.count(call->ssrc) != 0);
        call->serverSsrc = static_cast<uint32_t>(random());
        call->sampleRate = *rate;
        call->delayMs = *delayMs;
        call->durationMs = *durationMs;
        call->payload = *payload;
        calls[call->ssrc] = call;
        entry->mode = UdpTestPort::Mode::Voip;
        entry->call = call;
        co_return "OK " + std::to_string(call->ssrc);
    }

    if (keyword == "GET VOIPRESULT") {
        if (words.size() < 3) co_return options.refusalReply;
        const auto ssrc = parseNumber<uint32_t>(words[2]);
        if (!ssrc) co_return options.refusalReply;
        auto it = calls.find(*ssrc);
        if (it == calls.end()) co_return options.refusalReply;
        auto call = it->second;
        // Answer once the server's own stream has ended, so the agent has seen it all.
        const auto limit = Clock::now() + std::chrono::milliseconds(static_cast<int64_t>(call->durationMs) + 2000);
        while (call->streamStarted && !call->streamDone && Clock::now() < limit)
            co_await sleepFor(std::chrono::milliseconds(5));
        std::vector<ServerRtpPacket> arrival;
        for (const auto& [sequence, packet] : call->packets) arrival.push_back(packet);
        std::sort(arrival.begin(), arrival.end(), [](const ServerRtpPacket& a, const ServerRtpPacket& b) {
            return a.receivedNs != b.receivedNs ? a.receivedNs < b.receivedNs : a.sequenceNumber < b.sequenceNumber;
        });
        const auto s = computeServerRtpStatistics(arrival, 0, call->sampleRate);
        std::ostringstream out;
        out << "VOIPRESULT " << s.maxJitter << ' ' << s.meanJitter << ' ' << s.maxDelta << ' ' << s.skew << ' '
            << s.packets << ' ' << s.sequenceErrors << ' ' << s.shortestSequence << ' ' << s.longestSequence << ' '
            << call->sampleRate << ' ' << (call->lastArrivalNs - call->firstArrivalNs);
        co_return out.str();
    }

    co_return options.refusalReply;
}

awaitable<void> QosServer::Impl::tcpAcceptLoop(std::shared_ptr<TcpTestPort> port) {
    while (true) {
        auto [error, socket] = co_await port->acceptor.async_accept(nothrow);
        if (error == asio::error::operation_aborted || !port->acceptor.is_open()) co_return;
        if (error) continue;
        if (port->armed.empty()) continue;  // not announced: the socket closes at once
        const TestMode mode = port->armed.front();
        port->armed.pop_front();
        asio::co_spawn(io, tcpTestConnection(std::move(socket), port->port, mode), asio::detached);
    }
}

awaitable<void> QosServer::Impl::tcpTestConnection(tcp::socket socket, uint16_t port, TestMode mode) {
    StreamOf<tcp::socket> stream(std::move(socket));
    std::string buffer;
    const std::string channel = (mode == TestMode::Sip ? "sip:" : "tcp:") + std::to_string(port);
    auto drainUntilClosed = [&]() -> awaitable<void> {
        // Wait for the agent to close first, so our last bytes are not lost to a reset.
        asio::steady_timer guard(io, std::chrono::seconds(30));
        guard.async_wait([&stream](const error_code& error) {
            if (!error) stream.close();
        });
        while (true) {
            auto line = co_await readLine(stream, buffer);
            if (!line) break;
        }
        guard.cancel();
    };

    if (mode == TestMode::Echo) {
        auto line = co_await readLine(stream, buffer);
        if (!line) co_return;
        record(false, channel, *line);
        if (options.silentTestConnections) {
            co_await drainUntilClosed();
            co_return;
        }
        if (options.testReplyDelay.count() > 0) co_await sleepFor(options.testReplyDelay);
        const std::string echo = *line + testEol();
        co_await stream.write(echo);
        stream.shutdownSend();
        co_await drainUntilClosed();
        co_return;
    }

    using Sip = QosServerOptions::Sip;
    auto response = [this](const std::string& code, const std::string& word, const std::vector<std::string>& request) {
        std::string text = "SIP/2.0 " + code + " " + word + testEol();
        for (std::size_t i = 1; i < request.size(); ++i) {
            const auto& header = request[i];
            if (header.rfind("FROM: ", 0) == 0 || header.rfind("TO: ", 0) == 0 || header.rfind("VIA: ", 0) == 0)
                text += header + testEol();
        }
        return text + "Content-Length: 0" + testEol() + testEol();
    };
    while (true) {
        auto message = co_await readMessage(stream, buffer);
        if (!message) break;
        if (message->empty()) continue;
        std::string joined;
        for (const auto& line : *message) joined += line + "\n";
        record(false, channel, joined);
        if (options.silentTestConnections) continue;
        const auto method = splitWords(message->front());
        if (method.empty()) continue;
        if (options.testReplyDelay.count() > 0) co_await sleepFor(options.testReplyDelay);
        if (method[0] == "INVITE") {
            const std::string trying = response("100", "TRYING", *message);
            const std::string ringing = response("180", "RINGING", *message);
            std::string answer = trying + ringing;
            if (options.sip == Sip::RingingFirst) answer = ringing + trying;
            if (options.sip == Sip::SilentAfterTrying) answer = trying;
            co_await stream.write(answer);
        } else if (method[0] == "BYE") {
            if (options.sip == Sip::SilentAfterTrying) continue;
            const bool ringing = options.sip == Sip::ByeAnsweredWithRinging;
            const std::string answer = ringing ? response("180", "RINGING", *message) : response("200", "OK", *message);
            co_await stream.write(answer);
            stream.shutdownSend();
        }
    }
}

awaitable<void> QosServer::Impl::udpLoop(std::shared_ptr<UdpTestPort> port) {
    std::array<uint8_t, 2048> datagram{};
    udp::endpoint sender;
    while (true) {
        auto [error, size] = co_await port->socket.async_receive_from(asio::buffer(datagram), sender, nothrow);
        if (error == asio::error::operation_aborted || !port->socket.is_open()) co_return;
        if (error) continue;
        if (port->mode == UdpTestPort::Mode::Echo) {
            const int index = port->received++;
            if (options.udpDropPackets.count(index) != 0) continue;
            const int copies = 1 + (index == 0 ? std::max(0, options.udpDuplicateFirst) : 0);
            for (int i = 0; i < copies; ++i) {
                error_code ignored;
                port->socket.send_to(asio::buffer(datagram.data(), size), sender, 0, ignored);
            }
        } else if (port->mode == UdpTestPort::Mode::Voip && port->call && size >= 12) {
            auto& call = *port->call;
            ServerRtpPacket packet;
            packet.receivedNs = monotonicNs();
            packet.sequenceNumber = static_cast<uint16_t>(datagram[2] << 8 | datagram[3]);
            packet.timestamp = static_cast<uint32_t>(datagram[4]) << 24 | static_cast<uint32_t>(datagram[5]) << 16 |
                               static_cast<uint32_t>(datagram[6]) << 8 | datagram[7];
            const uint32_t ssrc = static_cast<uint32_t>(datagram[8]) << 24 | static_cast<uint32_t>(datagram[9]) << 16 |
                                  static_cast<uint32_t>(datagram[10]) << 8 | datagram[11];
            if (ssrc != call.ssrc) continue;
            if (call.packets.empty()) call.firstArrivalNs = packet.receivedNs;
            call.lastArrivalNs = packet.receivedNs;
            call.packets[packet.sequenceNumber] = packet;
            if (!call.streamStarted && options.voipSendStream) {
                call.streamStarted = true;
                asio::co_spawn(io, voipStream(port, port->call, sender), asio::detached);
            }
        }
    }
}

awaitable<void> QosServer::Impl::voipStream(std::shared_ptr<UdpTestPort> port, std::shared_ptr<VoipCall> call,
                                            udp::endpoint peer) {
    const auto delayNs = static_cast<int64_t>(call->delayMs * 1e6);
    const auto durationNs = static_cast<int64_t>(call->durationMs * 1e6);
    const int64_t count = delayNs > 0 ? durationNs / delayNs : 0;
    const auto samplesPerPacket = static_cast<int64_t>(call->sampleRate / (1e9 / static_cast<double>(delayNs)));
    std::array<uint8_t, 12> packet{};
    for (int64_t i = 0; i < count && port->socket.is_open(); ++i) {
        const auto sequence = static_cast<uint16_t>(i);
        const auto timestamp = static_cast<uint32_t>(i * samplesPerPacket);
        packet[0] = 0x80;
        packet[1] = static_cast<uint8_t>((i == 0 ? 0x80 : 0) | (call->payload & 0x7f));
        packet[2] = static_cast<uint8_t>(sequence >> 8);
        packet[3] = static_cast<uint8_t>(sequence);
        for (int b = 0; b < 4; ++b) {
            packet[4 + b] = static_cast<uint8_t>(timestamp >> (24 - 8 * b));
            packet[8 + b] = static_cast<uint8_t>(call->serverSsrc >> (24 - 8 * b));
        }
        error_code ignored;
        port->socket.send_to(asio::buffer(packet), peer, 0, ignored);
        co_await sleepFor(std::chrono::nanoseconds(delayNs));
    }
    call->streamDone = true;
}

ServerRtpStatistics computeServerRtpStatistics(const std::vector<ServerRtpPacket>& packetsInArrivalOrder,
                                               uint16_t firstExpectedSequence, int32_t sampleRate) {
    ServerRtpStatistics result;
    if (packetsInArrivalOrder.empty() || sampleRate == 0) return result;

    std::map<uint16_t, ServerRtpPacket> bySequence;
    for (const auto& packet : packetsInArrivalOrder) bySequence[packet.sequenceNumber] = packet;

    // Interarrival jitter (gain 1/16) in sequence order, in nanoseconds.
    double previousJitter = 0;
    const ServerRtpPacket* previous = nullptr;
    int64_t skew = 0, maxDelta = 0, maxJitter = 0;
    uint64_t jitterSum = 0;
    for (const auto& [sequence, packet] : bySequence) {
        if (previous) {
            const int64_t arrivalGap = packet.receivedNs - previous->receivedNs;
            const int64_t timestampGap = static_cast<int64_t>(packet.timestamp) - static_cast<int64_t>(previous->timestamp);
            const auto expectedGap =
                static_cast<int64_t>(static_cast<double>(timestampGap) / sampleRate * 1000 * 1000000);
            skew += expectedGap - arrivalGap;
            const int64_t delta = std::llabs(arrivalGap - expectedGap);
            maxDelta = std::max(maxDelta, delta);
            const double jitter = previousJitter + (static_cast<double>(delta) - previousJitter) * 0.0625;
            const auto truncated = static_cast<int64_t>(jitter);
            maxJitter = std::max(maxJitter, truncated);
            jitterSum += static_cast<uint64_t>(truncated);
            previousJitter = jitter;
        }
        previous = &packet;
    }
    const auto count = static_cast<int32_t>(bySequence.size());

    // Runs of in-order packets, in arrival order (one packet per arrival instant).
    std::vector<ServerRtpPacket> arrival;
    for (const auto& [sequence, packet] : bySequence) arrival.push_back(packet);
    std::sort(arrival.begin(), arrival.end(), [](const ServerRtpPacket& a, const ServerRtpPacket& b) {
        return a.receivedNs != b.receivedNs ? a.receivedNs < b.receivedNs : a.sequenceNumber < b.sequenceNumber;
    });
    uint16_t expected = firstExpectedSequence;
    int32_t run = 0, shortest = 0, longest = 0, errors = 0;
    auto closeRun = [&] {
        longest = std::max(longest, run);
        if (run >= 2) shortest = shortest == 0 ? run : std::min(shortest, run);
    };
    for (std::size_t i = 0; i < arrival.size(); ++i) {
        if (i > 0 && arrival[i].receivedNs == arrival[i - 1].receivedNs) continue;
        if (arrival[i].sequenceNumber == expected) {
            ++run;
        } else {
            ++errors;
            closeRun();
            run = 0;
        }
        ++expected;
    }
    closeRun();
    if (shortest == 0 && longest > 0) shortest = longest;

    result.packets = count;
    result.maxJitter = maxJitter;
    result.meanJitter = static_cast<int64_t>(jitterSum / static_cast<uint64_t>(count));
    result.skew = skew;
    result.maxDelta = maxDelta;
    result.sequenceErrors = errors;
    result.shortestSequence = std::min(shortest, count);
    result.longestSequence = std::min(longest, count);
    return result;
}

QosServer::QosServer(QosServerOptions options) : d(std::make_unique<Impl>(std::move(options))) {}

QosServer::~QosServer() { stop(); }

void QosServer::start() {
    if (d->started) return;
    if (d->options.tls) {
        const auto& certificate = sharedTestCertificate();
        d->tlsContext = std::make_unique<ssl::context>(ssl::context::tls_server);
        d->tlsContext->use_certificate_chain(asio::buffer(certificate.certificatePem));
        d->tlsContext->use_private_key(asio::buffer(certificate.privateKeyPem), ssl::context::pem);
    }
    const tcp::endpoint endpoint(asio::ip::make_address(d->options.bindAddress), 0);
    d->controlAcceptor.open(endpoint.protocol());
    d->controlAcceptor.bind(endpoint);
    d->controlAcceptor.listen();
    d->controlPortNumber = d->controlAcceptor.local_endpoint().port();
    for (int i = 0; i < d->options.tcpTestPorts; ++i) {
        auto port = d->ensureTcpPort(0);
        if (!port) throw std::runtime_error("qos_server: cannot open a TCP test port");
        d->initialTcpPorts.push_back(port->port);
    }
    for (int i = 0; i < d->options.udpTestPorts; ++i) {
        auto port = d->ensureUdpPort(0);
        if (!port) throw std::runtime_error("qos_server: cannot open a UDP test port");
        d->initialUdpPorts.push_back(port->port);
    }
    asio::co_spawn(d->io, d->controlAcceptLoop(), asio::detached);
    d->started = true;
    d->thread = std::thread([impl = d.get()] {
        while (true) {
            try {
                impl->io.run();
                return;
            } catch (const std::exception&) {
                // A session's failure must not end the server.
            }
        }
    });
}

void QosServer::stop() {
    if (!d->started) return;
    d->started = false;
    d->io.stop();
    if (d->thread.joinable()) d->thread.join();
    error_code ignored;
    d->controlAcceptor.close(ignored);
    for (auto& [port, entry] : d->tcpPorts) entry->acceptor.close(ignored);
    for (auto& [port, entry] : d->udpPorts) entry->socket.close(ignored);
}

uint16_t QosServer::controlPort() const { return d->controlPortNumber; }
std::vector<uint16_t> QosServer::tcpTestPorts() const { return d->initialTcpPorts; }
std::vector<uint16_t> QosServer::udpTestPorts() const { return d->initialUdpPorts; }

std::string QosServer::portsJson() const {
    auto list = [](const std::vector<uint16_t>& ports) {
        std::string text = "[";
        for (std::size_t i = 0; i < ports.size(); ++i) text += (i ? "," : "") + std::to_string(ports[i]);
        return text + "]";
    };
    return "{\"control_port\":" + std::to_string(d->controlPortNumber) +
           ",\"tls\":" + (d->options.tls ? "true" : "false") + ",\"tcp_ports\":" + list(d->initialTcpPorts) +
           ",\"udp_ports\":" + list(d->initialUdpPorts) + "}";
}

std::vector<std::string> QosServer::controlLines() const {
    std::lock_guard lock(d->recordMutex);
    return d->controlLineLog;
}

std::vector<std::string> QosServer::testLines() const {
    std::lock_guard lock(d->recordMutex);
    return d->testLineLog;
}

bool QosServer::waitForControlLines(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(d->recordMutex);
    return d->recorded.wait_for(lock, timeout, [&] { return d->controlLineLog.size() >= count; });
}

bool QosServer::waitForTestLines(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(d->recordMutex);
    return d->recorded.wait_for(lock, timeout, [&] { return d->testLineLog.size() >= count; });
}

int QosServer::controlConnections() const {
    std::lock_guard lock(d->recordMutex);
    return d->controlConnectionCount;
}

}  // namespace lumivex::test_peers
