#pragma once
// Results of loading one web page in a browser: Selenium's navigation timing
// and resources, or Browsertime's report as an embedded JSON document.

#include "model/result/TaskResult.h"

#include <boost/json/fwd.hpp>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace trevask::measurement_library {

// A PerformanceNavigationTiming entry; times in ms as the browser reports
// them. Members in alphabetical order of their names.
struct SeleniumNavigationEntry {
    double connectEnd = 0.0;
    double connectStart = 0.0;
    std::int32_t decodedBodySize = 0;
    double domComplete = 0.0;
    double domContentLoadedEventEnd = 0.0;
    double domContentLoadedEventStart = 0.0;
    double domInteractive = 0.0;
    double domainLookupEnd = 0.0;
    double domainLookupStart = 0.0;
    double duration = 0.0;
    std::int32_t encodedBodySize = 0;
    std::string entryType;
    double fetchStart = 0.0;
    std::string initiatorType;
    double loadEventEnd = 0.0;
    double loadEventStart = 0.0;
    std::string name;
    std::string nextHopProtocol;
    std::int32_t redirectCount = 0;
    double redirectEnd = 0.0;
    double redirectStart = 0.0;
    double requestStart = 0.0;
    double responseEnd = 0.0;
    double responseStart = 0.0;
    double secureConnectionStart = 0.0;
    double startTime = 0.0;
    std::int32_t transferSize = 0;
    std::string type;
    double unloadEventEnd = 0.0;
    double unloadEventStart = 0.0;
    double workerStart = 0.0;
};

struct SeleniumResourceEntry {
    std::string url;
    double duration_ms = 0.0;
    double start_time_ms = 0.0;
    std::int32_t transfer_size = 0;
    std::string initiator_type;
};

struct SeleniumBrowserResult {
    SeleniumNavigationEntry navigation_entry;
    std::vector<SeleniumResourceEntry> resources;
    double first_paint_start_time_ms = 0.0;
    double first_contentful_paint_start_time_ms = 0.0;
    double resources_total_duration_ms = 0.0;
    std::int32_t resources_total_transfer_size = 0;
};

struct SeleniumBrowserTaskResult : TaskResult {
    std::string objective_url;
    SeleniumBrowserResult selenium_browser_result;
};

struct BrowsertimeTaskResult : TaskResult {
    std::string objective_url;
    std::unique_ptr<std::string> browsertime_result;  // JSON document; may be missing
};

void SeleniumBrowserTaskResultWriter(boost::json::value& value, const SeleniumBrowserTaskResult& result);
void SeleniumBrowserResultWriter(boost::json::value& value, const SeleniumBrowserResult& result);
void SeleniumNavigationEntryWriter(boost::json::value& value, const SeleniumNavigationEntry& entry);
void SeleniumResourceEntryWriter(boost::json::value& value, const SeleniumResourceEntry& entry);
void BrowsertimeTaskResultWriter(boost::json::value& value, const BrowsertimeTaskResult& result);

}  // namespace trevask::measurement_library
