// A command-line stand-in for the UI: connects to the agent's UI socket,
// subscribes to event channels, calls methods with JSON arguments and prints
// every reply and event as one JSON line on standard output.
//
//   ui_driver --socket PATH [--timeout-ms N] [--listen CHANNEL]...
//             [--call CHANNEL METHOD JSON]... [--events N] [--quit]
//
// Steps run in this order: connect, listen, calls (each waits for its
// reply), wait for N events, quit. Exit code 0 when every step completed,
// 2 when the socket could not be reached, 3 on a time-out, 1 on bad usage.

#include "platform/flutter/UiClient.h"

#include <boost/json.hpp>

#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

namespace {

struct Call {
    std::string channel;
    std::string method;
    std::string json;
};

void printReply(const std::string& channel, const std::string& method, const std::optional<flutter::MethodReply>& r) {
    boost::json::object line;
    line["channel"] = channel;
    line["method"] = method;
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

int usage() {
    std::cerr << "usage: ui_driver --socket PATH [--timeout-ms N] [--listen CHANNEL]... "
                 "[--call CHANNEL METHOD JSON]... [--events N] [--quit]\n";
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::string socket;
    long timeoutMs = 5000;
    std::vector<std::string> listens;
    std::vector<Call> calls;
    long events = 0;
    bool quit = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto need = [&](int n) { return i + n < argc; };
        if (a == "--socket" && need(1)) {
            socket = argv[++i];
        } else if (a == "--timeout-ms" && need(1)) {
            timeoutMs = std::strtol(argv[++i], nullptr, 10);
        } else if (a == "--listen" && need(1)) {
            listens.emplace_back(argv[++i]);
        } else if (a == "--call" && need(3)) {
            calls.push_back({argv[i + 1], argv[i + 2], argv[i + 3]});
            i += 3;
        } else if (a == "--events" && need(1)) {
            events = std::strtol(argv[++i], nullptr, 10);
        } else if (a == "--quit") {
            quit = true;
        } else {
            return usage();
        }
    }
    if (socket.empty() || timeoutMs <= 0) return usage();
    const std::chrono::milliseconds timeout(timeoutMs);

    flutter::UiClient client;
    if (!client.Connect(socket, timeout)) {
        std::cerr << "cannot connect to " << socket << "\n";
        return 2;
    }
    int rc = 0;
    for (const auto& channel : listens) {
        auto r = client.Listen(channel, timeout);
        printReply(channel, "listen", r);
        if (!r) rc = 3;
    }
    for (const auto& call : calls) {
        flutter::EncodableValue args;
        try {
            args = flutter::encodableFromJson(call.json);
        } catch (const std::exception& e) {
            std::cerr << e.what() << "\n";
            return 1;
        }
        auto r = client.InvokeMethod(call.channel, call.method, args, timeout);
        printReply(call.channel, call.method, r);
        if (!r) rc = 3;
    }
    for (long n = 0; n < events; ++n) {
        auto e = client.NextEvent(timeout);
        if (!e) {
            std::cout << R"({"event":"timeout"})" << std::endl;
            rc = 3;
            break;
        }
        boost::json::object line;
        line["event"] = e->channel;
        line["kind"] = e->kind == flutter::UiEvent::Kind::Success ? "success"
                       : e->kind == flutter::UiEvent::Kind::Error ? "error"
                                                                  : "endOfStream";
        line["value"] = boost::json::parse(flutter::encodableToJson(e->value));
        if (e->kind == flutter::UiEvent::Kind::Error) line["code"] = e->errorCode;
        std::cout << boost::json::serialize(line) << std::endl;
    }
    if (quit) {
        client.SendQuit();
        client.WaitClosed(timeout);
    }
    return rc;
}
