// The back end's response envelope: the "data" or "errors" member handed to
// the UI as JSON text. Whatever is handed on is one JSON value and never a
// bare null.

#include "../FuzzTarget.h"

#include "util/ApiDataParser.h"

#include <nlohmann/json.hpp>

using trevask::measurement_library::ApiDataParser;

namespace {

void checkMember(const std::optional<std::string>& member) {
    if (!member) return;
    const auto value = nlohmann::json::parse(*member, nullptr, false, false);
    FUZZ_CHECK_MSG(!value.is_discarded(), *member);
    FUZZ_CHECK_MSG(!value.is_null(), *member);
    // Compact and canonical: writing it again gives the same text.
    FUZZ_CHECK_MSG(value.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict) == *member, *member);
}

}  // namespace

LUMIVEX_FUZZ_TARGET(response_envelope) {
    lumivex_fuzz::silenceLogs();
    const std::string body(lumivex_fuzz::asText(data, size));
    checkMember(ApiDataParser::getData(body));
    checkMember(ApiDataParser::getErrors(body));
    return 0;
}
