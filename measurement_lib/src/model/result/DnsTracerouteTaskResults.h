#pragma once
// Results of the DNS and traceroute tests.

#include "model/result/TaskResult.h"

#include <boost/json/fwd.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace trevask::measurement_library {

struct DnsResultEntry {
    std::string dns_result_address;
    std::uint64_t dns_result_ttl = 0;  // seconds
};

struct DnsTaskResult : TaskResult {
    std::string dns_objective_host;
    std::optional<std::string> dns_objective_dns_record;
    std::optional<std::string> dns_objective_resolver;
    std::optional<std::string> dns_result_info;    // "OK" or "ERROR"
    std::optional<std::string> dns_result_status;  // response code, e.g. "NOERROR"
    std::uint32_t dns_result_entries_found = 0;
    std::optional<std::uint64_t> dns_result_duration;
    std::vector<DnsResultEntry> dns_result_entries;
};

struct TracerouteHop {
    std::string host;
    std::uint64_t time = 0;  // ns
    bool hop_limit_exceeded = false;  // a router on the way answered; not written
};

struct TracerouteTaskResult : TaskResult {
    std::string traceroute_result_status;
    std::optional<std::string> traceroute_objective_host;
    std::optional<std::uint16_t> traceroute_objective_max_hops;
    std::optional<std::uint64_t> traceroute_result_duration;
    std::optional<std::uint64_t> traceroute_result_hops;
    std::vector<TracerouteHop> traceroute_result_details;
};

void DnsTaskResultWriter(boost::json::value& value, const DnsTaskResult& result);
void DnsResultEntryWriter(boost::json::value& value, const DnsResultEntry& entry);
void TracerouteTaskResultWriter(boost::json::value& value, const TracerouteTaskResult& result);
void TracerouteHopWriter(boost::json::value& value, const TracerouteHop& hop);

}  // namespace trevask::measurement_library
