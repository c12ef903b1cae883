#pragma once

// Framing of a runner connection: protocol envelopes and test data chunks,
// either in websocket messages or on the raw stream (a 2-byte big-endian
// length before every envelope, chunks bare). The reader and the writer of
// one connection may work at the same time from two tasks.
//
// Every operation runs on the connection's strand; awaiting it from a task
// on that strand (executor()) avoids one hop per call. Data chunks are the
// bulk of the traffic: a receiver that does not look at the payload skips it
// (skip_chunk), and a sender hands many chunks to one call (send_chunks),
// which the plain stream puts on the socket in large gather writes while
// every chunk keeps its own time-out.

#include "lib/AsyncLock.h"
#include "lib/SocketOps.h"
#include "lib/TransportError.h"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace vela_client {

// Limits of a run of chunks (send_chunks): each chunk has its own time-out,
// counted from the end of the chunk before it (so a batch never fails where
// sending its chunks one by one would not); no chunk waits past `give_up`;
// and where the connection makes the sender wait at a chunk boundary, `stop`
// is asked whether to end the run there.
struct ChunkLimits {
    Timeout per_chunk;
    std::optional<std::chrono::steady_clock::time_point> give_up;
    std::function<bool()> stop;
};

// How a run of chunks ended: the chunks sent whole, and the failure that
// ended it early (none when it sent all, or stopped as asked).
struct ChunkRun {
    std::size_t sent = 0;
    IoStatus status;
};

class MessageReader {
public:
    virtual ~MessageReader() = default;
    // On success the buffer holds exactly the bytes of one envelope.
    virtual boost::asio::awaitable<IoStatus> recv_msg(std::vector<std::uint8_t>& buffer, Timeout timeout) = 0;
    // Reads one chunk whose payload fills `payload` (its length is the payload
    // length expected) and sets `last` from the marker byte.
    virtual boost::asio::awaitable<IoStatus> recv_chunk(std::span<std::uint8_t> payload, bool& last, Timeout timeout) = 0;
    // Reads one chunk of `payload_size` payload bytes like recv_chunk, with
    // the same checks, errors and time-out, but without keeping the payload.
    virtual boost::asio::awaitable<IoStatus> skip_chunk(std::size_t payload_size, bool& last, Timeout timeout) = 0;
    // Returns once something can be read or the connection has ended: for an
    // idle connection either means that the server spoke unasked or left.
    // Cancellable (a command that arrives first ends the wait). Over TLS the
    // server's own records make the socket readable at any time, so there it
    // ends only when cancelled.
    virtual boost::asio::awaitable<void> wait_readable() = 0;
};

class MessageWriter {
public:
    virtual ~MessageWriter() = default;
    virtual boost::asio::awaitable<IoStatus> send_msg(std::span<const std::uint8_t> bytes, Timeout timeout) = 0;
    virtual boost::asio::awaitable<IoStatus> send_chunk(std::span<const std::uint8_t> payload, bool last, Timeout timeout) = 0;
    // Sends one chunk per payload, in order, as send_chunk would; only the
    // final one may be marked last. See ChunkLimits for the time-outs and
    // the stop; a chunk that was begun is always finished.
    virtual boost::asio::awaitable<ChunkRun> send_chunks(std::span<const std::span<const std::uint8_t>> payloads,
                                                         bool final_is_last, const ChunkLimits& limits) = 0;
};

// send_chunks as single send_chunk calls, for the framings that write one
// message or record set at a time.
boost::asio::awaitable<ChunkRun> send_chunks_one_by_one(MessageWriter& writer,
                                                        std::span<const std::span<const std::uint8_t>> payloads,
                                                        bool final_is_last, ChunkLimits limits);

// The receiving half behind its asynchronous mutex; shared by the protocol
// connection and the reading sub-tasks of a runner.
struct ReaderHolder {
    AsyncMutex mutex;
    std::unique_ptr<MessageReader> reader;
};

struct MessageTransport {
    Endpoint peer_address;
    Endpoint local_address;
    std::shared_ptr<ReaderHolder> reader;
    std::unique_ptr<MessageWriter> writer;
    SocketHandle socket;  // second handle of the connection's socket
    boost::asio::any_io_executor executor;  // the connection's strand

    // Constructors over a connected stream (plain TCP or TLS) or a websocket
    // whose opening handshake is done; the stream types are those of
    // StreamTypes.h. They fail with the address query's text and then release
    // what they were given.
    template <class Stream>
    static std::variant<MessageTransport, std::string> from_stream(Stream&& stream, SocketHandle socket);
    template <class WebSocket>
    static std::variant<MessageTransport, std::string> from_websocket(WebSocket&& websocket, SocketHandle socket);
};

} // namespace vela_client
