#pragma once
// A loopback back end that answers every request with a scripted reply and
// records what it was sent.

#include "HttpTestServer.h"

#include <boost/json.hpp>

#include <string>

namespace services_test {

using lumivex::test::HttpTestServer;
using lumivex::test::RecordedRequest;
using lumivex::test::ScriptedReply;

// Answers every method and path with `reply`.
inline void answerEverything(HttpTestServer& server, ScriptedReply reply) {
    server.onPrefix("*", "/", [reply](const RecordedRequest&) { return reply; });
}

// The members' keys of a JSON object in their order.
inline std::vector<std::string> keysOf(const boost::json::value& value) {
    std::vector<std::string> keys;
    for (const auto& member : value.as_object()) keys.emplace_back(member.key());
    return keys;
}

// A text member as std::string; "<not a text>" for any other kind.
inline std::string text(const boost::json::value& value) {
    return value.is_string() ? std::string(value.get_string()) : std::string("<not a text>");
}

// An address whose port was just bound and closed: connecting is refused.
inline std::string refusedUrl() {
    HttpTestServer server;
    server.start();
    std::string url = server.baseUrl();
    server.stop();
    return url;
}

}  // namespace services_test
