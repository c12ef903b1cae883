#include "RunnerConnect.h"

#include "RunnerRoutines.h"
#include "lib/StreamTypes.h"
#include "lib/TlsSession.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/ssl/host_name_verification.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/beast/core/role.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include <openssl/ssl.h>

namespace asio = boost::asio;
namespace ssl = asio::ssl;
namespace websocket = boost::beast::websocket;
using namespace asio::experimental::awaitable_operators;

namespace vela_client {

namespace {

// One TLS client context per process: the system's trusted roots, TLS 1.0 as
// the lowest version and no highest one. Certificate checks are set per
// connection.
std::variant<ssl::context*, std::string> client_tls_context()
{
    static std::variant<std::unique_ptr<ssl::context>, std::string> context = []() -> decltype(context) {
        try {
            auto ctx = std::make_unique<ssl::context>(ssl::context::tls_client);
            boost::system::error_code ignored;
            ctx->set_default_verify_paths(ignored);
            SSL_CTX_set_min_proto_version(ctx->native_handle(), TLS1_VERSION);
            return ctx;
        } catch (const boost::system::system_error& e) {
            return e.code().message();
        }
    }();
    if (auto* text = std::get_if<std::string>(&context))
        return *text;
    return std::get<0>(context).get();
}

// "ws://host:port/path" split into the Host header and the request target.
std::pair<std::string, std::string> websocket_host_and_target(const std::string& url)
{
    std::string rest = url;
    if (const auto scheme = rest.find("://"); scheme != std::string::npos)
        rest = rest.substr(scheme + 3);
    const auto slash = rest.find('/');
    if (slash == std::string::npos)
        return {rest, "/"};
    return {rest.substr(0, slash), rest.substr(slash)};
}

std::optional<std::string> ip_text(const std::optional<Endpoint>& endpoint)
{
    if (!endpoint)
        return std::nullopt;
    return endpoint->address().to_string();
}

std::optional<std::uint16_t> port_of(const std::optional<Endpoint>& endpoint)
{
    if (!endpoint)
        return std::nullopt;
    return endpoint->port();
}

asio::awaitable<std::variant<ConnectedTransport, std::string>> connect_on_strand(const RunnerConnectParams& params,
                                                                                  ConnectLimits limits)
{
    using Result = std::variant<ConnectedTransport, std::string>;
    const auto strand = co_await asio::this_coro::executor;

    // 1. TCP, within its limit; a stop of the run ends the wait too.
    TcpSocket socket(strand);
    {
        asio::steady_timer timer(strand, limits.tcp_connect);
        auto stopped = [&params]() -> asio::awaitable<void> {
            if (params.abort_watch)
                co_await params.abort_watch->wait_aborted();
            else
                co_await asio::steady_timer(co_await asio::this_coro::executor, asio::steady_timer::time_point::max())
                    .async_wait(asio::as_tuple(asio::use_awaitable));
        };
        auto first = co_await (socket.async_connect(params.server_address, asio::as_tuple(asio::use_awaitable)) ||
                               timer.async_wait(asio::as_tuple(asio::use_awaitable)) || stopped());
        if (first.index() == 1)
            co_return Result("timeout while connecting to " + endpoint_text(params.server_address));
        if (first.index() == 2)
            co_return Result(std::string(kAbortedText));
        if (auto [ec] = std::get<0>(first); ec)
            co_return Result(ec.message());
    }

    // 2. The second handle, for socket options and shutdown later on. From
    // here on a stop of the run shuts the connection down, which ends every
    // later stage at once.
    auto duplicated = duplicate_socket(socket.native_handle());
    if (std::holds_alternative<std::string>(duplicated))
        co_return Result(std::string("failed to convert into std socket"));
    SocketHandle handle = std::move(std::get<SocketHandle>(duplicated));
    if (params.abort_watch)
        params.abort_watch->guard(handle.cut());

    // 3. The connection as the client sees it; a failing query leaves its
    // two members absent.
    ConnectionStreamInfoParameter client;
    const auto local = local_address(handle);
    const auto peer = peer_address(handle);
    client.local_ip = ip_text(local);
    client.local_port = port_of(local);
    client.remote_ip = ip_text(peer);
    client.remote_port = port_of(peer);

    auto done = [&client](std::variant<MessageTransport, std::string> built) -> Result {
        if (auto* text = std::get_if<std::string>(&built))
            return *text;
        return ConnectedTransport{std::move(std::get<MessageTransport>(built)), client};
    };

    if (params.tls && !params.websocket_url) {
        // 4. TLS within its limit, under the stream framing: our own session,
        // which moves many records per socket call.
        auto context = client_tls_context();
        if (auto* text = std::get_if<std::string>(&context))
            co_return Result(*text);
        auto made = TlsSession::create(std::move(socket), std::get<ssl::context*>(context)->native_handle(), params.host,
                                       params.skip_certificate_validation);
        if (auto* ec = std::get_if<boost::system::error_code>(&made))
            co_return Result(ec->message());
        auto session = std::move(std::get<TlsSessionPtr>(made));
        asio::steady_timer timer(strand, limits.tls_handshake);
        auto first = co_await (session->handshake() || timer.async_wait(asio::as_tuple(asio::use_awaitable)));
        if (first.index() == 1)
            co_return Result(std::string("timeout while connecting to server: deadline has elapsed"));
        if (const auto& ec = std::get<0>(first))
            co_return Result("failed to establish TLS session: " + ec.message());
        co_return done(MessageTransport::from_stream(std::move(session), std::move(handle)));
    }

    if (params.tls) {
        // 4. TLS within its limit, under the websocket.
        auto context = client_tls_context();
        if (auto* text = std::get_if<std::string>(&context))
            co_return Result(*text);
        TlsStream tls(std::move(socket), *std::get<ssl::context*>(context));
        if (params.skip_certificate_validation) {
            tls.set_verify_mode(ssl::verify_none);
        } else {
            tls.set_verify_mode(ssl::verify_peer);
            tls.set_verify_callback(ssl::host_name_verification(params.host));
        }
        SSL_set_tlsext_host_name(tls.native_handle(), params.host.c_str());
        asio::steady_timer timer(strand, limits.tls_handshake);
        auto first = co_await (tls.async_handshake(ssl::stream_base::client, asio::as_tuple(asio::use_awaitable)) ||
                               timer.async_wait(asio::as_tuple(asio::use_awaitable)));
        if (first.index() == 1)
            co_return Result(std::string("timeout while connecting to server: deadline has elapsed"));
        if (auto [ec] = std::get<0>(first); ec)
            co_return Result("failed to establish TLS session: " + ec.message());
        WsTls ws(std::move(tls));
        const auto [host, target] = websocket_host_and_target(*params.websocket_url);
        asio::steady_timer ws_timer(strand, limits.ws_handshake);
        auto upgraded = co_await (ws.async_handshake(host, target, asio::as_tuple(asio::use_awaitable)) ||
                                  ws_timer.async_wait(asio::as_tuple(asio::use_awaitable)));
        if (upgraded.index() == 1)
            co_return Result(std::string("failed to establish WebSocket connection: handshake timed out"));
        if (auto [ec] = std::get<0>(upgraded); ec)
            co_return Result("failed to establish WebSocket connection: " + ec.message());
        co_return done(MessageTransport::from_websocket(std::move(ws), std::move(handle)));
    }

    // 5. Plain TCP: websocket or stream framing.
    if (params.websocket_url) {
        WsTcp ws(std::move(socket));
        const auto [host, target] = websocket_host_and_target(*params.websocket_url);
        asio::steady_timer ws_timer(strand, limits.ws_handshake);
        auto upgraded = co_await (ws.async_handshake(host, target, asio::as_tuple(asio::use_awaitable)) ||
                                  ws_timer.async_wait(asio::as_tuple(asio::use_awaitable)));
        if (upgraded.index() == 1 || std::get<0>(std::get<0>(upgraded)))
            co_return Result(std::string("failed to establish WebSocket connection"));
        co_return done(MessageTransport::from_websocket(std::move(ws), std::move(handle)));
    }
    co_return done(MessageTransport::from_stream(std::move(socket), std::move(handle)));
}

asio::any_io_executor connection_strand(const asio::any_io_executor& current)
{
    // One strand per connection, made on the pool under the current executor.
    if (const auto* strand = current.target<Strand>())
        return asio::make_strand(strand->get_inner_executor());
    return asio::make_strand(current);
}

} // namespace

asio::awaitable<std::variant<ConnectedTransport, std::string>> connect_transport(const RunnerConnectParams& params,
                                                                                  ConnectLimits limits)
{
    auto strand = connection_strand(co_await asio::this_coro::executor);
    co_return co_await asio::co_spawn(strand, connect_on_strand(params, limits), asio::use_awaitable);
}

namespace {

// The connection up to its initialisation, from parameters of its own: a
// re-opening may run long after the first set-up's arguments are gone.
asio::awaitable<std::variant<OpenedConnection, std::string>>
open_connection(Token token, Duration progress_interval, AbortContext abort, RunnerConnectParams params,
                SharedRandomBufferRef random_buffer, std::uint32_t buffer_multiplier, ConnectLimits limits)
{
    using Result = std::variant<OpenedConnection, std::string>;
    auto connected = co_await connect_transport(params, limits);
    if (auto* text = std::get_if<std::string>(&connected))
        co_return Result(std::move(*text));
    auto& ready = std::get<ConnectedTransport>(connected);

    auto created = ProtocolConnection::create(std::move(ready.transport), std::move(token), buffer_multiplier,
                                              std::move(random_buffer), progress_interval, std::move(abort));
    if (auto* text = std::get_if<std::string>(&created))
        co_return Result(std::move(*text));
    auto connection = std::move(std::get<std::unique_ptr<ProtocolConnection>>(created));

    auto server = co_await connection->measurement_init(limits.init_request);
    if (!server)
        co_return Result(server.error());
    co_return Result(OpenedConnection{std::move(connection), ConnectionStreamInfo{ready.client, std::move(server).value()}});
}

} // namespace

asio::awaitable<std::variant<Runner, std::string>>
runner_connect(std::uint8_t number, Token token, Duration progress_interval, AbortContext abort,
               const RunnerConnectParams& params, std::shared_ptr<CommandReceiver> command_receiver,
               std::shared_ptr<FeedbackSender> feedback_sender, SharedRandomBufferRef random_buffer,
               std::uint32_t buffer_multiplier, ConnectLimits limits)
{
    using Result = std::variant<Runner, std::string>;
    auto opened = co_await open_connection(token, progress_interval, abort, params, random_buffer, buffer_multiplier, limits);
    if (auto* text = std::get_if<std::string>(&opened))
        co_return Result(std::move(*text));
    auto& first = std::get<OpenedConnection>(opened);

    Runner runner{number,
                  std::move(first.connection),
                  vela_client::log_id(token),
                  std::move(first.stream_info),
                  abort,
                  std::move(command_receiver),
                  std::move(feedback_sender),
                  {},
                  {}};
    runner.reopen = [token = std::move(token), progress_interval, abort = std::move(abort), params,
                     random_buffer = std::move(random_buffer), buffer_multiplier, limits] {
        return open_connection(token, progress_interval, abort, params, random_buffer, buffer_multiplier, limits);
    };
    co_return Result(std::move(runner));
}

} // namespace vela_client
