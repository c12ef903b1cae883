#include "service/NewsService.h"

#include "service/RequestService.h"
#include "service/ServiceQuery.h"

namespace trevask::measurement_sdk {

using namespace trevask::measurement_library;

namespace {

const std::string& newsPath() {
    static const std::string path = "/news";
    return path;
}

}  // namespace

NewsService::NewsService() : requestService(RequestService::getInstance()) {}
NewsService::NewsService(RequestService* service) : requestService(service) {}

std::optional<std::string> NewsService::requestNews(const std::string& url,
                                                    const std::optional<std::string>& datetime,
                                                    const std::optional<std::string>& lang,
                                                    const std::optional<std::int32_t>& page,
                                                    const std::optional<std::int32_t>& size) {
    QueryMap query;
    addQueryText(query, "datetime", datetime);
    addQueryText(query, "lang", lang);
    addQueryInt(query, "page", page);
    addQueryInt(query, "size", size);
    auto response = requestService->performStringRequest(url + newsPath(), "GET", std::string(),
                                                         RequestService::Query(std::move(query)), kServiceTimeoutMs);
    if (!response) return std::nullopt;
    return std::move(response->body);
}

}  // namespace trevask::measurement_sdk
