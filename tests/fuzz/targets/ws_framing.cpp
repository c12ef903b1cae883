// The speed-test transport's websocket framing after the opening handshake:
// whatever frames a hostile measurement server sends (masked or not,
// fragmented, control frames, text, close), read as envelopes and chunks,
// with sends of its own in between.

#include "FramingScript.h"

#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket.hpp>

LUMIVEX_FUZZ_TARGET(ws_framing) {
    using namespace lumivex_fuzz;
    namespace websocket = boost::beast::websocket;
    const Script script = Script::of(data, size);
    auto& loopback = Loopback::instance();
    auto [client, serverSocket] = loopback.connect();
    auto handle = secondHandle(client);

    vela_client::WsTcp ws(std::move(client));
    websocket::stream<boost::asio::ip::tcp::socket> server(std::move(serverSocket));
    boost::system::error_code clientError, serverError;
    ws.async_handshake("127.0.0.1", "/", [&](boost::system::error_code ec) { clientError = ec; });
    server.async_accept([&](boost::system::error_code ec) { serverError = ec; });
    loopback.io.run();
    loopback.io.restart();
    FUZZ_CHECK_MSG(!clientError && !serverError, clientError.message() + " / " + serverError.message());

    // From here on the server speaks raw bytes.
    auto& raw = server.next_layer();
    boost::asio::write(raw, boost::asio::buffer(script.stream.data(), script.stream.size()));
    raw.shutdown(boost::asio::ip::tcp::socket::shutdown_send);

    auto built = vela_client::MessageTransport::from_websocket(std::move(ws), std::move(handle));
    FUZZ_CHECK(std::holds_alternative<vela_client::MessageTransport>(built));
    run(std::move(std::get<vela_client::MessageTransport>(built)), script);
    return 0;
}
