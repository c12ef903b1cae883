#pragma once

// Opens one runner connection: TCP within 5 s, a second handle of the socket,
// TLS within 5 s when asked, the websocket handshake within 5 s when a
// websocket URL is given, the matching message transport, the runner with its protocol
// connection, and the measurement initialisation. Every failure ends the
// set-up with a text; nothing is retried.

#include "AbortWatch.h"
#include "Runner.h"
#include "lib/SocketOps.h"

#include <boost/asio/awaitable.hpp>

#include <chrono>
#include <optional>
#include <string>
#include <variant>

namespace vela_client {

struct RunnerConnectParams {
    std::string host;                          // TLS server name only
    std::optional<std::string> websocket_url;  // "ws://<address>:<port>" when the websocket switch is set
    Endpoint server_address;
    bool tls = false;
    bool skip_certificate_validation = false;
    // When set, the connection is shut down as soon as the run is aborted,
    // and the connect stages end at once.
    std::shared_ptr<AbortWatch> abort_watch;
};

// The set-up's time limits; tests shorten them. Taken by value: the set-up
// is a coroutine that may run after a temporary argument is gone.
struct ConnectLimits {
    std::chrono::nanoseconds tcp_connect = std::chrono::seconds(5);
    std::chrono::nanoseconds tls_handshake = std::chrono::seconds(5);
    std::chrono::nanoseconds ws_handshake = std::chrono::seconds(5);
    Timeout init_request = kMeasurementInitTimeout;
};

// The connection up to its transport (steps before the runner exists).
struct ConnectedTransport {
    MessageTransport transport;
    ConnectionStreamInfoParameter client;  // the connection as the client sees it
};

boost::asio::awaitable<std::variant<ConnectedTransport, std::string>>
connect_transport(const RunnerConnectParams& params, ConnectLimits limits = {});

boost::asio::awaitable<std::variant<Runner, std::string>>
runner_connect(std::uint8_t number, Token token, Duration progress_interval, AbortContext abort,
               const RunnerConnectParams& params, std::shared_ptr<CommandReceiver> command_receiver,
               std::shared_ptr<FeedbackSender> feedback_sender, SharedRandomBufferRef random_buffer,
               std::uint32_t buffer_multiplier, ConnectLimits limits = {});

} // namespace vela_client
