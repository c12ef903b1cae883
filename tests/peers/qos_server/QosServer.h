#pragma once
// A QoS test server for loopback tests: the control line protocol (greeting,
// token, connection time-out, tagged commands and replies) over TCP or TLS,
// and the server side of the TCP, non-transparent proxy, SIP, UDP and VoIP
// tests, with switches for misbehaviour. One I/O thread serves everything;
// start() binds all listening sockets before it returns, stop() (or the
// destructor) ends the thread.
//
// Control protocol as served (every line ends in "\n", or "\r\n" with crlf):
//   server: greeting[0], greeting[1]
//   agent:  "TOKEN ..."           server: tokenReply ("OK"; "ERR" when the line
//                                          does not start with "TOKEN ")
//   server: afterTokenLine
//   agent:  "REQUEST CONN TIMEOUT <ms>"   server: "OK"
//   agent:  "<command> +ID<id>"           server: "<response> +ID<id>"
// Commands and responses:
//   TCPTEST OUT <port>            "OK"; the port echoes the next line of its next connection
//   NTPTEST <port>                "OK"; same echo
//   SIPTEST <port>                "OK"; the port's next connection gets the SIP exchange
//   UDPTEST OUT <port> <count>    "OK"; the UDP port echoes every datagram
//   GET UDPRESULT OUT <port>      "RCV <received> <count>"
//   VOIPTEST <port> 0 <rate> <bps> <delay ms> <duration ms> 0 <payload> <buffer>
//                                 "OK <ssrc>"; on the first RTP packet the port
//                                 starts its own RTP stream back to the sender
//   GET VOIPRESULT <ssrc>         "VOIPRESULT <max jitter> <mean jitter> <max delta>
//                                 <skew> <packets> <sequence errors> <shortest>
//                                 <longest> <sample rate> <stream duration ns>",
//                                 sent once the server's own stream has ended
//   ECHO <text>                   "<text>" (for tests of the control connection)
//   anything else                 refusalReply
// Ports named by a command that the server has not opened yet are bound on
// demand; a port that cannot be bound is refused.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace lumivex::test_peers {

struct QosServerOptions {
    // Serve the control port with TLS (self-signed test certificate).
    bool tls = false;
    std::string bindAddress = "127.0.0.1";
    // Listening ports opened at start, on port 0 (the system chooses).
    int tcpTestPorts = 2;
    int udpTestPorts = 2;

    std::vector<std::string> greeting{"QoSSP0.1", "ACCEPT [TOKEN]"};
    // Answer to a well-formed token line; replaces "OK" for refusal tests.
    std::string tokenReply = "OK";
    std::string afterTokenLine = "ACCEPT [COMMANDS]";
    std::string timeoutReply = "OK";
    std::string refusalReply = "ERR";

    // Commands answered with refusalReply: "TCPTEST", "UDPTEST", "NTPTEST",
    // "SIPTEST", "VOIPTEST", "GET UDPRESULT", "GET VOIPRESULT", "ECHO", or "*".
    std::set<std::string> refuse;

    // Where the control connection falls silent: it keeps reading (and
    // recording) but writes nothing more. Commands: the handshake completes
    // (time-out request included), tagged commands are never answered.
    enum class Silence { None, AfterAccept, AfterGreeting, AfterToken, Commands };
    Silence silence = Silence::None;
    // Test connections (TCP, proxy, SIP) read and record, and never answer.
    bool silentTestConnections = false;
    // Wait before each answer on a test connection (the echo, each SIP answer).
    std::chrono::milliseconds testReplyDelay{0};

    // Every line the server writes on control connections ends in "\r\n"
    // instead of "\n"; testCrlf does the same on test connections (echo, SIP).
    bool crlf = false;
    bool testCrlf = false;

    // Hold tagged replies until this many are due, then send them together,
    // last first when reverseBatch (0: send each at once).
    int replyBatch = 0;
    bool reverseBatch = true;
    // Each tagged reply is sent twice.
    bool duplicateReplies = false;
    // Untagged or oddly tagged lines sent once, before the first tagged reply.
    std::vector<std::string> extraLinesBeforeReplies;
    // Wait before each tagged reply.
    std::chrono::milliseconds replyDelay{0};

    // Send half a line and close the control connection.
    enum class CloseMidLine { None, Greeting, TokenReply, Reply };
    CloseMidLine closeMidLine = CloseMidLine::None;

    // A line of longLineBytes bytes (plus the line end): as the first greeting
    // line, untagged before the first tagged reply, or as the first tagged
    // reply itself (its response padded to longLineBytes, tag kept).
    enum class LongLine { None, Greeting, Reply, FirstReply };
    LongLine longLine = LongLine::None;
    std::size_t longLineBytes = 100 * 1024;

    // SIP exchange: INVITE gets TRYING then RINGING, BYE gets OK. Every SIP
    // message read is recorded (testLines), a BYE also after the call's time.
    enum class Sip { Normal, RingingFirst, ByeAnsweredWithRinging, SilentAfterTrying };
    Sip sip = Sip::Normal;

    // UDP echo: datagrams (counted from 0 in arrival order since UDPTEST)
    // that are not echoed, and extra echoes of the first datagram.
    std::set<int> udpDropPackets;
    int udpDuplicateFirst = 0;

    // VoIP: send the server's own RTP stream back to the agent.
    bool voipSendStream = true;

    // Called on the I/O thread for every line the server reads, with the
    // channel ("control", "tcp:<port>", "sip:<port>"). Must not throw.
    std::function<void(const std::string& channel, const std::string& line)> onLine;
};

class QosServer {
public:
    explicit QosServer(QosServerOptions options = {});
    ~QosServer();

    QosServer(const QosServer&) = delete;
    QosServer& operator=(const QosServer&) = delete;

    // Binds the control port and the test ports on the bind address and
    // starts the I/O thread. Throws when a port cannot be bound.
    void start();
    // Closes everything and joins the I/O thread; safe to call twice.
    void stop();

    uint16_t controlPort() const;
    std::vector<uint16_t> tcpTestPorts() const;
    std::vector<uint16_t> udpTestPorts() const;
    // {"control_port":N,"tls":false,"tcp_ports":[...],"udp_ports":[...]}
    std::string portsJson() const;

    // Every line read on control connections, in order (handshake included,
    // line ends removed).
    std::vector<std::string> controlLines() const;
    // Every line read on TCP test connections, and every SIP message.
    std::vector<std::string> testLines() const;
    // Waits until at least count control lines have been read.
    bool waitForControlLines(std::size_t count, std::chrono::milliseconds timeout) const;
    bool waitForTestLines(std::size_t count, std::chrono::milliseconds timeout) const;
    // Number of control connections accepted (after a TLS handshake, if any).
    int controlConnections() const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

// The eight figures of an RTP stream as the server computes them for GET
// VOIPRESULT (exposed for tests).
struct ServerRtpPacket {
    uint16_t sequenceNumber = 0;
    uint32_t timestamp = 0;
    int64_t receivedNs = 0;
};
struct ServerRtpStatistics {
    int32_t packets = 0;
    int64_t maxJitter = 0;
    int64_t meanJitter = 0;
    int64_t skew = 0;
    int64_t maxDelta = 0;
    int32_t sequenceErrors = 0;
    int32_t shortestSequence = 0;
    int32_t longestSequence = 0;
};
ServerRtpStatistics computeServerRtpStatistics(const std::vector<ServerRtpPacket>& packetsInArrivalOrder,
                                               uint16_t firstExpectedSequence, int32_t sampleRate);

}  // namespace lumivex::test_peers
