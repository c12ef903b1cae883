#pragma once
// The address-echo endpoint's answer: the client address as the server saw
// it, under "data".

#include "model/AgentApiResponses.h"

#include <boost/json/fwd.hpp>

#include <memory>
#include <string>

namespace trevask::measurement_library {

class IpResponse : public BasicResponse {
public:
    std::string ip_address;  // empty when not given
    std::string ip_version;  // read, not used by the check
};

// The value must be an object ("not an object"); a present "data" must be an
// object too; its "ip_address" and "ip_version" must be texts when present
// ("not a string"). Without "data" both texts stay empty.
std::unique_ptr<IpResponse> IpResponseReader(const boost::json::value& value);

template <typename T>
struct ResponseRecordReader;

template <>
struct ResponseRecordReader<IpResponse> {
    static std::unique_ptr<IpResponse> read(const boost::json::value& value) { return IpResponseReader(value); }
};

}  // namespace trevask::measurement_library
