#include "model/result/DnsTracerouteTaskResults.h"

#include "model/result/WriterSupport.h"

namespace json = boost::json;

namespace trevask::measurement_library {

using namespace result_writing;

void DnsResultEntryWriter(json::value& value, const DnsResultEntry& e) {
    json::object& obj = makeObject(value);
    setString(obj, "dns_result_address", e.dns_result_address);
    setUnsigned(obj, "dns_result_ttl", e.dns_result_ttl);
}

void DnsTaskResultWriter(json::value& value, const DnsTaskResult& r) {
    json::object& obj = makeObject(value);
    writeCommonTaskResultKeys(obj, r);
    setString(obj, "dns_objective_host", r.dns_objective_host);
    setOptionalString(obj, "dns_objective_dns_record", r.dns_objective_dns_record);
    setOptionalString(obj, "dns_objective_resolver", r.dns_objective_resolver);
    setOptionalString(obj, "dns_result_info", r.dns_result_info);
    setOptionalString(obj, "dns_result_status", r.dns_result_status);
    setUnsigned(obj, "dns_result_entries_found", r.dns_result_entries_found);
    setOptionalUInt64(obj, "dns_result_duration", r.dns_result_duration);
    setArray(obj, "dns_result_entries", r.dns_result_entries, DnsResultEntryWriter);
}

void TracerouteHopWriter(json::value& value, const TracerouteHop& hop) {
    json::object& obj = makeObject(value);
    setUnsigned(obj, "time", hop.time);
    setString(obj, "host", hop.host);
}

void TracerouteTaskResultWriter(json::value& value, const TracerouteTaskResult& r) {
    json::object& obj = makeObject(value);
    writeCommonTaskResultKeys(obj, r);
    setString(obj, "traceroute_result_status", r.traceroute_result_status);
    setOptionalUInt64(obj, "traceroute_result_duration", r.traceroute_result_duration);
    setOptionalUInt64(obj, "traceroute_result_hops", r.traceroute_result_hops);
    setArray(obj, "traceroute_result_details", r.traceroute_result_details, TracerouteHopWriter);
    if (r.traceroute_objective_max_hops) setUnsigned(obj, "traceroute_objective_max_hops", *r.traceroute_objective_max_hops);
    setOptionalString(obj, "traceroute_objective_host", r.traceroute_objective_host);
}

}  // namespace trevask::measurement_library
