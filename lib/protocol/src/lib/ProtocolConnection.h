#pragma once

// The per-connection protocol object of a runner: requests and replies,
// envelope reads and data chunk transfers over the connection's message
// transport, plus what the routines need besides it (chunk size and chunk
// buffer, the shared random buffer, token, progress interval, closed flag and
// abort context). Failures come back as texts, except send_data_chunk's,
// which is the transport error itself.

#include "AbortContext.h"
#include "ClientResult.h"
#include "Duration.h"
#include "SprintMessages.h"
#include "Token.h"
#include "VelaExpected.h"
#include "lib/MessageTransport.h"
#include "lib/SharedRandomBuffer.h"

#include <boost/asio/awaitable.hpp>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace vela_client {

using sprintproto::Msg;

// Time limit of the measurement initialisation's request.
inline constexpr std::chrono::seconds kMeasurementInitTimeout{5};

class ProtocolConnection {
public:
    // Fails with "buffer multiplier can not be zero" for a multiplier of 0,
    // releasing everything handed in (which closes the connection).
    static std::variant<std::unique_ptr<ProtocolConnection>, std::string>
    create(MessageTransport transport, Token token, std::uint32_t buffer_multiplier, SharedRandomBufferRef random_buffer,
           Duration progress_interval, AbortContext abort);

    // Sends the envelope and gives the next envelope received; the time-out
    // covers all steps, the wait for the reader included.
    boost::asio::awaitable<Expected<Msg, std::string>> request(const Msg& msg, Timeout timeout);
    boost::asio::awaitable<Expected<Msg, std::string>> read_proto_msg(Timeout timeout);
    // Reads one chunk of chunk_buffer's length (chunk size - 1) plus its
    // marker and gives its last-chunk flag. Nobody looks at the payload, so it
    // is consumed without being copied into chunk_buffer.
    boost::asio::awaitable<Expected<bool, std::string>> recv_data_chunk(Timeout timeout);
    boost::asio::awaitable<IoStatus> send_data_chunk(std::span<const std::uint8_t> payload, bool last, Timeout timeout);
    // Empty on success, else "failed to write random data: " and the error.
    boost::asio::awaitable<std::optional<std::string>> write_random_data(std::span<const std::uint8_t> payload, bool last,
                                                                          Timeout timeout);

    // Sends up to `count` chunks cut from `random` at the running `offset`, as
    // the same number of write_random_data calls would: each slice is chunk
    // size - 1 bytes long, the offset advances by that much per chunk sent and
    // returns to 0 when the next slice would not fit. Only the final chunk may
    // be marked last. Every chunk has its own time-out, and the run may end
    // early as `limits` say (see ChunkLimits); the offset then stands after
    // the last chunk sent. The plain stream sends them in large gather writes.
    boost::asio::awaitable<ChunkRun> write_random_chunks(std::span<const std::uint8_t> random, std::size_t& offset,
                                                         std::uint32_t count, bool final_is_last, ChunkLimits limits);
    // All `count` chunks, each with the time-out: empty on success, else the
    // failure as write_random_data gives it.
    boost::asio::awaitable<std::optional<std::string>> write_random_chunks(std::span<const std::uint8_t> random,
                                                                            std::size_t& offset, std::uint32_t count,
                                                                            bool final_is_last, Timeout per_chunk);

    // Introduces the measurement on this connection and fills the shared
    // random buffer when it is still empty; gives the server's view of the
    // connection (absent when the reply has none).
    boost::asio::awaitable<Expected<std::optional<ConnectionStreamInfoParameter>, std::string>>
    measurement_init(Timeout request_timeout = kMeasurementInitTimeout);

    // Socket operations through the connection's second handle.
    void set_tcp_nodelay(bool on);
    // Abandons the connection (see abandon_socket) and marks it closed.
    void shutdown();
    // Shuts the connection down when it is out of step (see out_of_step).
    void close_if_out_of_step();
    std::shared_ptr<ReaderHolder> reader_handle() const { return transport.reader; }
    // The connection's strand: tasks that use the connection run best there.
    const boost::asio::any_io_executor& executor() const { return transport.executor; }

    std::vector<std::uint8_t> chunk_buffer;
    MessageTransport transport;
    bool closed = false;
    // Set when an operation failed part-way (a time-out, a broken or
    // undecodable frame): the connection is out of step with its server and
    // must not carry another exchange. The runner then closes it.
    bool out_of_step = false;
    // Replies received to this connection's requests so far.
    std::uint64_t replies = 0;
    // Set when the last request failed because the connection broke off
    // under it (its write failed, or its read ended or was reset), not by its
    // time-out or by a reply that made no sense.
    bool request_broke = false;
    SharedRandomBufferRef random_buffer;
    std::uint32_t chunk_size = 0;
    std::uint32_t max_rtt_payload_bytes = 0;
    Token token;
    Duration progress_interval;
    AbortContext abort;
    std::uint32_t buffer_multiplier = 1;

private:
    std::vector<std::span<const std::uint8_t>> batch_;  // slices of write_random_chunks

    ProtocolConnection(MessageTransport transport, Token token, std::uint32_t buffer_multiplier,
                       SharedRandomBufferRef random_buffer, Duration progress_interval, AbortContext abort);
};

} // namespace vela_client
