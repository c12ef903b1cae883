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

    // Sends `count` chunks cut from `random` at the running `offset`, as the
    // same number of write_random_data calls would: each slice is chunk size
    // - 1 bytes long, the offset advances by that much per chunk and returns
    // to 0 when the next slice would not fit. Only the final chunk may be
    // marked last. The chunks go out in large gather writes; the time-out
    // covers the whole batch. Failures as write_random_data's.
    boost::asio::awaitable<std::optional<std::string>> write_random_chunks(std::span<const std::uint8_t> random,
                                                                            std::size_t& offset, std::uint32_t count,
                                                                            bool final_is_last, Timeout timeout);

    // Introduces the measurement on this connection and fills the shared
    // random buffer when it is still empty; gives the server's view of the
    // connection (absent when the reply has none).
    boost::asio::awaitable<Expected<std::optional<ConnectionStreamInfoParameter>, std::string>>
    measurement_init(Timeout request_timeout = kMeasurementInitTimeout);

    // Socket operations through the connection's second handle.
    void set_tcp_nodelay(bool on);
    void shutdown();
    std::shared_ptr<ReaderHolder> reader_handle() const { return transport.reader; }
    // The connection's strand: tasks that use the connection run best there.
    const boost::asio::any_io_executor& executor() const { return transport.executor; }

    std::vector<std::uint8_t> chunk_buffer;
    MessageTransport transport;
    bool closed = false;
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
