#pragma once
// The news entries of the back end, fetched with a plain GET.

#include <cstdint>
#include <optional>
#include <string>

namespace trevask::measurement_library {
class RequestService;
}

namespace trevask::measurement_sdk {

class NewsService {
public:
    NewsService();
    // Over the given request service (the process-wide one by default).
    explicit NewsService(measurement_library::RequestService* service);

    // GET url + "/news" with "datetime", "lang", "page" and "size", each when
    // given. The response body for any HTTP status; no value when no
    // response was read.
    std::optional<std::string> requestNews(const std::string& url, const std::optional<std::string>& datetime,
                                           const std::optional<std::string>& lang,
                                           const std::optional<std::int32_t>& page,
                                           const std::optional<std::int32_t>& size);

private:
    measurement_library::RequestService* requestService;
};

}  // namespace trevask::measurement_sdk
