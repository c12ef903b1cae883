// A command-line stand-in for the UI: connects to the agent's UI socket,
// subscribes to event channels, calls methods with JSON arguments and prints
// every reply and event as one JSON line on standard output.
//
//   ui_driver [--socket PATH] [--timeout-ms N] STEP...
//
// Steps run in the order given:
//   --listen CHANNEL              subscribe to an event channel
//   --call CHANNEL METHOD JSON    call a method and wait for its reply
//   --send CHANNEL METHOD JSON    call a method without waiting; its reply is
//                                 printed by a later --await-replies
//   --await-replies               wait for the replies of every --send so far
//   --events N                    wait for N events
//   --until-event TEXT            wait for events until one holds TEXT
//   --sleep-ms N                  pause
//   --quit                        ask the agent to close and wait until it does
// Leaving without --quit simply closes the connection, as a UI that goes
// away does. Each reply line carries "atMs", the time since the start at
// which the reply arrived. The socket defaults to the agent's own default path; every
// wait is bounded by the time-out (default 5000 ms). Exit code 0 when every
// step completed, 2 when the socket could not be reached, 3 on a time-out,
// 1 on bad usage.

#include "platform/flutter/UiClient.h"
#include "platform/flutter/UiSocket.h"

#include <boost/json.hpp>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Step {
    enum class Kind { Listen, Call, Send, AwaitReplies, Events, UntilEvent, Sleep, Quit } kind;
    std::string channel;
    std::string method;
    std::string json;
    long number = 0;
};

const auto startTime = std::chrono::steady_clock::now();

std::int64_t sinceStart() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - startTime).count();
}

void printReply(const std::string& channel, const std::string& method, const std::optional<flutter::MethodReply>& r,
                std::int64_t atMs) {
    boost::json::object line;
    line["channel"] = channel;
    line["method"] = method;
    line["atMs"] = atMs;
    if (!r) {
        line["reply"] = "timeout";
    } else if (r->kind == flutter::MethodReply::Kind::Success) {
        line["reply"] = "success";
        line["value"] = boost::json::parse(flutter::encodableToJson(r->value));
    } else if (r->kind == flutter::MethodReply::Kind::Error) {
        line["reply"] = "error";
        line["code"] = r->errorCode;
        line["message"] = r->errorMessage;
        line["details"] = boost::json::parse(flutter::encodableToJson(r->value));
    } else {
        line["reply"] = "notImplemented";
    }
    std::cout << boost::json::serialize(line) << std::endl;
}

// Prints the event and returns its line.
std::string printEvent(const flutter::UiEvent& e) {
    boost::json::object line;
    line["event"] = e.channel;
    line["kind"] = e.kind == flutter::UiEvent::Kind::Success ? "success"
                   : e.kind == flutter::UiEvent::Kind::Error ? "error"
                                                             : "endOfStream";
    line["value"] = boost::json::parse(flutter::encodableToJson(e.value));
    if (e.kind == flutter::UiEvent::Kind::Error) line["code"] = e.errorCode;
    std::string text = boost::json::serialize(line);
    std::cout << text << std::endl;
    return text;
}

int usage() {
    std::cerr << "usage: ui_driver [--socket PATH] [--timeout-ms N] [--listen CHANNEL] [--call CHANNEL METHOD JSON] "
                 "[--send CHANNEL METHOD JSON] [--await-replies] [--events N] [--sleep-ms N] [--quit]...\n";
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::string socket;
    long timeoutMs = 5000;
    std::vector<Step> steps;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto need = [&](int n) { return i + n < argc; };
        if (a == "--socket" && need(1)) {
            socket = argv[++i];
        } else if (a == "--timeout-ms" && need(1)) {
            timeoutMs = std::strtol(argv[++i], nullptr, 10);
        } else if (a == "--listen" && need(1)) {
            steps.push_back({Step::Kind::Listen, argv[++i]});
        } else if ((a == "--call" || a == "--send") && need(3)) {
            steps.push_back({a == "--call" ? Step::Kind::Call : Step::Kind::Send, argv[i + 1], argv[i + 2], argv[i + 3]});
            i += 3;
        } else if (a == "--until-event" && need(1)) {
            Step step{Step::Kind::UntilEvent};
            step.json = argv[++i];
            steps.push_back(step);
        } else if (a == "--await-replies") {
            steps.push_back({Step::Kind::AwaitReplies});
        } else if ((a == "--events" || a == "--sleep-ms") && need(1)) {
            Step step{a == "--events" ? Step::Kind::Events : Step::Kind::Sleep};
            step.number = std::strtol(argv[++i], nullptr, 10);
            steps.push_back(step);
        } else if (a == "--quit") {
            steps.push_back({Step::Kind::Quit});
        } else {
            return usage();
        }
    }
    if (timeoutMs <= 0) return usage();
    if (socket.empty()) {
        std::string error;
        auto path = flutter::DefaultUiSocketPath(error);
        if (!path) {
            std::cerr << error << "\n";
            return 2;
        }
        socket = *path;
    }
    const std::chrono::milliseconds timeout(timeoutMs);

    flutter::UiClient client;
    if (!client.Connect(socket, timeout)) {
        std::cerr << "cannot connect to " << socket << "\n";
        return 2;
    }
    // Calls sent without waiting, awaiting their replies.
    struct Pending {
        const Step* step;
        std::thread waiter;
        std::optional<flutter::MethodReply> reply;
        std::int64_t atMs = 0;
    };
    std::vector<std::unique_ptr<Pending>> pending;
    int rc = 0;
    auto argumentsOf = [](const Step& step, flutter::EncodableValue& out) {
        try {
            out = flutter::encodableFromJson(step.json);
            return true;
        } catch (const std::exception& e) {
            std::cerr << e.what() << "\n";
            return false;
        }
    };
    for (const auto& step : steps) {
        switch (step.kind) {
            case Step::Kind::Listen: {
                auto r = client.Listen(step.channel, timeout);
                printReply(step.channel, "listen", r, sinceStart());
                if (!r) rc = 3;
                break;
            }
            case Step::Kind::Call: {
                flutter::EncodableValue args;
                if (!argumentsOf(step, args)) return 1;
                auto r = client.InvokeMethod(step.channel, step.method, args, timeout);
                printReply(step.channel, step.method, r, sinceStart());
                if (!r) rc = 3;
                break;
            }
            case Step::Kind::Send: {
                flutter::EncodableValue args;
                if (!argumentsOf(step, args)) return 1;
                auto p = std::make_unique<Pending>();
                p->step = &step;
                Pending* raw = p.get();
                // The reply may take long (a whole measurement): it is waited
                // for on a thread of its own, with the longest wait we allow.
                p->waiter = std::thread([&client, raw, args, timeout] {
                    raw->reply = client.InvokeMethod(raw->step->channel, raw->step->method, args, timeout);
                    raw->atMs = sinceStart();
                });
                pending.push_back(std::move(p));
                break;
            }
            case Step::Kind::AwaitReplies:
                for (auto& p : pending) {
                    if (p->waiter.joinable()) p->waiter.join();
                    printReply(p->step->channel, p->step->method, p->reply, p->atMs);
                    if (!p->reply) rc = 3;
                }
                pending.clear();
                break;
            case Step::Kind::Events:
                for (long n = 0; n < step.number; ++n) {
                    auto e = client.NextEvent(timeout);
                    if (!e) {
                        std::cout << R"({"event":"timeout"})" << std::endl;
                        rc = 3;
                        break;
                    }
                    printEvent(*e);
                }
                break;
            case Step::Kind::UntilEvent: {
                const auto deadline = std::chrono::steady_clock::now() + timeout;
                for (;;) {
                    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                      std::chrono::steady_clock::now());
                    auto e = left.count() > 0 ? client.NextEvent(left) : std::nullopt;
                    if (!e) {
                        std::cout << R"({"event":"timeout"})" << std::endl;
                        rc = 3;
                        break;
                    }
                    if (printEvent(*e).find(step.json) != std::string::npos) break;
                }
                break;
            }
            case Step::Kind::Sleep:
                std::this_thread::sleep_for(std::chrono::milliseconds(step.number));
                break;
            case Step::Kind::Quit:
                client.SendQuit();
                if (!client.WaitClosed(timeout)) rc = 3;
                break;
        }
    }
    // Leaving: the connection closes, which ends the waits still open.
    client.Close();
    for (auto& p : pending) {
        if (p->waiter.joinable()) p->waiter.join();
    }
    return rc;
}
