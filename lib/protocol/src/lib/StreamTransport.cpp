// Stream framing: a 2-byte big-endian length before every envelope, data
// chunks bare (payload, then one marker byte).
//
// Reads go through one large buffer, so that one read of the stream serves
// many small chunks, and a skipped chunk's payload is only counted, never
// copied; large payloads that the caller wants are read straight into its
// buffer together with what follows them. Writes are gather writes: the
// length field or the marker byte goes out with the bytes it belongs to, and
// a batch of chunks goes out in as few system calls as the stream allows.
//
// Every read and write is first tried at once on the non-blocking socket;
// only when the socket would block does the operation wait through the
// reactor (and only then is its deadline watched). So a transfer that keeps
// the socket busy runs without a scheduler hop per chunk. TLS runs in a
// session of our own (TlsSession) that works the same way with many records
// per socket call.

#include "lib/MessageTransport.h"
#include "lib/StreamTypes.h"
#include "lib/TlsSession.h"
#include "lib/detail/BuildTransport.h"
#include "lib/detail/CopyBytes.h"
#include "lib/detail/Watchdog.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/ssl/error.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>

#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/steady_timer.hpp>

#include <sys/ioctl.h>
#include <linux/sockios.h>

#include <array>
#include <cstring>
#include <type_traits>

namespace asio = boost::asio;
using boost::system::error_code;

namespace vela_client {

namespace {

using detail::Deadline;
using detail::passed;
using detail::Watchdog;

constexpr std::size_t kReadBufferSize = 256 * 1024;
constexpr std::size_t kMaxEnvelope = 0xFFFF;
// Payloads the caller keeps from this size on are read in place.
constexpr std::size_t kDirectReadMin = 16 * 1024;
constexpr std::size_t kDirectReadTail = 4096;
// Marker bytes for gather writes: not last, last.
constexpr std::uint8_t kMarkers[2] = {0x00, 0xFF};
// TLS: the plaintext of a full record, and how much a run of chunks seals
// ahead of the socket at most (half the session's ring) and at least.
constexpr std::size_t kRecordPlain = TlsSession::kRecordPlaintext;
constexpr std::size_t kMostAhead = TlsSession::kRingBytes / 2;
constexpr std::size_t kLeastAhead = kRecordPlain;
// How often a writer that waits for a full socket looks at its send queue.
constexpr std::chrono::milliseconds kDrainPoll{200};

// Bytes in the socket's send queue not yet sent; -1 when unknown.
int unsent_bytes(int fd)
{
    int queued = 0;
    return ::ioctl(fd, TIOCOUTQ, &queued) == 0 ? queued : -1;
}

template <class Stream>
constexpr bool kIsTls = std::is_same_v<Stream, TlsSessionPtr>;

bool would_block(const error_code& ec) { return ec == asio::error::would_block || ec == asio::error::try_again; }

bool is_end_of_stream(const error_code& ec)
{
    return ec == asio::error::eof || ec == asio::ssl::error::stream_truncated;
}

// Outcome of one read of the stream.
struct Step {
    error_code ec;
    std::size_t bytes = 0;
    bool timed_out = false;
};

template <class Stream>
struct StreamState : std::enable_shared_from_this<StreamState<Stream>> {
    explicit StreamState(Stream&& s)
        : stream(std::move(s)), strand(strand_of(executor_of(stream))), read_watch(strand), write_watch(strand)
    {
        if constexpr (!kIsTls<Stream>) {
            error_code ignored;
            stream.non_blocking(true, ignored);  // reads and writes are tried at once
        }
    }

    static asio::any_io_executor executor_of(Stream& s)
    {
        if constexpr (kIsTls<Stream>)
            return s->get_executor();
        else
            return s.get_executor();
    }

    // Reads some bytes: at once when they are there, else after waiting
    // within the deadline.
    asio::awaitable<Step> read_some(std::span<const asio::mutable_buffer> buffers, const Deadline& deadline)
    {
        Step step;
        if constexpr (kIsTls<Stream>) {
            auto got = co_await stream->read_some(buffers, deadline, read_watch, this->weak_from_this());
            step.ec = got.ec;
            step.bytes = got.bytes;
            step.timed_out = got.timed_out;
        } else {
            step.bytes = stream.read_some(buffers, step.ec);
            if (!would_block(step.ec))
                co_return step;
            if (passed(deadline)) {
                step.timed_out = true;
                co_return step;
            }
            if (deadline)
                read_watch.watch(*deadline, this->weak_from_this());
            auto [ec, n] = co_await stream.async_read_some(
                buffers, asio::bind_cancellation_slot(read_watch.slot(), asio::as_tuple(asio::use_awaitable)));
            read_watch.stop();
            step.ec = ec;
            step.bytes = n;
            step.timed_out = deadline && ec == asio::error::operation_aborted && read_watch.expired();
        }
        co_return step;
    }

    Stream stream;
    Strand strand;
    Watchdog read_watch;
    Watchdog write_watch;
};

template <class Stream>
class StreamMessageReader final : public MessageReader {
public:
    explicit StreamMessageReader(std::shared_ptr<StreamState<Stream>> state)
        : state_(std::move(state)), buffer_(new std::uint8_t[kReadBufferSize])
    {
    }

    asio::awaitable<IoStatus> recv_msg(std::vector<std::uint8_t>& buffer, Timeout timeout) override
    {
        const auto own_executor = co_await asio::this_coro::executor;
        if (!runs_on(own_executor, state_->strand))
            co_return co_await asio::co_spawn(state_->strand, recv_msg(buffer, timeout), asio::use_awaitable);
        const Deadline deadline = detail::deadline_after(timeout);
        std::array<std::uint8_t, 2> length{};
        if (auto failed = co_await fill(length, "unexpected end of file", deadline))
            co_return failed;
        buffer.resize(std::size_t(length[0]) << 8 | length[1]);
        co_return co_await fill(buffer, "early eof", deadline);
    }

    asio::awaitable<IoStatus> recv_chunk(std::span<std::uint8_t> payload, bool& last, Timeout timeout) override
    {
        const auto own_executor = co_await asio::this_coro::executor;
        if (!runs_on(own_executor, state_->strand))
            co_return co_await asio::co_spawn(state_->strand, recv_chunk(payload, last, timeout), asio::use_awaitable);
        // Fast path: the whole chunk is already buffered.
        if (end_ - pos_ > payload.size()) {
            detail::copy_bytes(payload.data(), buffer_.get() + pos_, payload.size());
            pos_ += payload.size();
            last = buffer_[pos_++] == 0xFF;
            co_return IoStatus{};
        }
        const Deadline deadline = detail::deadline_after(timeout);
        if (auto failed = co_await fill(payload, "early eof", deadline))
            co_return failed;
        co_return co_await read_marker(last, deadline);
    }

    asio::awaitable<IoStatus> skip_chunk(std::size_t payload_size, bool& last, Timeout timeout) override
    {
        const auto own_executor = co_await asio::this_coro::executor;
        if (!runs_on(own_executor, state_->strand))
            co_return co_await asio::co_spawn(state_->strand, skip_chunk(payload_size, last, timeout), asio::use_awaitable);
        if (end_ - pos_ > payload_size) {
            pos_ += payload_size;
            last = buffer_[pos_++] == 0xFF;
            co_return IoStatus{};
        }
        const Deadline deadline = detail::deadline_after(timeout);
        if (auto failed = co_await skip(payload_size, deadline))
            co_return failed;
        co_return co_await read_marker(last, deadline);
    }

    asio::awaitable<void> wait_readable() override
    {
        const auto own_executor = co_await asio::this_coro::executor;
        if (!runs_on(own_executor, state_->strand))
            co_return co_await asio::co_spawn(state_->strand, wait_readable(), asio::use_awaitable);
        if (pos_ < end_)
            co_return;  // bytes already read but not asked for
        if constexpr (kIsTls<Stream>) {
            // A TLS server sends records of its own while the connection is
            // idle (session tickets): the socket's readiness says nothing
            // about the server's messages, so only a cancellation ends this.
            asio::steady_timer never(state_->strand, asio::steady_timer::time_point::max());
            co_await never.async_wait(asio::as_tuple(asio::use_awaitable));
        } else {
            // The reactor may hand a wait the readiness of bytes that a read
            // took after the reactor saw them: only bytes still there, the
            // peer's end or a failure answer the wait. An error (the wait
            // was cancelled) ends it as well.
            for (;;) {
                auto [ec] = co_await state_->stream.async_wait(TcpSocket::wait_read, asio::as_tuple(asio::use_awaitable));
                if (ec || readable_now(state_->stream.native_handle()))
                    co_return;
            }
        }
    }

private:
    asio::awaitable<IoStatus> read_marker(bool& last, const Deadline& deadline)
    {
        std::uint8_t marker = 0;
        if (auto failed = co_await fill(std::span<std::uint8_t>(&marker, 1), "unexpected end of file", deadline))
            co_return failed;
        last = marker == 0xFF;
        co_return IoStatus{};
    }

    static TransportError read_failure(const Step& step, const char* eof_text)
    {
        if (step.timed_out)
            return {IoErrorKind::TimedOut, kReadTimedOut};
        if (is_end_of_stream(step.ec) || !step.ec)
            return {IoErrorKind::UnexpectedEof, eof_text};
        return {IoErrorKind::Os, step.ec.message()};
    }

    // Fills `out` from the read buffer and then from the stream.
    asio::awaitable<IoStatus> fill(std::span<std::uint8_t> out, const char* eof_text, const Deadline& deadline)
    {
        std::size_t n = std::min(end_ - pos_, out.size());
        if (n > 0) {
            std::memcpy(out.data(), buffer_.get() + pos_, n);
            pos_ += n;
            out = out.subspan(n);
        }
        while (!out.empty()) {
            pos_ = end_ = 0;
            // Small pieces go through the read buffer; large ones are read in
            // place, with a little of what follows them (the marker, the next
            // frame's start) landing in the read buffer.
            const bool direct = out.size() >= kDirectReadMin;
            const std::array<asio::mutable_buffer, 2> targets{
                direct ? asio::buffer(out.data(), out.size()) : asio::buffer(buffer_.get(), kReadBufferSize),
                direct ? asio::buffer(buffer_.get(), kDirectReadTail) : asio::mutable_buffer()};
            const Step step = co_await state_->read_some(targets, deadline);
            if (step.bytes == 0)
                co_return read_failure(step, eof_text);
            if (direct) {
                const std::size_t used = std::min(step.bytes, out.size());
                out = out.subspan(used);
                end_ = step.bytes - used;
            } else {
                end_ = step.bytes;
                n = std::min(end_, out.size());
                std::memcpy(out.data(), buffer_.get(), n);
                pos_ = n;
                out = out.subspan(n);
            }
        }
        co_return IoStatus{};
    }

    // Drops `count` bytes: what is buffered, then what the stream brings.
    asio::awaitable<IoStatus> skip(std::size_t count, const Deadline& deadline)
    {
        std::size_t n = std::min(end_ - pos_, count);
        pos_ += n;
        count -= n;
        while (count > 0) {
            pos_ = end_ = 0;
            const asio::mutable_buffer whole = asio::buffer(buffer_.get(), kReadBufferSize);
            const Step step = co_await state_->read_some(std::span(&whole, 1), deadline);
            if (step.bytes == 0)
                co_return read_failure(step, "early eof");
            end_ = step.bytes;
            pos_ = std::min(end_, count);
            count -= pos_;
        }
        co_return IoStatus{};
    }

    std::shared_ptr<StreamState<Stream>> state_;
    std::unique_ptr<std::uint8_t[]> buffer_;
    std::size_t pos_ = 0;
    std::size_t end_ = 0;
};

template <class Stream>
class StreamMessageWriter final : public MessageWriter {
public:
    explicit StreamMessageWriter(std::shared_ptr<StreamState<Stream>> state) : state_(std::move(state)) {}

    asio::awaitable<IoStatus> send_msg(std::span<const std::uint8_t> bytes, Timeout timeout) override
    {
        // The length field holds 16 bits: a longer envelope would corrupt the
        // framing, so it is refused before anything is written.
        if (bytes.size() > kMaxEnvelope)
            co_return TransportError{IoErrorKind::InvalidData,
                                     "message of " + std::to_string(bytes.size()) +
                                         " bytes exceeds the frame limit of 65535 bytes"};
        const auto own_executor = co_await asio::this_coro::executor;
        if (!runs_on(own_executor, state_->strand))
            co_return co_await asio::co_spawn(state_->strand, send_msg(bytes, timeout), asio::use_awaitable);
        length_[0] = std::uint8_t(bytes.size() >> 8);
        length_[1] = std::uint8_t(bytes.size());
        parts_.clear();
        parts_.push_back(asio::buffer(length_));
        parts_.push_back(asio::buffer(bytes.data(), bytes.size()));
        co_return co_await write_parts(timeout);
    }

    asio::awaitable<IoStatus> send_chunk(std::span<const std::uint8_t> payload, bool last, Timeout timeout) override
    {
        const auto own_executor = co_await asio::this_coro::executor;
        if (!runs_on(own_executor, state_->strand))
            co_return co_await asio::co_spawn(state_->strand, send_chunk(payload, last, timeout), asio::use_awaitable);
        parts_.clear();
        parts_.push_back(asio::buffer(payload.data(), payload.size()));
        parts_.push_back(asio::buffer(&kMarkers[last ? 1 : 0], 1));
        co_return co_await write_parts(timeout);
    }

    asio::awaitable<ChunkRun> send_chunks(std::span<const std::span<const std::uint8_t>> payloads, bool final_is_last,
                                          const ChunkLimits& limits) override
    {
        const auto own_executor = co_await asio::this_coro::executor;
        if (!runs_on(own_executor, state_->strand))
            co_return co_await asio::co_spawn(state_->strand, send_chunks(payloads, final_is_last, limits),
                                              asio::use_awaitable);
        if constexpr (kIsTls<Stream>) {
            co_return co_await seal_chunks(payloads, final_is_last, limits);
        } else {
            co_return co_await gather_chunks(payloads, final_is_last, limits);
        }
    }

private:
    // Lays a run of chunks out as pieces (parts_) and the byte offset after
    // each chunk (ends_); gives the run's length in bytes.
    std::size_t lay_out(std::span<const std::span<const std::uint8_t>> payloads, bool final_is_last)
    {
        parts_.clear();
        ends_.clear();
        std::size_t total = 0;
        for (std::size_t i = 0; i < payloads.size(); ++i) {
            const std::uint8_t* marker = &kMarkers[final_is_last && i + 1 == payloads.size() ? 1 : 0];
            // Where the next payload starts one byte after this one and that
            // byte is this chunk's marker, both go out with the payload as
            // one piece (the same bytes). An empty payload may have no data
            // at all: nothing lies after it.
            const std::uint8_t* after = payloads[i].data() + payloads[i].size();
            if (after != nullptr && i + 1 < payloads.size() && payloads[i + 1].data() == after + 1 && *after == *marker)
                marker = after;
            if (!parts_.empty() && static_cast<const std::uint8_t*>(parts_.back().data()) + parts_.back().size() ==
                                       payloads[i].data())
                parts_.back() = asio::buffer(parts_.back().data(), parts_.back().size() + payloads[i].size());
            else
                parts_.push_back(asio::buffer(payloads[i].data(), payloads[i].size()));
            if (marker == after)
                parts_.back() = asio::buffer(parts_.back().data(), parts_.back().size() + 1);
            else
                parts_.push_back(asio::buffer(marker, 1));
            total += payloads[i].size() + 1;
            ends_.push_back(total);
        }
        return total;
    }

    // The deadline of the next chunk of a run: its own time-out from now,
    // never past the run's give-up.
    static Deadline chunk_deadline(const ChunkLimits& limits)
    {
        Deadline d = detail::deadline_after(limits.per_chunk);
        if (limits.give_up && (!d || *limits.give_up < *d))
            d = limits.give_up;
        return d;
    }

    // The plain stream's run of chunks: as many chunks per system call as the
    // socket takes. Chunk boundaries are tracked in bytes, so each chunk's
    // time-out starts when the one before it is done, and the stop is asked
    // only where the socket makes the sender wait.
    asio::awaitable<ChunkRun> gather_chunks(std::span<const std::span<const std::uint8_t>> payloads, bool final_is_last,
                                            const ChunkLimits& limits)
    {
        lay_out(payloads, final_is_last);
        auto renew = [&limits] { return chunk_deadline(limits); };
        ChunkRun run;
        Deadline deadline = renew();
        std::size_t first = 0;
        std::size_t end = parts_.size();
        std::size_t written = 0;
        auto consume = [&](std::size_t n) {
            written += n;
            while (first < end && n >= parts_[first].size()) {
                n -= parts_[first].size();
                ++first;
            }
            if (n > 0)
                parts_[first] += n;
            // The next chunk's time-out starts now: one clock reading for
            // all the chunks this write completed.
            const std::size_t before = run.sent;
            while (run.sent < ends_.size() && ends_[run.sent] <= written)
                ++run.sent;
            if (run.sent != before)
                deadline = renew();
        };
        while (first < end) {
            error_code ec;
            const std::size_t n =
                state_->stream.write_some(std::span<const asio::const_buffer>(parts_.data() + first, end - first), ec);
            if (!would_block(ec)) {
                if (ec) {
                    run.status = TransportError{IoErrorKind::Os, ec.message()};
                    co_return run;
                }
                if (n == 0) {
                    run.status = TransportError{IoErrorKind::WriteZero, "write zero"};
                    co_return run;
                }
                consume(n);
                continue;
            }
            // The socket is full: the sender would wait here.
            if (limits.stop && limits.stop()) {
                const bool at_boundary = written == (run.sent == 0 ? 0 : ends_[run.sent - 1]);
                if (at_boundary)
                    co_return run;
                // Only the chunk in progress is finished: the pieces are cut
                // where it ends.
                std::size_t left = ends_[run.sent] - written;
                std::size_t i = first;
                while (left > parts_[i].size()) {
                    left -= parts_[i].size();
                    ++i;
                }
                parts_[i] = asio::buffer(parts_[i].data(), left);
                end = i + 1;
            }
            if (auto failed = co_await wait_writable(deadline, renew)) {
                run.status = std::move(failed);
                co_return run;
            }
        }
        co_return run;
    }

    // The TLS run of chunks: chunk after chunk is sealed into full records
    // in the session's output ring, and the ring goes to the socket whenever
    // it holds a good amount, so that a send carries many chunks. Chunks are
    // tracked by where their records end among the bytes handed to the
    // socket: a chunk counts as sent once its last record is, and its
    // time-out starts when the chunk before it was sent. As on the plain
    // stream, the stop is asked where the socket makes the sender wait; the
    // run then ends after the chunk in progress, and what was sealed goes
    // out first. While the link is the bottleneck, only about as much is
    // sealed ahead as the socket took since it last made the sender wait, so
    // that a slow link has little more than the socket queued behind a stop.
    asio::awaitable<ChunkRun> seal_chunks(std::span<const std::span<const std::uint8_t>> payloads, bool final_is_last,
                                          const ChunkLimits& limits)
    {
        TlsSession& tls = *state_->stream;
        const std::size_t total = lay_out(payloads, final_is_last);
        record_ends_.assign(ends_.size(), 0);
        auto renew = [&limits] { return chunk_deadline(limits); };
        ChunkRun run;
        Deadline deadline = renew();
        const std::uint64_t plain_base = tls.sealed_plain();
        std::size_t end = total;         // where the run ends: its length, or the chunk cut by a stop
        std::size_t end_chunks = ends_.size();
        bool stopped = false;
        std::size_t fed = 0;             // bytes the session took (sealed or staged)
        std::size_t part = 0;
        std::size_t part_used = 0;
        std::size_t sealed = 0;          // chunks whose records are built
        std::uint64_t sent_at_wait = tls.sent_bytes();
        auto note_sealed = [&] {
            while (sealed < ends_.size() && tls.sealed_plain() - plain_base >= ends_[sealed])
                record_ends_[sealed++] = tls.sealed_end();
        };
        auto note_sent = [&] {
            const std::size_t before = run.sent;
            while (run.sent < sealed && record_ends_[run.sent] <= tls.sent_bytes())
                ++run.sent;
            if (run.sent != before)
                deadline = renew();
        };
        auto failure = [](const error_code& ec) { return TransportError{IoErrorKind::Os, ec.message()}; };
        for (;;) {
            // Seals ahead while the ring holds less than the lead.
            error_code ec;
            while (fed < end && tls.unsent() < ahead_) {
                // At most a record per call, so that each chunk's end is
                // known in record bytes.
                const std::size_t size = std::min({parts_[part].size() - part_used, end - fed, kRecordPlain});
                const std::size_t n =
                    tls.seal(static_cast<const std::uint8_t*>(parts_[part].data()) + part_used, size, ec);
                fed += n;
                part_used += n;
                if (part_used == parts_[part].size()) {
                    ++part;
                    part_used = 0;
                }
                note_sealed();
                if (ec)
                    break;
            }
            if (!ec && fed == end && tls.staged()) {
                ec = tls.seal_tail();
                note_sealed();
            }
            if (ec && !would_block(ec)) {
                run.status = failure(ec);
                co_return run;
            }
            if (auto failed = tls.push_ready()) {
                run.status = failure(failed);
                co_return run;
            }
            note_sent();
            if (run.sent == end_chunks)
                co_return run;
            if (tls.unsent() == 0)
                continue;  // the socket took it all: more to seal
            // The socket is full: the sender would wait here.
            if (!stopped && limits.stop && limits.stop()) {
                stopped = true;
                // Only the chunk in progress is finished: the run ends
                // with the first chunk that ends at or after what was fed.
                end_chunks = fed == 0 ? 0
                                      : std::size_t(std::lower_bound(ends_.begin(), ends_.end(), fed) - ends_.begin()) + 1;
                end = end_chunks == 0 ? 0 : ends_[end_chunks - 1];
                if (run.sent == end_chunks)
                    co_return run;
                continue;
            }
            const std::uint64_t taken = tls.sent_bytes() - sent_at_wait;
            ahead_ = std::clamp<std::size_t>(std::size_t(std::min<std::uint64_t>(taken, kMostAhead)), kLeastAhead, kMostAhead);
            if (auto failed = co_await wait_writable(deadline, renew)) {
                run.status = std::move(failed);
                co_return run;
            }
            sent_at_wait = tls.sent_bytes();
        }
    }

    // Waits until the socket takes more bytes. The kernel reports a full
    // socket writable again only once much of its queue has drained, which
    // on a slow link takes far longer than one chunk: so the time-out counts
    // from the link's last progress, seen as bytes leaving the send queue,
    // and each such progress renews the deadline.
    // Over TLS the wait ends as well when the reader is done sending the
    // session's records through the reactor.
    template <class Renew>
    asio::awaitable<IoStatus> wait_writable(Deadline& deadline, Renew&& renew)
    {
        auto& socket = socket_of(state_->stream);
        int queued = unsent_bytes(socket.native_handle());
        asio::steady_timer timer(state_->strand);
        for (;;) {
            if (passed(deadline))
                co_return TransportError{IoErrorKind::TimedOut, kWriteTimedOut};
            auto until = detail::Clock::now() + kDrainPoll;
            if (deadline && *deadline < until)
                until = *deadline;
            timer.expires_at(until);
            using namespace asio::experimental::awaitable_operators;
            auto first = co_await (writable() || timer.async_wait(asio::as_tuple(asio::use_awaitable)));
            if (first.index() == 0) {
                if (const auto ec = std::get<0>(first))
                    co_return TransportError{IoErrorKind::Os, ec.message()};
                co_return IoStatus{};
            }
            const int now_queued = unsent_bytes(socket.native_handle());
            if (now_queued >= 0 && now_queued < queued)
                deadline = renew();
            queued = now_queued;
        }
    }

    static TcpSocket& socket_of(Stream& stream)
    {
        if constexpr (kIsTls<Stream>)
            return stream->socket();
        else
            return stream;
    }

    asio::awaitable<error_code> writable()
    {
        if constexpr (kIsTls<Stream>) {
            co_return co_await state_->stream->wait_writable();
        } else {
            auto [ec] = co_await state_->stream.async_wait(TcpSocket::wait_write, asio::as_tuple(asio::use_awaitable));
            co_return ec;
        }
    }

    // Writes all of parts_.
    asio::awaitable<IoStatus> write_parts(Timeout timeout)
    {
        const Deadline deadline = detail::deadline_after(timeout);
        if constexpr (kIsTls<Stream>) {
            const auto step = co_await state_->stream->write(parts_, deadline, state_->write_watch, state_);
            if (step.timed_out)
                co_return TransportError{IoErrorKind::TimedOut, kWriteTimedOut};
            if (step.ec)
                co_return TransportError{IoErrorKind::Os, step.ec.message()};
            co_return IoStatus{};
        } else {
            std::size_t first = 0;
            auto consume = [&](std::size_t n) {
                while (first < parts_.size() && n >= parts_[first].size()) {
                    n -= parts_[first].size();
                    ++first;
                }
                if (n > 0)
                    parts_[first] += n;
            };
            consume(0);  // skips empty leading parts
            // As much as the socket takes at once.
            while (first < parts_.size()) {
                error_code ec;
                const std::size_t n = state_->stream.write_some(remaining(first), ec);
                if (would_block(ec))
                    break;
                if (ec)
                    co_return TransportError{IoErrorKind::Os, ec.message()};
                if (n == 0)
                    co_return TransportError{IoErrorKind::WriteZero, "write zero"};
                consume(n);
            }
            if (first == parts_.size())
                co_return IoStatus{};
            if (passed(deadline))
                co_return TransportError{IoErrorKind::TimedOut, kWriteTimedOut};
            // The rest once the socket can take it.
            std::size_t total = 0;
            for (std::size_t i = first; i < parts_.size(); ++i)
                total += parts_[i].size();
            auto& watch = state_->write_watch;
            if (deadline)
                watch.watch(*deadline, state_);
            auto [ec, written] = co_await asio::async_write(
                state_->stream, remaining(first),
                asio::bind_cancellation_slot(watch.slot(), asio::as_tuple(asio::use_awaitable)));
            watch.stop();
            if (deadline && ec == asio::error::operation_aborted && watch.expired())
                co_return TransportError{IoErrorKind::TimedOut, kWriteTimedOut};
            if (ec)
                co_return TransportError{IoErrorKind::Os, ec.message()};
            if (written < total)
                co_return TransportError{IoErrorKind::WriteZero, "write zero"};
            co_return IoStatus{};
        }
    }

    std::span<const asio::const_buffer> remaining(std::size_t first) const
    {
        return std::span<const asio::const_buffer>(parts_.data() + first, parts_.size() - first);
    }

    std::shared_ptr<StreamState<Stream>> state_;
    std::array<std::uint8_t, 2> length_{};
    std::vector<asio::const_buffer> parts_;
    std::vector<std::size_t> ends_;  // byte offset after each chunk of a run
    // TLS: where each chunk's last record ends among the bytes sent, and how
    // far sealing may run ahead of the socket.
    std::vector<std::uint64_t> record_ends_;
    std::size_t ahead_ = kMostAhead;
};

} // namespace

asio::awaitable<ChunkRun> send_chunks_one_by_one(MessageWriter& writer, std::span<const std::span<const std::uint8_t>> payloads,
                                                 bool final_is_last, ChunkLimits limits)
{
    ChunkRun run;
    for (std::size_t i = 0; i < payloads.size(); ++i) {
        if (i > 0 && limits.stop && limits.stop())
            break;
        detail::Deadline deadline = detail::deadline_after(limits.per_chunk);
        if (limits.give_up && (!deadline || *limits.give_up < *deadline))
            deadline = limits.give_up;
        Timeout timeout;
        if (deadline)
            timeout = std::max(detail::Clock::duration::zero(), *deadline - detail::Clock::now());
        if (auto failed = co_await writer.send_chunk(payloads[i], final_is_last && i + 1 == payloads.size(), timeout)) {
            run.status = std::move(failed);
            break;
        }
        ++run.sent;
    }
    co_return run;
}

namespace {

template <class Stream>
std::variant<MessageTransport, std::string> make_stream_transport(Stream&& stream, SocketHandle socket)
{
    return detail::build_transport<StreamMessageReader<Stream>, StreamMessageWriter<Stream>>(
        std::make_shared<StreamState<Stream>>(std::move(stream)), std::move(socket));
}

} // namespace

template <>
std::variant<MessageTransport, std::string> MessageTransport::from_stream<TcpSocket>(TcpSocket&& stream, SocketHandle socket)
{
    return make_stream_transport(std::move(stream), std::move(socket));
}

template <>
std::variant<MessageTransport, std::string> MessageTransport::from_stream<TlsSessionPtr>(TlsSessionPtr&& stream,
                                                                                      SocketHandle socket)
{
    return make_stream_transport(std::move(stream), std::move(socket));
}

} // namespace vela_client
