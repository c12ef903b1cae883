#pragma once

// The stream types under a runner connection's transport. Only the connection
// set-up and tests include this header (it brings in asio's TLS and beast's
// websocket declarations).

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/websocket/stream_fwd.hpp>

#include <memory>

namespace vela_client {

// Streams are created with a strand executor (one strand per connection);
// the strand is found again through the executor's target.
using Strand = boost::asio::strand<boost::asio::any_io_executor>;
using TcpSocket = boost::asio::ip::tcp::socket;
using TlsStream = boost::asio::ssl::stream<TcpSocket>;
using WsTcp = boost::beast::websocket::stream<TcpSocket, true>;
using WsTls = boost::beast::websocket::stream<TlsStream, true>;
// TLS under the stream framing: a session of our own (lib/TlsSession.h).
class TlsSession;
using TlsSessionPtr = std::unique_ptr<TlsSession>;

// True when `executor`, a coroutine's own, is `strand`: what that coroutine
// awaits then completes on the strand. Running inside one of the strand's
// handlers is not the same: a coroutine of another executor is resumed inline
// there when an operation it awaited (a hop to the strand) completes, and
// what it starts from there would complete off the strand. The executor is
// awaited into a local first: g++ 12 destroys the temporaries of a co_await
// inside a condition twice.
inline bool runs_on(const boost::asio::any_io_executor& executor, const Strand& strand)
{
    const auto* own = executor.target<Strand>();
    return own != nullptr && *own == strand;
}

// The strand under an executor; a new strand when it is none.
inline Strand strand_of(const boost::asio::any_io_executor& executor)
{
    if (const auto* strand = executor.target<Strand>())
        return *strand;
    return boost::asio::make_strand(executor);
}

} // namespace vela_client

#include "lib/MessageTransport.h"

namespace vela_client {

template <>
std::variant<MessageTransport, std::string> MessageTransport::from_stream<TcpSocket>(TcpSocket&& stream, SocketHandle socket);
template <>
std::variant<MessageTransport, std::string> MessageTransport::from_stream<TlsSessionPtr>(TlsSessionPtr&& stream,
                                                                                      SocketHandle socket);
template <>
std::variant<MessageTransport, std::string> MessageTransport::from_websocket<WsTcp>(WsTcp&& websocket, SocketHandle socket);
template <>
std::variant<MessageTransport, std::string> MessageTransport::from_websocket<WsTls>(WsTls&& websocket, SocketHandle socket);

} // namespace vela_client
