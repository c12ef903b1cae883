#pragma once

// The one way both framings put a MessageTransport together: the shared
// state of the connection's stream, a reader and a writer over it, and the
// addresses read through the second socket handle.

#include "lib/MessageTransport.h"
#include "lib/StreamTypes.h"

#include <memory>
#include <string>
#include <variant>

namespace vela_client::detail {

// Reader and Writer are built from the shared state; the state carries the
// connection's strand. Fails with the address query's text, releasing what
// it was given (which closes the connection).
template <class Reader, class Writer, class State>
std::variant<MessageTransport, std::string> build_transport(std::shared_ptr<State> state, SocketHandle socket)
{
    auto addresses = peer_and_local_addr(socket);
    if (auto* text = std::get_if<std::string>(&addresses))
        return *text;
    MessageTransport transport;
    const auto& both = std::get<PeerAndLocal>(addresses);
    transport.peer_address = both.peer;
    transport.local_address = both.local;
    transport.executor = state->strand;
    transport.reader = std::make_shared<ReaderHolder>();
    transport.reader->reader = std::make_unique<Reader>(state);
    transport.writer = std::make_unique<Writer>(state);
    transport.socket = std::move(socket);
    return transport;
}

} // namespace vela_client::detail
