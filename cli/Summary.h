#pragma once
// The summary of one measurement: the speed test's round-trip times,
// jitter, loss, download and upload, and each QoS test with its status.
// Every figure comes from the report the collector received when that is at
// hand; otherwise from what the agent told the UI (the speed figures of its
// progress events and which QoS types finished).

#include "Progress.h"

#include <boost/json/fwd.hpp>

#include <optional>
#include <string>
#include <vector>

namespace lumivex::cli {

struct SpeedSummary {
    std::optional<double> downloadMbps;
    std::optional<double> uploadMbps;
    std::optional<double> rttTcpMedianMs;  // TCP round trips, median
    std::optional<double> rttUdpMedianMs;  // UDP round trips, median
    std::optional<double> jitterMs;        // UDP round trips, mean jitter
    std::optional<double> lossPercent;     // UDP round trips lost, percent
    std::optional<long long> udpSent;
    std::optional<long long> udpLost;
    std::string status;  // "FINISHED" when the speed test delivered a result
    std::string server;  // "host:port"
};

struct QosTestSummary {
    std::string type;    // "TCP", "VOIP", ...
    std::string uid;     // the objective's QoS test UID
    std::string status;  // "OK", "ERROR", "TIMEOUT", "UNKNOWN"; "done" from events
    std::string detail;  // a figure of the test, or its error message
};

struct Summary {
    bool accepted = false;  // the collector accepted the report
    std::string failure;    // why not, when not: the whole sentence
    std::string step;       // the step that failed: "registration", "control document", "measurement", "report upload"
    std::string cause;      // what the front end found ("connection refused by ...", "HTTP 500 ...")
    std::string agentAnswer;  // the agent's own answer to the failed call
    bool partial = false;     // the run was stopped before its end: the figures are those seen so far
    bool shortened = false;   // the speed test ran shortened (a test build's override)
    std::string measurementUuid;
    std::string openDataUuid;
    std::string registeredAgentUuid;  // set when this run registered the agent
    std::optional<SpeedSummary> speed;
    std::vector<QosTestSummary> qos;
    std::string source;      // "report" or "events"
    std::string reportPath;  // the report the figures come from
    std::vector<std::string> notes;
};

// Fills speed and QoS from a report in its wire form. False, with the
// reason in `error`, when the text is not a report.
bool readReport(const std::string& text, Summary& summary, std::string& error);
// Fills speed and QoS from the agent's progress events.
void readProgress(const Progress& progress, Summary& summary);

// The human view: a small table, lines ending in "\n".
std::string renderSummary(const Summary& summary);
// The same as one JSON object (figures as numbers, absent ones left out).
boost::json::object summaryJson(const Summary& summary);

}  // namespace lumivex::cli
