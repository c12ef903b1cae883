#include "lib/ProtocolConnection.h"

#include "ClientLog.h"
#include "lib/detail/Watchdog.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <random>

namespace asio = boost::asio;

namespace vela_client {

namespace {

using detail::Clock;
using detail::Deadline;

constexpr const char* kRequestTimedOut = "protobuf communication timed out";

// What is left of a deadline as a time-out of one step.
Timeout remaining(const Deadline& deadline)
{
    if (!deadline)
        return std::nullopt;
    return std::max(Clock::duration::zero(), *deadline - Clock::now());
}

// Takes the reader's mutex; gives no guard when the deadline passed first.
// The wait is one asynchronous wait for whichever comes first, the mutex or
// the deadline; a grant that races with the deadline is given back.
asio::awaitable<std::optional<AsyncLockGuard>> lock_reader(ReaderHolder& holder, const Deadline& deadline)
{
    using namespace asio::experimental::awaitable_operators;
    if (auto guard = holder.mutex.try_lock(); guard.owns_lock())
        co_return std::optional<AsyncLockGuard>(std::move(guard));
    if (!deadline)
        co_return std::optional<AsyncLockGuard>(co_await holder.mutex.lock());
    if (detail::passed(deadline))
        co_return std::nullopt;
    asio::steady_timer timer(co_await asio::this_coro::executor, *deadline);
    auto first = co_await (holder.mutex.lock() || timer.async_wait(asio::as_tuple(asio::use_awaitable)));
    if (auto* guard = std::get_if<0>(&first))
        co_return std::optional<AsyncLockGuard>(std::move(*guard));
    co_return std::nullopt;
}

struct ReadOutcome {
    IoStatus status;
    bool lock_timed_out = false;
};

asio::awaitable<ReadOutcome> read_envelope(ReaderHolder& holder, std::vector<std::uint8_t>& buffer, Timeout read_timeout,
                                           const Deadline& lock_deadline)
{
    auto guard = co_await lock_reader(holder, lock_deadline);
    if (!guard)
        co_return ReadOutcome{std::nullopt, true};
    auto status = co_await holder.reader->recv_msg(buffer, read_timeout);
    co_return ReadOutcome{std::move(status), false};
}

} // namespace

ProtocolConnection::ProtocolConnection(MessageTransport t, Token tok, std::uint32_t multiplier, SharedRandomBufferRef buffer,
                                       Duration interval, AbortContext a)
    : transport(std::move(t)), random_buffer(std::move(buffer)), token(std::move(tok)), progress_interval(interval),
      abort(std::move(a)), buffer_multiplier(multiplier)
{
}

std::variant<std::unique_ptr<ProtocolConnection>, std::string>
ProtocolConnection::create(MessageTransport transport, Token token, std::uint32_t buffer_multiplier,
                           SharedRandomBufferRef random_buffer, Duration progress_interval, AbortContext abort)
{
    if (buffer_multiplier == 0)
        return std::string("buffer multiplier can not be zero");  // the transport is released here
    return std::unique_ptr<ProtocolConnection>(new ProtocolConnection(std::move(transport), std::move(token), buffer_multiplier,
                                                                      std::move(random_buffer), progress_interval,
                                                                      std::move(abort)));
}

asio::awaitable<Expected<Msg, std::string>> ProtocolConnection::request(const Msg& msg, Timeout timeout)
{
    const Deadline deadline = detail::deadline_after(timeout);
    request_broke = false;
    auto broke = [](const TransportError& e) {
        return e.kind != IoErrorKind::TimedOut && e.kind != IoErrorKind::InvalidData;
    };
    std::vector<std::uint8_t> bytes;
    bytes.reserve(msg.encoded_len());
    msg.encode(bytes);
    // The steps carry what is left of the request's own deadline, so a
    // time-out of a step is the request's.
    if (auto failed = co_await transport.writer->send_msg(bytes, remaining(deadline))) {
        out_of_step = true;
        request_broke = broke(*failed);
        if (deadline && failed->kind == IoErrorKind::TimedOut)
            co_return unexpected(std::string(kRequestTimedOut));
        co_return unexpected("failed to write proto message: " + failed->text);
    }
    std::vector<std::uint8_t> reply;
    auto read = co_await read_envelope(*transport.reader, reply, remaining(deadline), deadline);
    // A reply that did not come whole, or not in time, would answer the next
    // request: the connection is out of step from here on.
    out_of_step = out_of_step || read.lock_timed_out || read.status;
    if (read.lock_timed_out)
        co_return unexpected(std::string(kRequestTimedOut));
    if (read.status) {
        request_broke = broke(*read.status);
        if (deadline && read.status->kind == IoErrorKind::TimedOut)
            co_return unexpected(std::string(kRequestTimedOut));
        co_return unexpected("failed to read proto message: " + read.status->text);
    }
    auto decoded = Msg::decode(reply);
    if (!decoded) {
        out_of_step = true;
        co_return unexpected(std::string("failed to decode proto message"));
    }
    ++replies;
    co_return std::move(decoded).value();
}

asio::awaitable<Expected<Msg, std::string>> ProtocolConnection::read_proto_msg(Timeout timeout)
{
    std::vector<std::uint8_t> buffer;
    // The time-out starts once the reader is ours.
    auto read = co_await read_envelope(*transport.reader, buffer, timeout, std::nullopt);
    if (read.status) {
        out_of_step = true;
        co_return unexpected("failed to read proto message: " + read.status->text);
    }
    auto decoded = Msg::decode(buffer);
    if (!decoded) {
        out_of_step = true;
        co_return unexpected(std::string("failed to decode proto message"));
    }
    co_return std::move(decoded).value();
}

asio::awaitable<Expected<bool, std::string>> ProtocolConnection::recv_data_chunk(Timeout timeout)
{
    chunk_buffer.resize(chunk_size > 0 ? chunk_size - 1 : 0);
    auto& holder = *transport.reader;
    auto guard = holder.mutex.try_lock();
    if (!guard.owns_lock())
        guard = co_await holder.mutex.lock();
    // The payload is never looked at: it is counted, not copied.
    bool last = false;
    auto status = co_await holder.reader->skip_chunk(chunk_buffer.size(), last, timeout);
    guard.release();
    if (status) {
        out_of_step = true;
        co_return unexpected(std::move(status->text));
    }
    co_return last;
}

asio::awaitable<IoStatus> ProtocolConnection::send_data_chunk(std::span<const std::uint8_t> payload, bool last, Timeout timeout)
{
    auto status = co_await transport.writer->send_chunk(payload, last, timeout);
    if (status)
        out_of_step = true;
    co_return status;
}

asio::awaitable<std::optional<std::string>> ProtocolConnection::write_random_data(std::span<const std::uint8_t> payload,
                                                                                   bool last, Timeout timeout)
{
    if (auto failed = co_await send_data_chunk(payload, last, timeout))
        co_return "failed to write random data: " + failed->text;
    co_return std::nullopt;
}

asio::awaitable<ChunkRun> ProtocolConnection::write_random_chunks(std::span<const std::uint8_t> random, std::size_t& offset,
                                                                   std::uint32_t count, bool final_is_last, ChunkLimits limits)
{
    const std::size_t payload = chunk_size > 0 ? chunk_size - 1 : 0;
    if (payload > random.size()) {
        out_of_step = true;
        co_return ChunkRun{0, TransportError{IoErrorKind::InvalidData,
                                             "chunk of " + std::to_string(chunk_size) + " bytes exceeds the random buffer of " +
                                                 std::to_string(random.size()) + " bytes"}};
    }
    // The same bytes from the chunk image where it was laid out for this
    // buffer and chunk size: there a chunk's payload is followed by its
    // not-last marker, and the stream writes a run of chunks as one piece.
    const SharedRandomBuffer* shared = random_buffer.get();
    const bool imaged = payload > 0 && shared && random.data() == shared->bytes.data() &&
                        random.size() == shared->bytes.size() && shared->image_chunk_size == chunk_size &&
                        !shared->chunk_image.empty();
    batch_.clear();
    std::size_t next = offset;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (next + payload > random.size())
            next = 0;
        if (imaged)
            batch_.push_back(std::span<const std::uint8_t>(shared->chunk_image).subspan(next / payload * chunk_size, payload));
        else
            batch_.push_back(random.subspan(next, payload));
        next += payload;
    }
    ChunkRun run = co_await transport.writer->send_chunks(batch_, final_is_last, limits);
    if (run.sent > 0) {
        const std::uint8_t* base = imaged ? shared->chunk_image.data() : random.data();
        const auto at = static_cast<std::size_t>(batch_[run.sent - 1].data() - base);
        offset = (imaged ? at / chunk_size * payload : at) + payload;
    }
    if (run.status)
        out_of_step = true;
    co_return run;
}

asio::awaitable<std::optional<std::string>> ProtocolConnection::write_random_chunks(std::span<const std::uint8_t> random,
                                                                                     std::size_t& offset, std::uint32_t count,
                                                                                     bool final_is_last, Timeout per_chunk)
{
    ChunkLimits limits{per_chunk, std::nullopt, {}};  // apart from the co_await, for g++ 12's temporaries
    auto run = co_await write_random_chunks(random, offset, count, final_is_last, std::move(limits));
    if (run.status)
        co_return "failed to write random data: " + run.status->text;
    co_return std::nullopt;
}

void ProtocolConnection::set_tcp_nodelay(bool on)
{
    const std::string error = set_socket_nodelay(transport.socket, on);
    if (!error.empty())
        log_event(LogLevel::Error, "protocol", "failed to set TCP_NODELAY: " + error);
}

void ProtocolConnection::shutdown()
{
    abandon_socket(transport.socket);
    closed = true;
}

void ProtocolConnection::close_if_out_of_step()
{
    if (out_of_step && !closed)
        shutdown();
}

} // namespace vela_client
