#pragma once
// TCP client of the measurement tasks: one connection to a host and port,
// plain or TLS, exchanging text lines with blocking calls on the caller's
// thread. No operation throws: failures are logged, reported to the crash
// reporter and turned into neutral answers (false, an empty text, nothing).
//
// Every blocking wait is bounded. With a deadline (the tasks pass the end of
// their own time-out) an operation ends by that deadline; with an I/O
// time-out as well, at the earlier of the two; with neither, after
// kDefaultIoTimeout. An operation that runs out of time closes the
// connection and takes its failure path.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <boost/system/error_code.hpp>

namespace Poco {
class Logger;
}

namespace trevask::measurement_library {

class TcpConnection {
public:
    // Bound of one operation when neither setIoTimeout nor setDeadline was called.
    static constexpr std::chrono::milliseconds kDefaultIoTimeout{10000};
    // Longest line (without its line feed) that a read accepts. A longer
    // line fails its read and is dropped up to its line feed; the next read
    // starts with the line after it.
    static constexpr std::size_t kMaxLineLength = 64 * 1024;

    TcpConnection(std::string host, int32_t port, bool useTls, std::string connectionName);
    virtual ~TcpConnection();

    TcpConnection(const TcpConnection&) = delete;
    TcpConnection& operator=(const TcpConnection&) = delete;
    TcpConnection(TcpConnection&&) = delete;
    TcpConnection& operator=(TcpConnection&&) = delete;

    // Resolves, connects and, for TLS, handshakes (no certificate check, no
    // SNI), all within one operation's bound: a resolver that never answers
    // is given up at that bound like a silent peer. True on success.
    bool connect();
    // The next line without its "\n" ("\r" stays); empty on failure.
    std::string readLine();
    // Lines up to and including the first empty line, each followed by "\n";
    // empty on failure (lines read before the failure are dropped).
    std::string readMultiLine();
    // Writes the message and one "\n".
    void sendMessage(std::string message);
    // Writes the message unchanged.
    void sendMessageWithoutEndl(std::string message);

    // Bound of each following operation (connect, read, write); a value of
    // zero or less makes every operation fail at once.
    void setIoTimeout(std::chrono::nanoseconds timeout);
    // No following operation runs past this instant. Without an I/O time-out
    // this is the only bound: a read may wait for all that is left of it.
    void setDeadline(std::chrono::steady_clock::time_point deadline);

    // True when the last readLine or readMultiLine failed (its empty answer
    // is then no line that arrived).
    bool lastReadFailed() const;

    // True once connect has made a plain or TLS stream (also when the attempt
    // then failed).
    bool hasStream() const;
    // "<connectionName>_<host>:<port>", used in every log line.
    const std::string& connectionIdentity() const;
    const std::string& host() const;
    int32_t port() const;

    // Logs under the name "TcpConnection".
    static Poco::Logger& logger();

protected:
    // Asynchronous access for a derived class that runs the I/O context on a
    // thread of its own after the blocking phase. Completions and posted
    // functions run on that thread, serialised by the connection's strand.
    using IoHandler = std::function<void(const boost::system::error_code&, std::size_t)>;

    bool usesTls() const;
    // True once an operation has run out of time (the stream is closed then).
    bool hasTimedOut() const;
    // Bytes the blocking reads received past their last line, handed over
    // to the asynchronous phase.
    std::string takeReadBuffer();
    // Reads into buffer until it holds "\n" (at most kMaxLineLength + 1 bytes
    // in the buffer before the line end is found).
    void asyncReadLine(std::string& buffer, IoHandler handler);
    // Writes all of *data; data stays alive until the handler has run.
    void asyncWrite(std::shared_ptr<const std::string> data, IoHandler handler);
    void postToStrand(std::function<void()> function);
    // Shuts down and closes whichever socket is open; failures are ignored.
    void shutdownAndClose();
    // Runs the I/O context until it runs out of work.
    void runIoContext();

private:
    struct Impl;
    std::unique_ptr<Impl> d;

    bool readOneLine(std::string& line, std::chrono::steady_clock::time_point until, boost::system::error_code& error);
    bool skipRestOfLine(std::chrono::steady_clock::time_point until, boost::system::error_code& error);
    void writeAll(const std::string& data, const char* operation);
};

}  // namespace trevask::measurement_library
