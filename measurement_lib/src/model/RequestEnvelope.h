#pragma once
// The request envelope {"data": <record>, "request_info": <client description>}
// in which request records travel to the back end, and its compact text.

#include "model/RequestInfo.h"

#include <boost/json/fwd.hpp>

#include <string>

namespace trevask::measurement_library {

// obj["data"] = the record's own object (moved in).
void writeDataMember(boost::json::object& envelope, boost::json::object data);
// obj["request_info"] = the client description's object.
void writeDtoRequestInfo(boost::json::object& envelope, const RequestInfo& info);

// {"data": data, "request_info": info}, in this order.
boost::json::object makeRequestEnvelope(boost::json::object data, const RequestInfo& info);

// Compact serialisation (no white space, members in insertion order).
std::string serializeCompact(const boost::json::value& value);

}  // namespace trevask::measurement_library
