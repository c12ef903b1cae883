#pragma once
// The agent's registration with the controller, sent inside the request
// envelope by the UI's registration and by the measurement engine.

#include "model/BasicRequest.h"
#include "model/RequestInfo.h"

#include <boost/json/fwd.hpp>

#include <cstdint>
#include <optional>
#include <string>

namespace trevask::measurement_library {

class RegistrationRequest : public BasicRequest {
public:
    static constexpr const char* kType =
        "at.trevask.lumivex.shared.halvo.collector.api.v1.dto.agent.registration.RegistrationRequest";

    RegistrationRequest() = default;

    bool termsAndConditionsAccepted = false;
    std::uint16_t termsAndConditionsAcceptedVersion = 0;
    // Kept with the request; the back end's record has no key for it, so it
    // is not written.
    std::optional<std::string> groupName;
    RequestInfo requestInfo;
};

// {"deserialize_type", "terms_and_conditions_accepted",
//  "terms_and_conditions_accepted_version"}
boost::json::object RegistrationRequestWriter(const RegistrationRequest& request);

// The envelope {"data", "request_info"} as a JSON value, for callers that
// write the body themselves.
boost::json::value toRequestBodyValue(const RegistrationRequest& request);
// The same envelope as compact text.
std::string toRequestBody(const RegistrationRequest& request);

}  // namespace trevask::measurement_library
