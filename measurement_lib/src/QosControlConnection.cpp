#include "QosControlConnection.h"

#include <mutex>
#include <stdexcept>

#include <Poco/Format.h>
#include <Poco/Logger.h>
#include <boost/asio/error.hpp>

#include "QosCallbackThreads.h"
#include "helper/ConsoleOutput.h"
#include "helper/SentryHelper.h"

namespace trevask::measurement_library {

namespace {

// Guards the send queues and callback maps of every connection.
std::recursive_mutex qosConnectionMutex;

bool isRegexSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// ECMAScript "." matches anything but a line terminator.
bool isLineTerminator(char c) { return c == '\n' || c == '\r'; }

bool isCancellation(const boost::system::error_code& error) {
    return error == boost::asio::error::operation_aborted;
}

void runCallback(const QosResponseCallback& callback, const std::string& response, const std::string& id) {
    try {
        callback(response, id);
    } catch (const std::exception& e) {
        poco_error_f2(QosControlConnection::logger(), "Callback for ID %s failed: %s", id, std::string(e.what()));
        SentryHelper::captureException(e);
    } catch (...) {
        poco_error_f1(QosControlConnection::logger(), "Callback for ID %s failed with a non-standard exception", id);
    }
}

}  // namespace

Poco::Logger& QosControlConnection::logger() {
    static Poco::Logger& instance = Poco::Logger::get("QosControlConnection");
    return instance;
}

// Same result as std::regex_search with "(.*)\s+\+ID([\d]*)", without the
// backtracking recursion that makes the standard library's matcher overflow
// the stack on long lines. The text is cut into runs without line
// terminators; the match starts at the first run for which one exists. In a
// run [start, end) the greedy group ends at the largest e <= end such that a
// whitespace run starting at e is followed by "+ID".
std::optional<QosReply> matchQosReply(std::string_view line) {
    const std::size_t n = line.size();
    std::size_t start = 0;
    while (true) {
        std::size_t end = start;
        while (end < n && !isLineTerminator(line[end])) ++end;

        std::optional<std::size_t> groupEnd;
        std::size_t tag = 0;
        if (end < n) {
            // The terminator itself is whitespace and is the largest possible e.
            std::size_t q = end;
            while (q < n && isRegexSpace(line[q])) ++q;
            if (line.substr(q, 3) == "+ID") {
                groupEnd = end;
                tag = q;
            }
        }
        if (!groupEnd && end >= start + 4) {
            std::size_t from = end - 3;
            while (true) {
                const std::size_t p = line.rfind("+ID", from);
                if (p == std::string_view::npos || p < start + 1) break;
                if (isRegexSpace(line[p - 1])) {
                    groupEnd = p - 1;
                    tag = p;
                    break;
                }
                if (p < start + 2) break;
                from = p - 1;
            }
        }
        if (groupEnd) {
            std::size_t digitsEnd = tag + 3;
            while (digitsEnd < n && line[digitsEnd] >= '0' && line[digitsEnd] <= '9') ++digitsEnd;
            return QosReply{std::string(line.substr(start, *groupEnd - start)),
                            std::string(line.substr(tag + 3, digitsEnd - tag - 3))};
        }
        if (end >= n) return std::nullopt;
        start = end + 1;
    }
}

QosControlConnection::QosControlConnection(std::string host, int32_t port, bool useTls, std::string tokenLine,
                                           std::chrono::nanoseconds handshakeTimeout)
    : TcpConnection(std::move(host), port, useTls, "qos_control"),
      tokenLine(std::move(tokenLine)),
      callbacks(std::make_shared<std::map<std::string, QosResponseCallback>>()),
      handshakeTimeout(handshakeTimeout) {}

std::thread::id QosControlConnection::ioThreadId() const { return iothread ? iothread->get_id() : std::thread::id{}; }

bool QosControlConnection::connect() {
    try {
        poco_information_f2(logger(), "Connecting Qos control connection... (%s:%s)", host(), std::to_string(port()));

        // The whole handshake shares one bound: a silent server cannot hold the caller.
        setIoTimeout(handshakeTimeout);
        setDeadline(std::chrono::steady_clock::now() + handshakeTimeout);
        if (!TcpConnection::connect()) return false;

        poco_information(logger(), "Starting Qos control connection...");
        readLine();
        readLine();
        sendMessage(tokenLine);
        const std::string tokenReply = readLine();
        if (tokenReply != "OK") {
            poco_error(logger(), "Qos control connection: Failed!");
            return false;
        }
        readLine();
        setTimeout(kConnectionTimeoutMs);
        if (hasTimedOut()) {
            // The server fell silent within the handshake; its stream is closed.
            poco_error(logger(), "Qos control connection: handshake timed out");
            return false;
        }
        poco_information(logger(), "Starting Qos control connection: Successful!");
        // Replies that arrived with the handshake's last line are not lost.
        responseBuffer = takeReadBuffer();

        startReading();

        poco_information(logger(), "before iothread = ");
        iothread = std::make_unique<std::thread>([this] {
            // Handlers do not throw; should one do so anyway, keep serving.
            while (true) {
                try {
                    runIoContext();
                    return;
                } catch (const std::exception& e) {
                    poco_error_f1(logger(), "Exception on the QoS I/O thread: %s", std::string(e.what()));
                    SentryHelper::captureException(e);
                } catch (...) {
                    poco_error(logger(), "Non-standard exception on the QoS I/O thread");
                }
            }
        });
        poco_information(logger(), "after iothread = ");
        // Requests queued during the handshake go out now, after the token
        // and the time-out request.
        bool queued = false;
        {
            std::lock_guard lock(qosConnectionMutex);
            writing = true;
            queued = !messageQueue.empty();
        }
        if (queued) sendNextMessage();
        return true;
    } catch (const std::exception& e) {
        SentryHelper::captureException(e);
        poco_error_f1(logger(), "Exception while connecting to QoS server: %s", std::string(e.what()));
        return false;
    }
}

void QosControlConnection::setTimeout(int64_t timeoutMs) {
    const std::string value = std::to_string(timeoutMs);
    poco_information_f1(logger(), "Setting QoS control connection timeout to '%s'", value);
    sendMessage("REQUEST CONN TIMEOUT " + value);
    readLine();
}

void QosControlConnection::startReading() {
    const bool tls = usesTls();
    poco_information(logger(), tls ? "before ssl async_read_until" : "before async_read_until");
    postToStrand([this] {
        asyncReadLine(responseBuffer,
                      [this](const boost::system::error_code& error, std::size_t bytes) { onReceive(error, bytes); });
    });
    poco_information(logger(), tls ? "after ssl async_read_until" : "after async_read_until");
}

void QosControlConnection::sendRequest(std::string command, std::string id, QosResponseCallback callback) {
    bool startWriting = false;
    {
        std::lock_guard lock(qosConnectionMutex);
        (*callbacks)[id] = std::move(callback);
        messageQueue.push_back(command + " +ID" + id);
        startWriting = writing && messageQueue.size() == 1;
    }
    if (startWriting) sendNextMessage();
}

void QosControlConnection::sendNextMessage() {
    std::string text;
    {
        std::lock_guard lock(qosConnectionMutex);
        if (messageQueue.empty()) {
            poco_information(logger(), "not sending message because messageQueue is empty");
            return;
        }
        text = messageQueue.front();
    }
    if (text.empty()) {
        poco_information(logger(), "not sending message because it is empty");
        return;
    }
    poco_information(logger(), "sending message: " + text);
    auto data = std::make_shared<const std::string>(text + "\n");
    postToStrand([this, data] {
        asyncWrite(data, [this](const boost::system::error_code& error, std::size_t bytes) { onWrite(error, bytes); });
    });
}

void QosControlConnection::onWrite(const boost::system::error_code& error, std::size_t) {
    bool more = false;
    {
        std::lock_guard lock(qosConnectionMutex);
        if (!messageQueue.empty()) messageQueue.pop_front();
        more = !messageQueue.empty();
    }
    if (isCancellation(error)) {
        poco_warning(logger(), "onReceive was cancelled. Don't worry, this behaviour is *probably* intended.");
        return;
    }
    if (error) {
        poco_error_f1(logger(), "onReceive error: %s", error.message());
        return;
    }
    if (more) sendNextMessage();
}

void QosControlConnection::onReceive(const boost::system::error_code& error, std::size_t bytes) {
    if (isCancellation(error)) {
        poco_warning(logger(), "onReceive was cancelled. Don't worry, this behaviour is *probably* intended.");
        return;
    }
    if (error == boost::asio::error::not_found) {
        // A reply line longer than the line bound fills the buffer without a
        // line end: drop it up to its line end and keep reading.
        if (!skippingLongLine) {
            poco_error_f2(logger(), "Dropping a reply line longer than %z bytes: %s...", kMaxLineLength,
                          responseBuffer.substr(0, 80));
        }
        responseBuffer.clear();
        skippingLongLine = true;
        startReading();
        return;
    }
    if (error) {
        poco_error_f1(logger(), "onReceive error: %s", error.message());
        return;
    }
    if (skippingLongLine) {
        // The tail of the dropped line.
        responseBuffer.erase(0, bytes);
        skippingLongLine = false;
        startReading();
        return;
    }
    try {
        const std::string line = responseBuffer.substr(0, bytes - 1);
        responseBuffer.erase(0, bytes);
        auto reply = matchQosReply(line);
        if (!reply) {
            poco_information_f1(logger(), "Received response: %s. Don't know what to do?!?", line);
        } else {
            poco_information_f2(logger(), "Received response: %s for ID: %s", reply->response, reply->id);
            QosResponseCallback callback;
            bool found = false;
            {
                std::lock_guard lock(qosConnectionMutex);
                auto it = callbacks->find(reply->id);
                if (it != callbacks->end()) {
                    callback = std::move(it->second);
                    callbacks->erase(it);
                    found = true;
                }
            }
            if (!found) {
                poco_warning_f1(logger(), "No callback found for ID: %s", reply->id);
            } else if (callback) {
                const std::string id = reply->id;
                const bool started =
                    QosCallbackThreads::start([callback = std::move(callback), response = std::move(reply->response),
                                               id = std::move(reply->id)] { runCallback(callback, response, id); });
                // No thread for the callback (none could be made, or the
                // process is ending): the reply is dropped, the connection goes on.
                if (!started) {
                    poco_error_f1(logger(), "Could not start the callback thread for ID: %s", id);
                }
            }
        }
    } catch (const std::exception& e) {
        poco_error_f1(logger(), "Could not handle response: %s", std::string(e.what()));
        SentryHelper::captureException(e);
    }
    startReading();
}

QosControlConnection::~QosControlConnection() {
    try {
        poco_information(logger(), "qoscc: in destruct");
        postToStrand([this] { shutdownAndClose(); });
        poco_information(logger(), "qoscc: in destruct after close");
        poco_information(logger(), "qoscc: in destruct before join if");
        if (iothread && iothread->joinable()) {
            poco_information(logger(), "qoscc: in destruct before join");
            iothread->join();
        }
        poco_information(logger(), "qoscc: in destruct after join");
    } catch (const std::exception& e) {
        poco_error_f1(logger(), "qoscc: in destruct catch exception: %s", std::string(e.what()));
        SentryHelper::captureException(e);
    } catch (...) {
        poco_error(logger(), "qoscc: in destruct catch something");
    }
    printLine(";;; end qos control destructor");
}

}  // namespace trevask::measurement_library
