#pragma once
// Shared by the two framing targets: a loopback connection whose server side
// sends the input's byte stream and then closes its sending half, and a
// script of transport operations that the client side runs over it, as a
// runner does. The input starts with the script: one byte with the number
// of operations (1 to 8), then one byte per operation; the rest is what the
// server sends.

#include "../FuzzTarget.h"

#include "SprintMessages.h"
#include "lib/MessageTransport.h"
#include "lib/SocketOps.h"
#include "lib/StreamTypes.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>

#include <array>
#include <chrono>
#include <exception>
#include <span>
#include <variant>
#include <vector>

namespace lumivex_fuzz {

namespace asio = boost::asio;

struct Loopback {
    asio::io_context io;
    asio::ip::tcp::acceptor acceptor{io, {asio::ip::make_address("127.0.0.1"), 0}};

    static Loopback& instance() {
        static Loopback loopback;
        return loopback;
    }

    // A connected pair: the client socket on a strand of its own, as a
    // runner connection has it.
    std::pair<vela_client::TcpSocket, asio::ip::tcp::socket> connect() {
        vela_client::TcpSocket client(asio::make_strand(asio::any_io_executor(io.get_executor())));
        // libFuzzer's time-out alarm may interrupt these blocking calls: an
        // interrupted connect goes on in the kernel, so it is waited for.
        boost::system::error_code ec;
        client.connect(acceptor.local_endpoint(), ec);
        if (ec == asio::error::interrupted) {
            do {
                client.wait(asio::socket_base::wait_write, ec);
            } while (ec == asio::error::interrupted);
            if (!ec) client.remote_endpoint(ec);  // not connected: the connect failed
        }
        if (ec) throw boost::system::system_error(ec, "fuzz loopback connect");
        asio::ip::tcp::socket server(io);
        do {
            acceptor.accept(server, ec);
        } while (ec == asio::error::interrupted);
        if (ec) throw boost::system::system_error(ec, "fuzz loopback accept");
        // Small writes on both sides, as on a runner connection: without
        // this, delayed acknowledgements hold each exchange for tens of ms.
        client.set_option(asio::ip::tcp::no_delay(true));
        server.set_option(asio::ip::tcp::no_delay(true));
        return {std::move(client), std::move(server)};
    }
};

struct Script {
    std::vector<std::uint8_t> operations;
    std::span<const std::uint8_t> stream;

    static Script of(const std::uint8_t* data, std::size_t size) {
        Script script;
        if (size == 0) return script;
        const std::size_t count = std::min<std::size_t>(data[0] % 8 + 1, size - 1);
        script.operations.assign(data + 1, data + 1 + count);
        script.stream = std::span<const std::uint8_t>(data + 1 + count, size - 1 - count);
        return script;
    }
};

// Payload sizes of chunk operations: empty, tiny, around the stream
// framing's direct-read size, and larger than any input.
constexpr std::array<std::size_t, 16> kChunkSizes{0,    1,    2,     3,     7,     100,   1023,  4095,
                                                  4096, 8191, 16383, 16384, 16385, 20000, 65535, 70000};

// The server never reads: what the client sends must fit the socket buffers
// (8 operations of at most three chunks stay far below them), or a send
// would wait for its time-out.
constexpr std::size_t kMaxSend = 2048;

inline asio::awaitable<void> runScript(vela_client::MessageTransport transport, Script script) {
    using namespace std::chrono_literals;
    const vela_client::Timeout timeout = 5s;
    auto& reader = *transport.reader->reader;
    auto& writer = *transport.writer;
    std::vector<std::uint8_t> buffer;
    const std::vector<std::uint8_t> outgoing(script.stream.begin(), script.stream.end());
    for (const std::uint8_t operation : script.operations) {
        const std::size_t chunk = kChunkSizes[operation >> 4];
        bool last = false;
        vela_client::IoStatus status;
        switch (operation & 0x0F) {
            case 0:
            case 1:
            case 2:
                status = co_await reader.recv_msg(buffer, timeout);
                if (!status) {
                    FUZZ_CHECK(buffer.size() <= script.stream.size());
                    (void)vela_client::sprintproto::Msg::decode(buffer);
                }
                break;
            case 3:
            case 4:
            case 5: {
                std::vector<std::uint8_t> payload(chunk);
                status = co_await reader.recv_chunk(payload, last, timeout);
                break;
            }
            case 6:
            case 7:
                status = co_await reader.skip_chunk(chunk, last, timeout);
                break;
            case 8:
            case 9:
                status = co_await writer.send_msg(
                    std::span(outgoing).first(std::min(std::min(chunk, kMaxSend), outgoing.size())), timeout);
                break;
            case 10:
            case 11: {
                const std::vector<std::uint8_t> payload(std::min(chunk, kMaxSend));
                status = co_await writer.send_chunk(payload, (operation & 1) != 0, timeout);
                break;
            }
            default: {
                const std::vector<std::uint8_t> payload(std::min(chunk, kMaxSend));
                const std::vector<std::span<const std::uint8_t>> payloads(3, std::span(payload));
                vela_client::ChunkLimits limits;
                limits.per_chunk = timeout;
                status = (co_await writer.send_chunks(payloads, (operation & 1) != 0, limits)).status;
                break;
            }
        }
        if (status) {
            FUZZ_CHECK(!status->text.empty());
            FUZZ_CHECK(status->kind != vela_client::IoErrorKind::TimedOut);  // the peer closed: nothing waits
        }
    }
}

// Runs the script on the client's transport until it and every operation it
// started are done.
inline void run(vela_client::MessageTransport transport, Script script) {
    auto& loopback = Loopback::instance();
    auto executor = transport.executor;
    std::exception_ptr failure;
    asio::co_spawn(executor, runScript(std::move(transport), std::move(script)),
                   [&failure](std::exception_ptr thrown) { failure = thrown; });
    loopback.io.run();
    loopback.io.restart();
    if (failure) std::rethrow_exception(failure);
}

inline vela_client::SocketHandle secondHandle(vela_client::TcpSocket& socket) {
    auto duplicated = vela_client::duplicate_socket(socket.native_handle());
    FUZZ_CHECK(std::holds_alternative<vela_client::SocketHandle>(duplicated));
    return std::move(std::get<vela_client::SocketHandle>(duplicated));
}

}  // namespace lumivex_fuzz
