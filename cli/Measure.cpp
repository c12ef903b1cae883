// The measure command: one full measurement through the agent's UI socket.
// Subscribes to the three measurement event channels, registers the agent
// when no UUID is given, starts the measurement with start parameters that
// run the whole QoS battery, shows its progress and, at the end, a summary.

#include "Cli.h"
#include "JsonLines.h"
#include "Progress.h"
#include "StartParameters.h"
#include "Summary.h"

#include "platform/flutter/UiClient.h"

#include <boost/json.hpp>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace lumivex::cli {

namespace {

using namespace std::chrono_literals;

struct MeasureOptions {
    MeasureRequest request;
    std::string reportPath;
    std::vector<std::string> notes;
    long maxSeconds = 900;
};

// The live line is on screen: a signal that ends us first moves past it.
std::atomic<bool> liveLineShown{false};

void onStopSignal(int signal) {
    if (liveLineShown.load()) {
        const char newline = '\n';
        [[maybe_unused]] auto ignored = ::write(STDOUT_FILENO, &newline, 1);
    }
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

// What the user sees: JSON lines, or the live line and the summary.
class View {
public:
    explicit View(bool json) : json_(json), terminal_(::isatty(STDOUT_FILENO) == 1) {}

    void reply(const std::string& channel, const std::string& method, const std::optional<flutter::MethodReply>& r) {
        if (json_) printReply(channel, method, r, sinceStart());
    }
    void event(const flutter::UiEvent& e) {
        if (json_) printEvent(e);
    }
    void message(const std::string& text) {
        if (json_) return;
        clearLine();
        std::cout << text << std::endl;
    }
    void progress(const Progress& p) {
        if (json_) return;
        if (terminal_) {
            const auto now = std::chrono::steady_clock::now();
            const std::string line = p.line();
            if (line == shownLine_ || now - shownAt_ < 100ms) return;
            shownLine_ = line;
            shownAt_ = now;
            std::cout << "\r\033[K" << line << std::flush;
            liveLineShown = true;
        } else if (p.phase() != shownPhase_ && !p.phase().empty()) {
            // Not a terminal (a log, a pipe): one line per phase.
            shownPhase_ = p.phase();
            std::cout << shownPhase_ << std::endl;
        }
    }
    void summary(const Summary& s) {
        clearLine();
        if (json_) {
            std::cout << boost::json::serialize(boost::json::object{{"summary", summaryJson(s)}}) << std::endl;
        } else {
            std::cout << renderSummary(s) << std::flush;
        }
    }

private:
    void clearLine() {
        if (liveLineShown.exchange(false)) std::cout << "\r\033[K" << std::flush;
        shownLine_.clear();
    }

    bool json_;
    bool terminal_;
    std::string shownLine_;
    std::string shownPhase_;
    std::chrono::steady_clock::time_point shownAt_{};
};

std::string replyText(const std::optional<flutter::MethodReply>& r) {
    if (!r) return "no answer (time-out or the agent went away)";
    if (r->kind == flutter::MethodReply::Kind::Error) {
        return "\"" + r->errorCode + "\"" + (r->errorMessage.empty() ? "" : ": " + r->errorMessage);
    }
    if (r->kind == flutter::MethodReply::Kind::NotImplemented) return "not implemented by the agent";
    return "success";
}

bool isSuccess(const std::optional<flutter::MethodReply>& r) {
    return r && r->kind == flutter::MethodReply::Kind::Success;
}

// The agent UUID in registerAgent's answer: the back end's "data" member as
// a JSON text.
std::optional<std::string> registeredUuid(const flutter::MethodReply& reply) {
    const auto* text = reply.value.getIf<std::string>();
    if (text == nullptr) return std::nullopt;
    boost::system::error_code ec;
    auto value = boost::json::parse(*text, ec);
    if (ec || !value.is_object()) return std::nullopt;
    auto it = value.as_object().find("agent_uuid");
    if (it == value.as_object().end() || !it->value().is_string() || it->value().as_string().empty()) {
        return std::nullopt;
    }
    return std::string(it->value().as_string());
}

std::optional<std::string> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::optional<long> positive(const std::string& text) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
    const long value = std::stol(text);
    return value > 0 ? std::optional<long>(value) : std::nullopt;
}

}  // namespace

int runMeasure(const GlobalOptions& global, const std::vector<std::string>& args) {
    GlobalOptions options = global;
    MeasureOptions measure;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string error;
        if (takeGlobalOption(args, i, options, error)) {
            if (!error.empty()) return usageError(error);
            continue;
        }
        const std::string& a = args[i];
        auto value = [&]() -> std::optional<std::string> {
            if (i + 1 >= args.size()) return std::nullopt;
            return args[++i];
        };
        if (a == "--controller" || a == "--agent-uuid" || a == "--qos-types" || a == "--report" || a == "--note" ||
            a == "--max-seconds") {
            auto v = value();
            if (!v) return usageError(a + " needs a value");
            if (a == "--controller") measure.request.controllerUrl = *v;
            if (a == "--agent-uuid") measure.request.agentUuid = *v;
            if (a == "--qos-types") {
                measure.request.qosTypes = splitList(*v);
                if (measure.request.qosTypes.empty()) return usageError("--qos-types needs at least one type");
            }
            if (a == "--report") measure.reportPath = *v;
            if (a == "--note") measure.notes.push_back(*v);
            if (a == "--max-seconds") {
                auto n = positive(*v);
                if (!n) return usageError("--max-seconds needs a positive number, not \"" + *v + "\"");
                measure.maxSeconds = *n;
            }
        } else if (a == "--no-speed") {
            measure.request.speed = false;
        } else if (a == "--no-qos") {
            measure.request.qos = false;
        } else if (!a.empty() && a[0] == '-') {
            return usageError("unknown option " + a + " for measure");
        } else {
            return usageError("unexpected \"" + a + "\" after measure");
        }
    }
    const std::string& controller = measure.request.controllerUrl;
    if (controller.empty()) return usageError("measure needs --controller URL");
    if (controller.rfind("http://", 0) != 0 && controller.rfind("https://", 0) != 0) {
        return usageError("--controller needs an http:// or https:// URL, not \"" + controller + "\"");
    }
    if (!measure.request.speed && !measure.request.qos) return usageError("--no-speed and --no-qos leave nothing");

    std::string error;
    auto socket = socketPath(options, error);
    if (!socket) {
        std::cerr << kProgram << ": " << error << "\n";
        return kUnreachable;
    }
    const std::chrono::milliseconds timeout(options.timeoutMs);
    View view(options.json);
    flutter::UiClient client;
    if (!client.Connect(*socket, timeout)) {
        std::cerr << kProgram << ": " << client.error() << "\n";
        return kUnreachable;
    }
    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);

    Summary summary;
    summary.notes = measure.notes;
    auto finish = [&](int code) {
        view.summary(summary);
        client.Close();
        return code;
    };

    for (const char* channel : {kIntermediateChannel, kStatusChannel, kQosChannel}) {
        auto r = client.Listen(channel, timeout);
        view.reply(channel, "listen", r);
        if (!isSuccess(r)) {
            summary.failure = std::string("cannot listen to ") + channel + ": " + replyText(r);
            return finish(r ? kFailed : kTimeout);
        }
    }

    MeasureRequest request = measure.request;
    if (request.agentUuid.empty()) {
        // Registration goes to the controller at once; a back end that is
        // not there ends the run here rather than after a measurement.
        view.message("registering the agent with " + registrationUrl(controller));
        flutter::EncodableMap arguments{{flutter::EncodableValue("url"), flutter::EncodableValue(registrationUrl(controller))},
                                        {flutter::EncodableValue("tcVersionAccepted"), flutter::EncodableValue(std::int32_t{1})},
                                        {flutter::EncodableValue("isTcAccepted"), flutter::EncodableValue(true)}};
        // The agent waits up to 10 s for the back end.
        auto r = client.InvokeMethod(kVelaChannel, "registerAgent", flutter::EncodableValue(arguments),
                                     std::max(timeout, std::chrono::milliseconds(15000)));
        view.reply(kVelaChannel, "registerAgent", r);
        std::optional<std::string> uuid = isSuccess(r) ? registeredUuid(*r) : std::nullopt;
        if (!uuid) {
            summary.failure = "the registration with " + registrationUrl(controller) + " failed: " +
                              (isSuccess(r) ? std::string("the answer holds no agent UUID") : replyText(r));
            return finish(r ? kFailed : kTimeout);
        }
        request.agentUuid = *uuid;
        summary.registeredAgentUuid = *uuid;
    }

    const std::string parameters = startParametersJson(request);
    view.message("measuring against " + controller + " (" +
                 (request.speed && request.qos ? "speed test and QoS tests"
                  : request.speed              ? "speed test"
                                               : "QoS tests") +
                 ")");
    // The reply comes when the whole measurement has ended; it is waited for
    // on a thread while the events are shown here.
    std::optional<flutter::MethodReply> reply;
    std::atomic<bool> replied{false};
    const std::chrono::milliseconds bound(measure.maxSeconds * 1000);
    std::thread waiter([&] {
        reply = client.InvokeMethod(kVelaChannel, "startMeasurement", flutter::EncodableValue(parameters), bound);
        replied = true;
    });
    Progress progress(request.speed);
    auto handle = [&](const flutter::UiEvent& e) {
        view.event(e);
        const auto* text = e.value.getIf<std::string>();
        if (e.kind != flutter::UiEvent::Kind::Success || text == nullptr) return;
        if (e.channel == kIntermediateChannel) progress.onIntermediate(*text);
        if (e.channel == kQosChannel) progress.onQos(*text);
        if (e.channel == kStatusChannel) progress.onStatus(*text);
        view.progress(progress);
    };
    view.progress(progress);
    while (!replied.load()) {
        if (auto e = client.NextEvent(100ms)) handle(*e);
    }
    waiter.join();
    view.reply(kVelaChannel, "startMeasurement", reply);
    // The status event goes out before the reply; take whatever is queued.
    while (auto e = client.NextEvent(50ms)) handle(*e);

    summary.measurementUuid = progress.measurementUuid();
    summary.openDataUuid = progress.openDataUuid();
    summary.accepted = isSuccess(reply) && progress.resultSent();
    if (!summary.accepted) {
        summary.failure = !reply           ? "no answer to startMeasurement within " + std::to_string(measure.maxSeconds) +
                                                 " s, or the agent went away"
                          : isSuccess(reply) ? "the agent reported success without a measurement status"
                                             : "the agent answered " + replyText(reply);
    }
    readProgress(progress, summary);
    if (!measure.reportPath.empty() && summary.accepted) {
        std::string why;
        auto text = readFile(measure.reportPath);
        if (text && readReport(*text, summary, why)) {
            summary.reportPath = measure.reportPath;
        } else {
            summary.notes.push_back("The report " + measure.reportPath + " could not be read (" +
                                    (text ? why : std::string("no such file")) +
                                    "): the figures are those the agent showed while it measured.");
        }
    }
    return finish(summary.accepted ? kDone : reply ? kFailed : kTimeout);
}

}  // namespace lumivex::cli
