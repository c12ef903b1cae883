#pragma once
// The answer of RequestService::performLowLevelGetRequest: the body and the
// complete HTTP response (status, reason, version, headers in their order).

#include <Poco/Net/HTTPResponse.h>

#include <string>

namespace trevask::measurement_library {

struct LowLevelResponse {
    std::string body;
    Poco::Net::HTTPResponse response;
};

}  // namespace trevask::measurement_library
