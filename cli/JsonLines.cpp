#include "JsonLines.h"

#include <boost/json.hpp>

#include <chrono>
#include <iostream>

namespace lumivex::cli {

namespace {

const auto startTime = std::chrono::steady_clock::now();

}  // namespace

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

}  // namespace lumivex::cli
