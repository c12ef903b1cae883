#include "JsonLines.h"

#include <boost/json.hpp>

#include <chrono>
#include <ctime>
#include <iostream>

namespace json = boost::json;

namespace lumivex::cli {

namespace {

const auto startTime = std::chrono::steady_clock::now();

std::string utcNow() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    char buffer[40];
    const std::size_t n = std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(buffer + n, sizeof buffer - n, ".%03dZ", static_cast<int>(ms));
    return buffer;
}

// A text that is a JSON object or list becomes that value; anything else
// (and everything in raw mode) stays as it is.
json::value valueOf(const flutter::EncodableValue& v, Values values) {
    json::value value = json::parse(flutter::encodableToJson(v));
    if (values == Values::Decoded && value.is_string()) {
        const auto& text = value.as_string();
        const auto first = std::string_view(text).find_first_not_of(" \t\r\n");
        if (first != std::string_view::npos && (text[first] == '{' || text[first] == '[')) {
            boost::system::error_code ec;
            json::value decoded = json::parse(text, ec);
            if (!ec) return decoded;
        }
    }
    return value;
}

json::object lineOf(const std::string& type) {
    json::object line;
    line["type"] = type;
    line["time"] = utcNow();
    return line;
}

}  // namespace

std::int64_t sinceStart() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - startTime).count();
}

void printReply(const std::string& channel, const std::string& method, const std::optional<flutter::MethodReply>& r,
                std::int64_t atMs, Values values) {
    json::object line = lineOf("reply");
    line["channel"] = channel;
    line["method"] = method;
    line["atMs"] = atMs;
    if (!r) {
        line["reply"] = "timeout";
    } else if (r->kind == flutter::MethodReply::Kind::Success) {
        line["reply"] = "success";
        line["value"] = valueOf(r->value, values);
    } else if (r->kind == flutter::MethodReply::Kind::Error) {
        line["reply"] = "error";
        line["code"] = r->errorCode;
        line["message"] = r->errorMessage;
        line["details"] = valueOf(r->value, values);
    } else {
        line["reply"] = "notImplemented";
    }
    std::cout << json::serialize(line) << std::endl;
}

std::string printEvent(const flutter::UiEvent& e, Values values) {
    json::object line = lineOf("event");
    line["event"] = e.channel;
    line["kind"] = e.kind == flutter::UiEvent::Kind::Success ? "success"
                   : e.kind == flutter::UiEvent::Kind::Error ? "error"
                                                             : "endOfStream";
    line["value"] = valueOf(e.value, values);
    if (e.kind == flutter::UiEvent::Kind::Error) line["code"] = e.errorCode;
    std::string text = json::serialize(line);
    std::cout << text << std::endl;
    return text;
}

void printLine(const std::string& type, json::object members) {
    json::object line = lineOf(type);
    for (auto& m : members) line[m.key()] = std::move(m.value());
    std::cout << json::serialize(line) << std::endl;
}

}  // namespace lumivex::cli
