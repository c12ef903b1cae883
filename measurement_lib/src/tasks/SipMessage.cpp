#include "tasks/SipMessage.h"

#include <string_view>
#include <vector>

namespace trevask::measurement_library {

namespace {

// Cuts at every separator; empty pieces stay, and whatever follows the last
// separator is the last piece.
std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    while (true) {
        const std::size_t at = text.find(separator, start);
        if (at == std::string_view::npos) {
            pieces.push_back(text.substr(start));
            return pieces;
        }
        pieces.push_back(text.substr(start, at - start));
        start = at + 1;
    }
}

}  // namespace

std::string SipMessage::serialize() const {
    std::string text = toString();
    text += '\n';
    for (const auto& [name, value] : headers) {
        text += name;
        text += ": ";
        text += value;
        text += '\n';
    }
    if (body.empty()) {
        text += "Content-Length: 0\n\n";
    } else {
        text += "Content-Length:" + std::to_string(body.size()) + "\n\n";
        text += body;
    }
    return text;
}

SipRequestMessage::SipRequestMessage(SipMethod method, const std::string& from, const std::string& to,
                                     const std::string& via)
    : method(method) {
    headers["FROM"] = from;
    headers["TO"] = to;
    headers["VIA"] = via.empty() ? from : via;
}

std::string SipRequestMessage::getName() const {
    switch (method) {
        case SipMethod::INVITE: return "INVITE";
        case SipMethod::ACK: return "ACK";
        case SipMethod::BYE: return "BYE";
    }
    return "UNKNOWN";
}

std::string SipRequestMessage::toString() const {
    const auto to = headers.find("TO");
    return getName() + " " + (to != headers.end() ? to->second : std::string()) + " " + SIP_VERSION;
}

std::string SipResponseMessage::getName() const {
    switch (status) {
        case SipStatus::TRYING: return "TRYING";
        case SipStatus::RINGING: return "RINGING";
        case SipStatus::OK: return "OK";
        default: return "UNKNOWN";
    }
}

std::string SipResponseMessage::getCode() const {
    switch (status) {
        case SipStatus::TRYING: return "100";
        case SipStatus::RINGING: return "180";
        case SipStatus::OK: return "200";
        default: return "0";
    }
}

std::string SipResponseMessage::toString() const {
    return std::string(SIP_VERSION) + " " + getCode() + " " + getName();
}

std::optional<SipResponseMessage> SipResponseMessage::parse(const std::string& text) {
    if (text.empty()) return std::nullopt;
    const std::string_view firstLine = split(text, '\n').front();
    const auto words = split(firstLine, ' ');
    if (words.size() < 3) return std::nullopt;
    const std::string_view word = words[2];
    if (word == "OK") return SipResponseMessage(SipStatus::OK);
    if (word == "RINGING") return SipResponseMessage(SipStatus::RINGING);
    if (word == "TRYING") return SipResponseMessage(SipStatus::TRYING);
    return SipResponseMessage(SipStatus::UNKNOWN);
}

}  // namespace trevask::measurement_library
