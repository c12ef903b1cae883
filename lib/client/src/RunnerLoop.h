#pragma once

// The loop of one runner connection: it takes the controller's command
// messages, acts on those addressed to it (its number below the message's
// runner_count), runs each command's routine against the server and reports
// through feedback. One routine at a time; a routine's failure goes into its
// completing feedback and the loop goes on. A step whose connection the
// server ended before the step's first reply runs once more, on a connection
// opened anew (the acknowledgement is sent again with its stream
// information), and the loop moves to that connection's strand.
//
// Feedback per command:
//   DownlinkPretest           DownlinkPretestAck, DownlinkPretestCompleted
//   DownlinkTest              DownlinkTestAck, DownlinkTestProgress..., DownlinkTestCompleted
//   UplinkPretest             UplinkPretestAck, UplinkPretestCompleted
//   UplinkTest                UplinkTestAck, UplinkTestProgress..., UplinkTestCompleted
//   RttTcpPing                RttTcpPingAck, RttTcpPingProgress..., RttTcpPong
//   ServerLoadRequest         ServerLoad
//   ReverseTracerouteRequest  ReverseTraceroute
//   Quit                      none (QuitRequest to the server, then the loop ends)
//
// The loop ends, giving a failure text, when at the top of a pass the abort
// context reports an abort ("aborted on timeout or user request") or the
// connection was closed by a routine ("connection has been closed, runner
// needs to be restarted"); when receiving fails ("error receiving command: "
// + "channel closed" / "channel lagged by <n>"); or when an acknowledgement
// or completion finds the feedback receiver gone ("failed to send feedback to
// controller"). After Quit for it (no runner number, or its own) it ends with
// success. Ending drops the connection and both channel ends.

#include "AsyncTask.h"
#include "Runner.h"
#include "RunnerRoutines.h"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include <optional>
#include <string>

namespace vela_client {

// Runs the runner to its end on its connection's strand; empty on success
// (Quit), else the failure text.
boost::asio::awaitable<std::optional<std::string>> runner_loop(Runner runner, RoutineLimits limits = {});

// Spawns runner_loop as a task of the runtime behind `executor` (the loop
// moves to its connection's strand); the handle gives its outcome (nothing
// when the task ended abnormally). Dropping the handle detaches the task.
JoinHandle<std::optional<std::string>> spawn_runner(const boost::asio::any_io_executor& executor, Runner runner,
                                                   RoutineLimits limits = {});

} // namespace vela_client
