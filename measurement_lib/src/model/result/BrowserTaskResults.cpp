#include "model/result/BrowserTaskResults.h"

#include "model/result/WriterSupport.h"

namespace json = boost::json;

namespace trevask::measurement_library {

using namespace result_writing;

void SeleniumNavigationEntryWriter(json::value& value, const SeleniumNavigationEntry& e) {
    json::object& obj = makeObject(value);
    setDouble(obj, "connectEnd", e.connectEnd);
    setDouble(obj, "connectStart", e.connectStart);
    setSigned(obj, "decodedBodySize", e.decodedBodySize);
    setDouble(obj, "domComplete", e.domComplete);
    setDouble(obj, "domContentLoadedEventEnd", e.domContentLoadedEventEnd);
    setDouble(obj, "domContentLoadedEventStart", e.domContentLoadedEventStart);
    setDouble(obj, "domInteractive", e.domInteractive);
    setDouble(obj, "domainLookupEnd", e.domainLookupEnd);
    setDouble(obj, "domainLookupStart", e.domainLookupStart);
    setDouble(obj, "duration", e.duration);
    setSigned(obj, "encodedBodySize", e.encodedBodySize);
    setString(obj, "entryType", e.entryType);
    setDouble(obj, "fetchStart", e.fetchStart);
    setString(obj, "initiatorType", e.initiatorType);
    setDouble(obj, "loadEventEnd", e.loadEventEnd);
    setDouble(obj, "loadEventStart", e.loadEventStart);
    setString(obj, "name", e.name);
    setString(obj, "nextHopProtocol", e.nextHopProtocol);
    setSigned(obj, "redirectCount", e.redirectCount);
    setDouble(obj, "redirectEnd", e.redirectEnd);
    setDouble(obj, "redirectStart", e.redirectStart);
    setDouble(obj, "requestStart", e.requestStart);
    setDouble(obj, "responseEnd", e.responseEnd);
    setDouble(obj, "responseStart", e.responseStart);
    setDouble(obj, "secureConnectionStart", e.secureConnectionStart);
    setDouble(obj, "startTime", e.startTime);
    setSigned(obj, "transferSize", e.transferSize);
    setString(obj, "type", e.type);
    setDouble(obj, "unloadEventEnd", e.unloadEventEnd);
    setDouble(obj, "unloadEventStart", e.unloadEventStart);
    setDouble(obj, "workerStart", e.workerStart);
}

void SeleniumResourceEntryWriter(json::value& value, const SeleniumResourceEntry& e) {
    json::object& obj = makeObject(value);
    setString(obj, "url", e.url);
    setDouble(obj, "duration_ms", e.duration_ms);
    setDouble(obj, "start_time_ms", e.start_time_ms);
    setSigned(obj, "transfer_size", e.transfer_size);
    setString(obj, "initiator_type", e.initiator_type);
}

void SeleniumBrowserResultWriter(json::value& value, const SeleniumBrowserResult& r) {
    json::object& obj = makeObject(value);
    SeleniumNavigationEntryWriter(obj["navigation_entry"], r.navigation_entry);
    setArray(obj, "resources", r.resources, SeleniumResourceEntryWriter);
    setDouble(obj, "first_paint_start_time_ms", r.first_paint_start_time_ms);
    setDouble(obj, "first_contentful_paint_start_time_ms", r.first_contentful_paint_start_time_ms);
    setDouble(obj, "resources_total_duration_ms", r.resources_total_duration_ms);
    setSigned(obj, "resources_total_transfer_size", r.resources_total_transfer_size);
}

void SeleniumBrowserTaskResultWriter(json::value& value, const SeleniumBrowserTaskResult& r) {
    json::object& obj = makeObject(value);
    writeCommonTaskResultKeys(obj, r);
    setString(obj, "objective_url", r.objective_url);
    SeleniumBrowserResultWriter(obj["selenium_browser_result"], r.selenium_browser_result);
}

void BrowsertimeTaskResultWriter(json::value& value, const BrowsertimeTaskResult& r) {
    json::object& obj = makeObject(value);
    writeCommonTaskResultKeys(obj, r);
    setString(obj, "objective_url", r.objective_url);
    setEmbeddedDocument(obj, "browsertime_result", r.browsertime_result);
}

}  // namespace trevask::measurement_library
