#pragma once

// What the speed-test controller tells its runners and what they report back,
// and the two channels that carry it:
//
//  - the command channel: one broadcast channel per run. Each message is a
//    CommandMessage {runner_count, command, only}; a runner acts on it only
//    when its own number is below runner_count (count 1 reaches runner 0
//    alone) and, when `only` is set, equals it.
//  - the feedback channel: one unbounded channel per run; every runner (and
//    its sub-tasks) sends RunnerFeedback, the controller receives.
//
// Byte histories travel as SampleSeries: points in ascending time, each with
// the cumulative byte count at that time (append_samples / to_sample_map turn
// them into the SampleMap of the result statistics). The downlink's history,
// a point per chunk, travels in pieces instead (SampleUpdate): each progress
// report carries the points since the last one, and the completion carries
// what no report did; together they are the whole history.

#include "Channels.h"
#include "ClientResult.h"
#include "Duration.h"
#include "PackedSeries.h"
#include "ResultStatistics.h"
#include "VelaExpected.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace vela_client {

// ---- commands ------------------------------------------------------------

struct RttTcpPingParams {
    std::uint8_t runner_id = 0;     // set by the controller; runners do not read it
    std::uint32_t num_pings = 0;    // at most this many pings
    Duration ping_interval;         // pause before every ping but the first
    Duration timebox;               // once passed, the next ping is the last
    std::uint32_t payload_size = 0; // bytes of one ping and one pong on the wire, marker included

    bool operator==(const RttTcpPingParams&) const = default;
};

namespace command {
struct DownlinkPretest { Duration duration; bool operator==(const DownlinkPretest&) const = default; };
struct DownlinkTest { Duration duration; bool operator==(const DownlinkTest&) const = default; };
struct UplinkPretest { Duration duration; bool operator==(const UplinkPretest&) const = default; };
struct UplinkTest { Duration duration; bool operator==(const UplinkTest&) const = default; };
struct RttTcpPing { RttTcpPingParams params; bool operator==(const RttTcpPing&) const = default; };
struct ServerLoadRequest { bool operator==(const ServerLoadRequest&) const = default; };
struct ReverseTracerouteRequest { Duration max_duration; bool operator==(const ReverseTracerouteRequest&) const = default; };
// Absent runner: every runner that the message reaches.
struct Quit { std::optional<std::uint8_t> runner; bool operator==(const Quit&) const = default; };
} // namespace command

// The eight commands, in this order.
using RunnerCommand = std::variant<command::DownlinkPretest, command::DownlinkTest, command::UplinkPretest,
                                   command::UplinkTest, command::RttTcpPing, command::ServerLoadRequest,
                                   command::ReverseTracerouteRequest, command::Quit>;

// "DownlinkPretest", ... "Quit".
const char* command_name(const RunnerCommand& command);
// One-line form for log lines, e.g. "DownlinkTest(10s)", "Quit(Some(1))",
// "RttTcpPing(RttTcpPingParams { runner_id: 0, num_pings: 10, ... })".
std::string to_string(const RunnerCommand& command);

// One message of the command channel.
struct CommandMessage {
    std::uint8_t runner_count = 0;  // runners numbered below this act on it
    RunnerCommand command;
    std::optional<std::uint8_t> only;  // when set, only the runner of this number acts on it
};

// ---- feedback ------------------------------------------------------------

// A byte history: ascending times (since the test's start) with cumulative bytes.
using SampleSeries = std::vector<SamplePoint>;

// Adds a point, keeping the series ascending: a point at an existing time
// replaces that point's bytes (as a map would). Appending in time order is
// the fast path.
void insert_sample(SampleSeries& series, Duration time, std::uint64_t bytes);
// The points whose time is greater than `after`.
SampleSeries samples_after(const SampleSeries& series, Duration after);
// Into the result statistics' map form (later points win on equal times).
void append_samples(SampleMap& into, const SampleSeries& series);
SampleMap to_sample_map(const SampleSeries& series);

struct ServerLoadData {
    std::optional<std::string> stdout_vmstat;
    std::optional<std::string> stdout_free;
    bool operator==(const ServerLoadData&) const = default;
};

// A routine's result, or its failure text.
template <class T>
using RoutineOutcome = Expected<T, std::string>;

namespace feedback {
// The pretest records carry their runner's number too (not part of their
// debug text), so that the controller knows whom it still waits for.
struct DownlinkPretestAck { std::uint8_t runner = 0; };
struct DownlinkPretestCompleted { RoutineOutcome<std::uint32_t> chunks; std::uint8_t runner = 0; };  // chunks of the last finished round
struct DownlinkTestAck { std::uint8_t runner; std::optional<ConnectionStreamInfo> stream_info; };
struct DownlinkTestProgress { std::uint8_t runner; SampleUpdate samples; };  // points added since the last report
struct DownlinkTestCompleted { std::uint8_t runner; RoutineOutcome<SampleUpdate> samples; };  // the history's last piece
struct UplinkPretestAck { std::uint8_t runner = 0; };
struct UplinkPretestCompleted { RoutineOutcome<std::uint32_t> chunks; std::uint8_t runner = 0; };
struct UplinkTestAck { std::uint8_t runner; std::optional<ConnectionStreamInfo> stream_info; };
struct UplinkTestProgress { std::uint8_t runner; SampleSeries samples; };
struct UplinkTestCompleted { std::uint8_t runner; RoutineOutcome<SampleSeries> samples; };
struct RttTcpPingAck { std::uint8_t runner; std::optional<ConnectionStreamInfo> stream_info; };
struct RttTcpPingProgress { std::uint32_t pings_sent; };
// One (send offset from the ping phase's start, round-trip time) per answered ping, in ping order.
struct RttTcpPong { RoutineOutcome<std::vector<RttSample>> pongs; };
struct ServerLoad { RoutineOutcome<ServerLoadData> load; };
struct ReverseTraceroute { RoutineOutcome<std::string> output; };
} // namespace feedback

// The fifteen feedback kinds, in this order.
using RunnerFeedback =
    std::variant<feedback::DownlinkPretestAck, feedback::DownlinkPretestCompleted, feedback::DownlinkTestAck,
                 feedback::DownlinkTestProgress, feedback::DownlinkTestCompleted, feedback::UplinkPretestAck,
                 feedback::UplinkPretestCompleted, feedback::UplinkTestAck, feedback::UplinkTestProgress,
                 feedback::UplinkTestCompleted, feedback::RttTcpPingAck, feedback::RttTcpPingProgress,
                 feedback::RttTcpPong, feedback::ServerLoad, feedback::ReverseTraceroute>;

// "DownlinkPretestAck", ... "ReverseTraceroute".
const char* feedback_name(const RunnerFeedback& feedback);

// ---- channel ends ----------------------------------------------------------

using CommandSender = BroadcastSender<CommandMessage>;
using FeedbackReceiver = UnboundedReceiver<RunnerFeedback>;

// A runner's receiving end of the command channel.
class CommandReceiver : public BroadcastReceiver<CommandMessage> {
public:
    CommandReceiver() = default;
    explicit CommandReceiver(BroadcastReceiver<CommandMessage>&& receiver)
        : BroadcastReceiver<CommandMessage>(std::move(receiver))
    {
    }
};

// A sending end of the feedback channel; copies are further senders.
class FeedbackSender : public UnboundedSender<RunnerFeedback> {
public:
    FeedbackSender() = default;
    explicit FeedbackSender(UnboundedSender<RunnerFeedback> sender) : UnboundedSender<RunnerFeedback>(std::move(sender)) {}
};

// Messages the command channel keeps per runner connection.
inline constexpr std::size_t kCommandsPerConnection = 4;

// The command channel of a run with `connections` runner connections
// (capacity four messages per connection).
CommandSender make_command_channel(std::size_t connections);
// A new runner's end of the command channel: it sees the commands sent from now on.
std::shared_ptr<CommandReceiver> subscribe_runner(const CommandSender& commands);

// The feedback channel of a run: the controller keeps the receiver and hands
// a copy of the sender to every runner connection.
struct FeedbackChannel {
    std::shared_ptr<FeedbackSender> sender;
    FeedbackReceiver receiver;
};
FeedbackChannel make_feedback_channel();

} // namespace vela_client
