// The SIP peer's answers as the SIP test recognises them. A response the
// agent writes is recognised again as itself.

#include "../FuzzTarget.h"

#include "tasks/SipMessage.h"

using namespace trevask::measurement_library;

LUMIVEX_FUZZ_TARGET(sip) {
    const std::string text(lumivex_fuzz::asText(data, size));
    const auto response = SipResponseMessage::parse(text);
    if (!response) return 0;
    FUZZ_CHECK(text.find(' ') != std::string::npos);
    if (response->getStatus() == SipStatus::UNKNOWN) return 0;
    const auto again = SipResponseMessage::parse(response->serialize());
    FUZZ_CHECK(again && again->getStatus() == response->getStatus());
    return 0;
}
