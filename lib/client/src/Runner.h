#pragma once

// The state of one runner connection: its protocol connection, the run's log
// identifier, the connection's stream information, its copy of the abort
// context and its ends of the controller's command and feedback channels.
// The loop that drives it comes with the runner commands.

#include "AbortContext.h"
#include "ClientResult.h"
#include "Duration.h"
#include "Token.h"
#include "lib/ProtocolConnection.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>

namespace vela_client {

// The runner's receiving end of the command channel and sending end of the
// feedback channel; defined with the runner loop.
class CommandReceiver;
class FeedbackSender;

struct Runner {
    std::uint8_t number = 0;
    std::unique_ptr<ProtocolConnection> connection;
    std::string log_id;
    std::optional<ConnectionStreamInfo> connection_stream_info;
    AbortContext abort_context;
    std::shared_ptr<CommandReceiver> command_receiver;
    std::shared_ptr<FeedbackSender> feedback_sender;

    // Builds the runner and its protocol connection; the connection's failure
    // text otherwise (everything handed in is then released).
    static std::variant<Runner, std::string> create(std::uint8_t number, Token token, MessageTransport transport,
                                                    std::shared_ptr<CommandReceiver> command_receiver,
                                                    std::shared_ptr<FeedbackSender> feedback_sender,
                                                    Duration progress_interval, SharedRandomBufferRef random_buffer,
                                                    std::uint32_t buffer_multiplier, const AbortContext& abort);
};

} // namespace vela_client
