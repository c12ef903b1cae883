#pragma once

// The state of one runner connection: its protocol connection, the run's log
// identifier, the connection's stream information, its copy of the abort
// context, its ends of the controller's command and feedback channels, and
// the means to open its connection again.
// The loop that drives it comes with the runner commands.

#include "AbortContext.h"
#include "ClientResult.h"
#include "Duration.h"
#include "Token.h"
#include "lib/ProtocolConnection.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>

namespace vela_client {

// The runner's receiving end of the command channel and sending end of the
// feedback channel; defined with the runner loop.
class CommandReceiver;
class FeedbackSender;

// A protocol connection opened and initialised, with its stream information.
struct OpenedConnection {
    std::unique_ptr<ProtocolConnection> connection;
    ConnectionStreamInfo stream_info;
};

// Opens a fresh connection to the runner's server, as the first one was
// opened; the failure text otherwise.
using ConnectionOpener = std::function<boost::asio::awaitable<std::variant<OpenedConnection, std::string>>()>;

// What a runner shares with its controller: the socket of its current
// connection, to look at and shut down (the runner replaces it when it
// re-opens its connection), and how many step commands (all but Quit) it has
// taken, so that the controller can tell a runner that ended before taking a
// step from one that ended in it.
class RunnerLink {
public:
    void set_socket(std::weak_ptr<SocketCut> cut)
    {
        std::lock_guard lock(mutex_);
        cut_ = std::move(cut);
    }
    std::shared_ptr<SocketCut> socket() const
    {
        std::lock_guard lock(mutex_);
        return cut_.lock();
    }
    void took_step() { taken_.fetch_add(1); }
    std::uint64_t steps_taken() const { return taken_.load(); }

private:
    mutable std::mutex mutex_;
    std::weak_ptr<SocketCut> cut_;
    std::atomic<std::uint64_t> taken_{0};
};

struct Runner {
    std::uint8_t number = 0;
    std::unique_ptr<ProtocolConnection> connection;
    std::string log_id;
    std::optional<ConnectionStreamInfo> connection_stream_info;
    AbortContext abort_context;
    std::shared_ptr<CommandReceiver> command_receiver;
    std::shared_ptr<FeedbackSender> feedback_sender;
    // Re-opens the connection when a step finds it ended by the server before
    // its first reply (absent: the runner cannot re-open).
    ConnectionOpener reopen;
    // Shared with the controller (absent for a runner of its own).
    std::shared_ptr<RunnerLink> link;
};

} // namespace vela_client
