#pragma once

// The controller's side of a speed test's runner connections: the record of
// one run (configuration, token, server addresses, command and feedback
// channels, runner tasks, connection counts, phase index, progress sender),
// the probe that picks the server address, the opening and re-opening of the
// runners and the end of all of them.
//
// Runner ids are fixed for the run: 0 .. n-1, equal to their entry in
// runner_handles. Every step that commands runners first calls
// spawn_connection_tasks, which re-opens the runners whose task has ended.

#include "AbortContext.h"
#include "AbortWatch.h"
#include "AsyncTask.h"
#include "ClientConfig.h"
#include "ClientResult.h"
#include "VelaExpected.h"
#include "PhaseProgress.h"
#include "Progress.h"
#include "RunnerCommands.h"
#include "RunnerConnect.h"
#include "RunnerRoutines.h"
#include "Token.h"
#include "lib/AsyncLock.h"
#include "lib/SharedRandomBuffer.h"
#include "lib/SocketOps.h"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/udp.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vela_client {

// One message of the command broadcast: runners numbered below runner_limit
// act on the command.
using RunnerMessage = CommandMessage;

// Time limits of a run's connections and routines. The defaults are the
// protocol's; tests shorten them.
struct RunLimits {
    std::chrono::nanoseconds probe_connect = std::chrono::seconds(5);
    ConnectLimits connect;
    RoutineLimits routines;
};

// One runner task, whether it has ended, and its current connection's socket.
struct RunnerTaskHandle {
    JoinHandle<bool> task;
    std::shared_ptr<std::atomic<bool>> finished;
    std::shared_ptr<RunnerLink> link;

    bool is_finished() const { return !finished || finished->load(); }
    std::shared_ptr<SocketCut> cut() const { return link ? link->socket() : nullptr; }
    // The runner cannot serve another step: its task has ended, or its
    // connection has (the server closed it, or the runner gave it up after
    // its last step and is about to end).
    bool needs_reopen() const
    {
        if (is_finished())
            return true;
        const auto current = cut();
        return !current || current->ended();
    }
};

inline constexpr std::uint32_t kBufferMultiplier = 64;

// How often a phase that waits for feedback looks whether the runners it
// waits for are still there and whether the run was aborted.
inline constexpr std::chrono::milliseconds kFeedbackPoll{100};

class MeasurementController {
public:
    using Clock = std::chrono::steady_clock;

    // Probes the addresses and opens the runner connections. Gives the
    // controller without progress sender, phase count and sampling rate, or
    // the text of the first failure. `config` must outlive the controller.
    // With an abort watch, a stop of the run ends the opening at once.
    static boost::asio::awaitable<OrError<std::unique_ptr<MeasurementController>>>
    init(std::vector<Endpoint> addresses, const ClientConfig& config, Token token, AbortContext abort,
         RunLimits limits = {}, std::shared_ptr<AbortWatch> abort_watch = nullptr);

    // Completes the controller for the phases (the "new" step of the run).
    void complete(std::optional<ProgressSender> progress, std::uint32_t count, Duration sampling_rate);

    MeasurementController(const ClientConfig& config, Token token, AbortContext abort);
    MeasurementController(const MeasurementController&) = delete;
    MeasurementController& operator=(const MeasurementController&) = delete;

    const ClientConfig& config;
    Token token;
    std::string log_id;
    AbortContext abort;
    Clock::time_point start;
    boost::asio::any_io_executor executor;
    RunLimits limits;
    // Shuts every runner connection down when the run is aborted.
    std::shared_ptr<AbortWatch> abort_watch;

    Endpoint server_addr;
    boost::asio::ip::udp::endpoint server_udp_addr;
    std::string udp_bind_v4_text = "0.0.0.0:0";
    std::string udp_bind_v6_text = "[::]:0";
    boost::asio::ip::udp::endpoint udp_bind_v4;
    boost::asio::ip::udp::endpoint udp_bind_v6;
    std::optional<std::string> websocket_url;
    std::string host;
    bool tls = false;
    bool skip_certificate_validation = false;

    CommandSender command_tx;
    std::shared_ptr<FeedbackSender> feedback_tx;
    FeedbackReceiver feedback_rx;
    SharedRandomBufferRef shared_buffer;
    std::uint32_t buffer_multiplier = kBufferMultiplier;

    AsyncMutex runner_handles_mutex;
    std::vector<RunnerTaskHandle> runner_handles;  // guarded by runner_handles_mutex
    std::uint8_t runner_count = 0;                  // entries of runner_handles, fixed once opened

    std::uint8_t dl_connections = 0;
    std::uint8_t ul_connections = 0;
    Duration progress_update_limit;
    Duration raw_history_sampling_rate;
    // Phases finished, failed or skipped so far, behind its own asynchronous
    // mutex, with the progress sender that the phases' reports go through.
    std::shared_ptr<PhaseProgress> phase_index;
    std::optional<ProgressSender> progress_tx;
    std::uint32_t phase_count = 0;
};

// Number of runner connections a configuration asks for: the larger of the
// downlink and uplink counts of the enabled throughput phases, else 1.
std::uint8_t runner_connection_count(const ClientConfig& config);

// The resolved addresses filtered by the IP version switches, in order.
std::vector<Endpoint> filter_addresses(const std::vector<Endpoint>& addresses, bool ipv4_only, bool ipv6_only);

// The first of the (filtered) addresses that accepts a TCP connection within
// the time limit, or "failed to connect to server".
boost::asio::awaitable<OrError<Endpoint>> probe_server_address(std::vector<Endpoint> addresses, bool ipv4_only,
                                                                bool ipv6_only, const std::string& log_id,
                                                                std::chrono::nanoseconds connect_limit = std::chrono::seconds(5),
                                                                std::shared_ptr<AbortWatch> abort_watch = nullptr);

// "ws://<ip>:<port>", an IPv6 address in brackets.
std::string websocket_url_for(const Endpoint& server);

// Spawns the connect task of one runner: a fresh command subscription,
// feedback sender and token copy; the task's value is the runner or the
// set-up's failure text.
JoinHandle<std::variant<Runner, std::string>> connect_runner(MeasurementController& controller, std::uint8_t runner_id);
// Hands an opened runner to a new runner task.
RunnerTaskHandle start_runner_task(MeasurementController& controller, Runner runner);

// The runners that one command reached (those below its limit), and which
// of them the phase still waits for. A runner is done once it completed, or
// once its task ended without completing (its connection failed, it lagged
// behind the commands). A runner that ended before it took the command (its
// connection ended while it was idle, after the controller looked) is opened
// again and sent the command alone, once.
class CommandReach {
public:
    // Sends the command to the runners numbered below runner_limit.
    static CommandReach broadcast(MeasurementController& controller, std::uint8_t runner_limit, RunnerCommand command);

    void acknowledged(std::uint8_t runner);
    void completed(std::uint8_t runner);
    bool all_done() const;
    // The runners still waited for.
    const std::vector<std::uint8_t>& waiting() const { return waiting_; }
    // Runners that ended after acknowledging and never completed, or that
    // could not be opened again.
    const std::vector<std::uint8_t>& lost() const { return lost_; }

    // The runners still waited for whose task has ended.
    std::vector<std::uint8_t> ended(const MeasurementController& controller) const;
    // Counts them as done (as lost when they had acknowledged).
    void drop(const std::vector<std::uint8_t>& ended);

    // The runners still waited for that ended before taking the command and
    // were not sent it again yet.
    std::vector<std::uint8_t> ended_untaken(const MeasurementController& controller) const;
    // Sends the command again, to the re-opened runner alone.
    void resend(MeasurementController& controller, std::uint8_t runner);
    // Counts a runner that could not be opened again as lost.
    void give_up(std::uint8_t runner);

private:
    CommandReach(std::uint8_t runner_limit, RunnerCommand command);

    struct Reached {
        std::uint8_t runner;
        std::uint64_t taken_before;  // steps the runner had taken when this one was sent
        bool resent;
    };
    std::uint8_t limit_;
    RunnerCommand command_;
    std::vector<Reached> reached_;
    std::vector<std::uint8_t> waiting_;  // reached and not yet done
    std::vector<std::uint8_t> acked_;
    std::vector<std::uint8_t> lost_;
};

// One step of a phase's wait for feedback.
struct PhaseFeedback {
    enum class End { None, AllDone, Closed, Aborted };
    std::optional<RunnerFeedback> feedback;  // set when end is None
    End end = End::None;
};

// The next feedback of a phase. Every such wait is bounded: it ends as well
// once every runner the command reached is done, when the channel closes,
// or when the run is aborted.
boost::asio::awaitable<PhaseFeedback> next_feedback(MeasurementController& controller, CommandReach& reach);

// Re-opens every runner whose task has ended or whose connection has (a
// runner still idle on an ended connection is told to quit and awaited
// first); nothing, or the first failure.
boost::asio::awaitable<std::optional<std::string>> spawn_connection_tasks(MeasurementController& controller);

// Tells every runner to quit and waits for every runner task.
boost::asio::awaitable<void> quit_runner(MeasurementController& controller);

// Counts a phase that failed or was skipped.
boost::asio::awaitable<void> advance_phase(MeasurementController& controller);

// A successful phase's last record (phase 100 %, overall (index + 1) / count,
// with the values of `values`) and its count, as one step under the phase
// index lock. Without a progress sender nothing changes.
boost::asio::awaitable<void> finish_phase(MeasurementController& controller, Phase kind, ProgressRecord values = {});

// The phase index, read under its lock.
boost::asio::awaitable<std::uint32_t> read_phase_index(MeasurementController& controller);

// Relative start (from the controller's start, 0 when not later) and the
// time elapsed since the phase start.
PhaseTiming phase_timing(const MeasurementController& controller, std::chrono::steady_clock::time_point phase_start);

// The log identifier of the controller's token.
std::string client_log_id(MeasurementController& controller);

} // namespace vela_client
