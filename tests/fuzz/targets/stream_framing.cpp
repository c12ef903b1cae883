// The speed-test transport's stream framing (length-prefixed envelopes and
// bare chunks with a marker byte) reading what a hostile measurement server
// sends, with sends of its own in between.

#include "FramingScript.h"

LUMIVEX_FUZZ_TARGET(stream_framing) {
    using namespace lumivex_fuzz;
    const Script script = Script::of(data, size);
    auto [client, server] = Loopback::instance().connect();
    boost::asio::write(server, boost::asio::buffer(script.stream.data(), script.stream.size()));
    server.shutdown(boost::asio::ip::tcp::socket::shutdown_send);

    auto handle = secondHandle(client);
    auto built = vela_client::MessageTransport::from_stream(std::move(client), std::move(handle));
    FUZZ_CHECK(std::holds_alternative<vela_client::MessageTransport>(built));
    run(std::move(std::get<vela_client::MessageTransport>(built)), script);
    return 0;
}
