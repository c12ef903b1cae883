#include "model/RegistrationRequest.h"

#include "model/JsonMembers.h"
#include "model/RequestEnvelope.h"

namespace json = boost::json;

namespace trevask::measurement_library {

json::object RegistrationRequestWriter(const RegistrationRequest& request) {
    json::object obj;
    setString(obj, "deserialize_type", request.deserialize_type);
    obj["terms_and_conditions_accepted"] = request.termsAndConditionsAccepted;
    setUInt32(obj, "terms_and_conditions_accepted_version", request.termsAndConditionsAcceptedVersion);
    return obj;
}

json::value toRequestBodyValue(const RegistrationRequest& request) {
    return makeRequestEnvelope(RegistrationRequestWriter(request), request.requestInfo);
}

std::string toRequestBody(const RegistrationRequest& request) {
    return serializeCompact(toRequestBodyValue(request));
}

}  // namespace trevask::measurement_library
