#pragma once

// A measurement server for the speed-test client's tests and benchmarks,
// written from the client's side of the protocol with the protoc-generated
// codec. One TCP port serves all four connection kinds (plain or TLS, stream
// or websocket framing; TLS is recognised by its first byte, a websocket by
// its upgrade request) and one UDP port answers the UDP ping. Downlink data
// goes out in large writes from one pre-filled buffer.
//
// Start it on its own threads from a test (start(), then tcp_port() and
// udp_port()), or run the speed_server executable, which prints its ports as
// one JSON line.

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace speed_server {

// Where a connection is cut off in the middle of a unit (the first reply after
// the initialisation, or the first downlink chunk).
enum class CutOff {
    None,
    InLengthField,  // one byte of a reply's length field
    InBody,         // the length field and half of a reply's body
    InChunkPayload, // half of a chunk's payload
    BeforeMarker,   // a chunk's payload without its marker byte
};

struct ErrorReply {
    int status_code = 2;  // a ResponseStatus value
    std::string description;
};

struct Options {
    std::string bind_address = "127.0.0.1";
    int threads = 2;

    std::uint32_t chunk_size = 4096;
    std::uint32_t max_rtt_payload_bytes = 4096;
    bool send_connection_info = true;
    // When set, the token's HMAC-SHA3-256 is checked with this key and a
    // wrong one answered with GenericResponse InvalidToken.
    std::optional<std::string> secret_key;
    std::string invalid_token_description = "invalid token";

    bool tls_enabled = true;  // serve TLS when a client starts a handshake

    // Misbehaviour.
    bool silent = false;          // accept, then never read or answer anything
    bool silent_init = false;     // complete TLS / websocket, but never answer the initialisation
    std::chrono::milliseconds init_reply_delay{0};
    std::chrono::milliseconds reply_delay{0};  // before every reply after the initialisation
    std::size_t trickle_bytes = 0;             // downlink chunks in pieces of this size ...
    std::chrono::milliseconds trickle_pause{0};  // ... with this pause between pieces
    bool omit_last_marker = false;             // never mark a downlink chunk as the last
    bool skip_completed_notification = false;  // uplink test: never send completed = true
    bool stall_uplink = false;                 // uplink requests: consent, then never read again
    // Uplink data is read at this rate, shared by all connections as one link
    // would be (0: as fast as it comes).
    std::uint64_t uplink_rate_bps = 0;
    // With a rate set: every reader is held once for this long, 1.2 s into
    // the first uplink test, as a busy machine leaves a server without a
    // processor for a while; the link meanwhile fills the receive buffers.
    std::chrono::milliseconds uplink_reader_stall{0};
    // Closes the connection after this many answered requests following the
    // initialisation (0: never), as a server that drops idle connections.
    std::uint32_t close_after_requests = 0;
    // Closes a connection that waits this long for its next request, as a
    // server that drops idle connections between steps (0: never).
    std::chrono::milliseconds idle_close{0};
    // Closes the connection after every downlink test, uplink test and
    // round-trip series, as a server that ends each step's connection.
    bool close_after_tests = false;
    // ... this long after the step, as a busy server closes late: the
    // client's next request may already be on its way.
    std::chrono::milliseconds close_delay{0};
    // Replies with a GenericResponse of this status and description to the
    // request whose envelope field number is the key (3 = initialisation,
    // 5 = downlink pretest, 6 = downlink test, 7, 8 = uplink, 10 = RTT TCP,
    // 15 = server load, 17 = traceroute).
    std::map<int, ErrorReply> error_replies;
    CutOff cut_off = CutOff::None;

    // UDP ping.
    std::set<std::uint32_t> udp_drop_ids;  // never answered
    std::uint32_t udp_drop_every = 0;      // drop every n-th request (0: none)
    bool udp_duplicate = false;            // answer every request twice
    bool udp_reorder = false;              // swap the answers of each pair (0,1), (2,3), ...
};

// What the server saw.
struct Stats {
    std::uint64_t connections = 0;
    std::uint64_t init_requests = 0;
    std::uint64_t tokens_rejected = 0;
    std::uint64_t uplink_bytes = 0;
    std::uint64_t downlink_bytes = 0;
    std::uint64_t udp_requests = 0;
    std::vector<std::string> requests;  // submessage names in arrival order
};

class SpeedServer {
public:
    explicit SpeedServer(Options options = {});
    ~SpeedServer();
    SpeedServer(const SpeedServer&) = delete;
    SpeedServer& operator=(const SpeedServer&) = delete;

    // Binds both ports (port 0) and starts the threads.
    void start();
    void stop();

    std::uint16_t tcp_port() const;
    std::uint16_t udp_port() const;
    Stats stats() const;
    // PEM of the self-signed certificate that TLS connections are served with.
    const std::string& certificate_pem() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace speed_server
