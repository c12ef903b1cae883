// Replies of the QoS server as the tasks read them: a control line split
// into response and request id, the UDP test's result ("RCV"), the VoIP
// test's start reply ("OK <ssrc>") and its result ("VOIPRESULT" and ten
// numbers). The first byte picks the reader. The readers are hand-written
// scans that promise the first match of a regular expression; on short
// lines the standard library's matcher checks them (on long ones it
// recurses too deeply, which is why the scans exist).

#include "../FuzzTarget.h"

#include "QosControlConnection.h"
#include "tasks/StandardConversions.h"
#include "tasks/UdpTask.h"
#include "tasks/VoipTask.h"

#include <algorithm>
#include <limits>
#include <regex>
#include <stdexcept>

using namespace trevask::measurement_library;

namespace {

constexpr std::size_t kRegexLimit = 256;

void controlLine(const std::string& line) {
    const auto reply = matchQosReply(line);
    if (line.size() > kRegexLimit) return;
    static const std::regex pattern(R"((.*)\s+\+ID([\d]*))");
    std::smatch match;
    const bool found = std::regex_search(line, match, pattern);
    FUZZ_CHECK_MSG(found == reply.has_value(), line);
    if (found) {
        FUZZ_CHECK_MSG(match[1].str() == reply->response, line);
        FUZZ_CHECK_MSG(match[2].str() == reply->id, line);
    }
}

void udpResult(const std::string& line) {
    const auto received = UdpTask::parseServerReceived(line);
    if (line.size() > kRegexLimit) return;
    static const std::regex pattern(R"(RCV ([\d]*) ([\d]*)( (\{.*\}))?)");
    std::smatch match;
    std::optional<std::uint32_t> expected;
    if (std::regex_search(line, match, pattern)) {
        std::string digits = match[1].str();
        const bool any = !digits.empty();
        digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size()));  // the value, not the text
        if (digits.empty() && any) digits = "0";
        if (!digits.empty() && digits.size() <= 10) {
            const unsigned long long value = std::stoull(digits);
            if (value <= std::numeric_limits<std::uint32_t>::max()) expected = static_cast<std::uint32_t>(value);
        }
    }
    FUZZ_CHECK_MSG(received == expected, line);
}

void voipStart(const std::string& line) {
    const auto ssrc = VoipTask::findSsrcText(line);
    if (line.size() > kRegexLimit) return;
    static const std::regex pattern(R"(OK ([\d]+))");
    std::smatch match;
    const bool found = std::regex_search(line, match, pattern);
    FUZZ_CHECK_MSG(found == ssrc.has_value(), line);
    if (found) FUZZ_CHECK_MSG(match[1].str() == *ssrc, line);
}

void voipResult(const std::string& line) {
    const auto groups = VoipTask::findVoipResultGroups(line);
    if (groups) {
        // The task converts every group; a failure is the task's error.
        for (const std::string& group : *groups) {
            try {
                (void)parseStoll(group);
                (void)parseStoi(group);
            } catch (const std::invalid_argument&) {
            } catch (const std::out_of_range&) {
            }
        }
    }
    if (line.size() > kRegexLimit) return;
    std::string expression = "VOIPRESULT";
    for (int i = 0; i < 10; ++i) expression += R"( (-?\d*))";
    static const std::regex pattern(expression);
    std::smatch match;
    const bool found = std::regex_search(line, match, pattern);
    FUZZ_CHECK_MSG(found == groups.has_value(), line);
    if (found) {
        for (std::size_t i = 0; i < 10; ++i) FUZZ_CHECK_MSG(match[i + 1].str() == (*groups)[i], line);
    }
}

}  // namespace

LUMIVEX_FUZZ_TARGET(qos_replies) {
    if (size == 0) return 0;
    lumivex_fuzz::silenceLogs();
    const std::string line(lumivex_fuzz::asText(data + 1, size - 1));
    switch (data[0] % 4) {
        case 0: controlLine(line); break;
        case 1: udpResult(line); break;
        case 2: voipStart(line); break;
        case 3: voipResult(line); break;
    }
    return 0;
}
