#include "model/MeasurementsPerAgentByMonthRequest.h"

#include "model/JsonMembers.h"
#include "model/OptionalMemberWriters.h"
#include "model/RequestEnvelope.h"

namespace json = boost::json;

namespace trevask::measurement_library {

json::object MeasurementsPerAgentByMonthRequestWriter(const MeasurementsPerAgentByMonthRequest& request) {
    json::object obj;
    setString(obj, "deserialize_type", request.deserialize_type);
    setOptionalInt32(obj, "year", request.year);
    setOptionalInt32(obj, "month", request.month);
    return obj;
}

std::string toRequestBody(const MeasurementsPerAgentByMonthRequest& request) {
    return serializeCompact(makeRequestEnvelope(MeasurementsPerAgentByMonthRequestWriter(request),
                                                request.request_info));
}

}  // namespace trevask::measurement_library
