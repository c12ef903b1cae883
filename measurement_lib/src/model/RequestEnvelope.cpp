#include "model/RequestEnvelope.h"

#include <boost/json/object.hpp>
#include <boost/json/serialize.hpp>
#include <boost/json/value.hpp>

namespace json = boost::json;

namespace trevask::measurement_library {

void writeDataMember(json::object& envelope, json::object data) { envelope["data"] = std::move(data); }

void writeDtoRequestInfo(json::object& envelope, const RequestInfo& info) {
    writeRequestInfoMember(envelope, "request_info", info);
}

json::object makeRequestEnvelope(json::object data, const RequestInfo& info) {
    json::object envelope;
    writeDataMember(envelope, std::move(data));
    writeDtoRequestInfo(envelope, info);
    return envelope;
}

std::string serializeCompact(const json::value& value) { return json::serialize(value); }

}  // namespace trevask::measurement_library
