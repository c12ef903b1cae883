// The agent API records read from outside: the controller's registration
// answer, the collector's answer to a report, the address echo, and the
// certified-measurement records and client description that come from the
// UI. The first byte picks the record; the rest is the JSON text. Records
// that are sent on must write as JSON the back end can read.

#include "../FuzzTarget.h"

#include "model/AgentApiResponses.h"
#include "model/CertifiedMeasurementDtos.h"
#include "model/IpResponse.h"
#include "model/JsonMembers.h"
#include "model/RequestInfo.h"

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <boost/json/value.hpp>

#include <stdexcept>

using namespace trevask::measurement_library;
namespace json = boost::json;

namespace {

void checkIsJson(const std::string& text) {
    json::error_code ec;
    (void)json::parse(text, ec);
    FUZZ_CHECK_MSG(!ec, text);
}

void readRecord(std::uint8_t kind, const json::value& value) {
    switch (kind % 6) {
        case 0: {
            RegistrationResponse answer;
            RegistrationResponseReader(requireObject(value), "data", answer);
            break;
        }
        case 1: {
            MeasurementResultResponse answer;
            MeasurementResultResponseReader(requireObject(value), "data", answer);
            break;
        }
        case 2:
            (void)IpResponseReader(value);
            break;
        case 3:
            checkIsJson(toRequestBody(CertifiedMeasurementFormSubmitDtoReader(value)));
            break;
        case 4:
            checkIsJson(toRequestBody(CertifiedMeasurementInitiationDtoReader(value)));
            break;
        case 5: {
            RequestInfo info;
            RequestInfoReader(requireObject(value), "request_info", info);
            checkIsJson(json::serialize(RequestInfoWriter(info)));
            break;
        }
    }
}

}  // namespace

LUMIVEX_FUZZ_TARGET(agent_api) {
    if (size == 0) return 0;
    lumivex_fuzz::silenceLogs();
    try {
        readRecord(data[0], parseJson(lumivex_fuzz::asText(data + 1, size - 1)));
    } catch (const std::runtime_error&) {     // syntax errors, numbers that do not fit
    } catch (const std::invalid_argument&) {  // a member of the wrong kind
    }
    return 0;
}
