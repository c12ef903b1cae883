#include "Runner.h"

namespace vela_client {

std::variant<Runner, std::string> Runner::create(std::uint8_t number, Token token, MessageTransport transport,
                                                 std::shared_ptr<CommandReceiver> command_receiver,
                                                 std::shared_ptr<FeedbackSender> feedback_sender, Duration progress_interval,
                                                 SharedRandomBufferRef random_buffer, std::uint32_t buffer_multiplier,
                                                 const AbortContext& abort)
{
    std::string id = vela_client::log_id(token);
    AbortContext copy = abort;
    auto connection = ProtocolConnection::create(std::move(transport), std::move(token), buffer_multiplier,
                                                 std::move(random_buffer), progress_interval, copy);
    if (auto* text = std::get_if<std::string>(&connection))
        return *text;
    return Runner{number,
                  std::move(std::get<0>(connection)),
                  std::move(id),
                  std::nullopt,
                  std::move(copy),
                  std::move(command_receiver),
                  std::move(feedback_sender)};
}

} // namespace vela_client
