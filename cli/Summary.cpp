#include "Summary.h"

#include "JsonRead.h"

#include <boost/json.hpp>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <sstream>

namespace json = boost::json;

namespace lumivex::cli {

namespace {

std::string upper(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string fixed(double value, int decimals) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
    return buffer;
}

// Bytes over nanoseconds as Mbit/s.
std::optional<double> mbps(const json::object& o, const char* bytesKey, const char* durationKey) {
    auto bytes = number(o, bytesKey);
    auto ns = number(o, durationKey);
    if (!bytes || !ns || *ns <= 0) return std::nullopt;
    return *bytes * 8.0 * 1000.0 / *ns;
}

std::optional<double> medianMs(const json::object* statistics) {
    if (statistics == nullptr) return std::nullopt;
    auto ns = number(*statistics, "median_ns");
    if (!ns) ns = number(*statistics, "rtt_med_ns");
    if (!ns) return std::nullopt;
    return *ns / 1e6;
}

SpeedSummary readSpeed(const json::object& r) {
    SpeedSummary s;
    s.status = text(r, "status");
    s.downloadMbps = mbps(r, "bytes_download", "duration_download_ns");
    s.uploadMbps = mbps(r, "bytes_upload", "duration_upload_ns");
    s.rttTcpMedianMs = medianMs(object(r, "rtt_tcp_info"));
    if (const json::object* udp = object(r, "rtt_info")) {
        s.rttUdpMedianMs = medianMs(udp);
        if (auto jitter = number(*udp, "jitter_avg_ns")) s.jitterMs = *jitter / 1e6;
        if (auto loss = number(*udp, "packet_loss")) s.lossPercent = *loss * 100.0;
        if (auto sent = number(*udp, "num_sent")) s.udpSent = static_cast<long long>(*sent);
        if (auto lost = number(*udp, "num_lost")) s.udpLost = static_cast<long long>(*lost);
    }
    if (const json::object* connection = object(r, "connection_info")) {
        const std::string address = text(*connection, "address");
        const std::string port = text(*connection, "port");
        s.server = address.empty() ? port : port.empty() ? address : address + ":" + port;
    }
    return s;
}

// The figure that says most about one QoS test.
std::string qosDetail(const std::string& type, const json::object& r) {
    auto ms = [&](const char* key) {
        auto ns = number(r, key);
        return ns ? fixed(*ns / 1e6, 3) + " ms" : std::string("-");
    };
    if (type == "TCP") return "out: " + text(r, "tcp_result_out");
    if (type == "UDP") {
        return text(r, "udp_result_out_response_num_packets") + " of " + text(r, "udp_result_out_num_packets") +
               " datagrams back, loss " + text(r, "udp_result_out_packet_loss_rate") + " %";
    }
    if (type == "NON_TRANSPARENT_PROXY") return "result: " + text(r, "nontransproxy_result");
    if (type == "SIP") return "result: " + text(r, "sip_result");
    if (type == "VOIP") {
        return "mean jitter in " + ms("voip_result_in_mean_jitter") + ", out " + ms("voip_result_out_mean_jitter");
    }
    if (type == "DNS") {
        return text(r, "dns_objective_host") + " " + text(r, "dns_objective_dns_record") + ": " +
               text(r, "dns_result_status") + ", " + text(r, "dns_result_entries_found") + " entries";
    }
    if (type == "TRACEROUTE") {
        return text(r, "traceroute_objective_host") + ": " + text(r, "traceroute_result_hops") + " hops";
    }
    if (type == "HTTP_PROXY") {
        return "HTTP " + text(r, "http_result_status") + ", " + text(r, "http_result_length") + " bytes";
    }
    return std::string();
}

QosTestSummary readQosTest(const json::object& r) {
    QosTestSummary t;
    t.type = upper(text(r, "test_type"));
    if (t.type.empty()) t.type = upper(text(r, "objective_task_type"));
    t.uid = text(r, "qos_test_uid");
    t.status = text(r, "status");
    const std::string error = text(r, "error_message");
    t.detail = t.status == "OK" || error.empty() ? qosDetail(t.type, r) : error;
    return t;
}

// "  name" padded to a column, at least two blanks, then the value.
std::string row(const std::string& name, const std::string& value, std::size_t column = 22) {
    std::string line = "  " + name + "  ";
    if (line.size() < column) line.resize(column, ' ');
    return line + value + "\n";
}

std::string msText(const std::optional<double>& ms) { return ms ? fixed(*ms, 3) + " ms" : std::string("-"); }

std::string rateText(const std::optional<double>& rate) { return rate ? formatMbps(*rate) : std::string("-"); }

}  // namespace

bool readReport(const std::string& body, Summary& summary, std::string& error) {
    boost::system::error_code ec;
    json::value value = json::parse(body, ec);
    if (ec || !value.is_object()) {
        error = "the report is not a JSON object";
        return false;
    }
    const json::value* results = member(value.as_object(), "result");
    if (results == nullptr || !results->is_array()) {
        error = "the report has no \"result\" list";
        return false;
    }
    summary.speed.reset();
    summary.qos.clear();
    for (const auto& entry : results->as_array()) {
        if (!entry.is_object()) continue;
        const json::value* subs = member(entry.as_object(), "results");
        if (subs == nullptr || !subs->is_array()) continue;
        for (const auto& sub : subs->as_array()) {
            if (!sub.is_object()) continue;
            const json::object& s = sub.as_object();
            const std::string type = text(s, "deserialize_type");
            if (type == "speed_result") {
                summary.speed = readSpeed(s);
            } else if (type == "qos_result") {
                const json::value* tests = member(s, "results");
                if (tests == nullptr || !tests->is_array()) continue;
                for (const auto& test : tests->as_array()) {
                    if (test.is_object()) summary.qos.push_back(readQosTest(test.as_object()));
                }
            }
        }
    }
    // In the order of the objectives (their UIDs), whatever order the tasks finished in.
    std::stable_sort(summary.qos.begin(), summary.qos.end(), [](const QosTestSummary& a, const QosTestSummary& b) {
        auto key = [](const std::string& uid) {
            char* end = nullptr;
            const long long n = std::strtoll(uid.c_str(), &end, 10);
            return uid.empty() || *end != '\0' ? std::numeric_limits<long long>::max() : n;
        };
        return key(a.uid) < key(b.uid);
    });
    summary.source = "report";
    return true;
}

void readProgress(const Progress& progress, Summary& summary) {
    summary.speed.reset();
    if (progress.speed().seen) {
        SpeedSummary s;
        const auto& speed = progress.speed();
        if (speed.downloadMbps > 0) s.downloadMbps = speed.downloadMbps;
        if (speed.uploadMbps > 0) s.uploadMbps = speed.uploadMbps;
        if (speed.rttMs > 0) s.rttTcpMedianMs = speed.rttMs;
        s.server = speed.serverName;
        summary.speed = s;
    }
    summary.qos.clear();
    for (const auto& [type, fraction] : progress.qosProgress()) {
        summary.qos.push_back({type, "", fraction >= 1.0 ? "done" : "not finished",
                               fixed(std::clamp(fraction, 0.0, 1.0) * 100.0, 0) + " % of its tests finished"});
    }
    summary.source = "events";
}

std::string renderSummary(const Summary& s) {
    std::ostringstream out;
    out << "\n";
    if (s.partial) {
        out << "Measurement stopped before its end: the figures below are partial, those seen so far.\n";
    } else if (s.accepted) {
        out << "Measurement done: the collector accepted the report.\n";
        out << row("measurement UUID", s.measurementUuid);
        if (!s.openDataUuid.empty()) out << row("open-data UUID", s.openDataUuid);
    } else {
        out << "Measurement failed: " << (s.failure.empty() ? "no report was accepted" : s.failure) << "\n";
    }
    if (!s.registeredAgentUuid.empty()) {
        out << row("agent UUID", s.registeredAgentUuid + " (new; --agent-uuid reuses it)");
    }

    if (s.speed) {
        const SpeedSummary& p = *s.speed;
        out << "\n" << (s.partial ? "Speed test (partial)" : "Speed test")
            << (p.server.empty() ? "" : " against " + p.server)
            << (p.status.empty() || p.status == "FINISHED" ? "" : " (" + p.status + ")") << "\n";
        out << row("round trip (TCP)", msText(p.rttTcpMedianMs) + (s.source == "report" ? "  median" : "  average"));
        if (s.source == "report") {
            out << row("round trip (UDP)", msText(p.rttUdpMedianMs) + "  median");
            out << row("jitter (UDP)", msText(p.jitterMs) + "  mean");
            std::string loss = p.lossPercent ? fixed(*p.lossPercent, 1) + " %" : std::string("-");
            if (p.udpLost && p.udpSent) {
                loss += "  (" + std::to_string(*p.udpLost) + " of " + std::to_string(*p.udpSent) + " lost)";
            }
            out << row("loss (UDP)", loss);
        } else {
            out << row("jitter, loss", "in the report at the back end");
        }
        out << row("download", rateText(p.downloadMbps));
        out << row("upload", rateText(p.uploadMbps));
        if (s.shortened) {
            out << "The speed test was shortened for testing (LUMIVEX_TEST_SPEED_OVERRIDES is set): these are\n"
                   "not the figures of a full speed test.\n";
        }
    }

    if (!s.qos.empty()) {
        out << (s.partial ? "\nQoS tests (partial)\n" : "\nQoS tests\n");
        auto nameOf = [](const QosTestSummary& t) { return t.type + (t.uid.empty() ? "" : " " + t.uid); };
        std::size_t column = 22;
        for (const auto& t : s.qos) column = std::max(column, nameOf(t).size() + 4);
        for (const auto& t : s.qos) {
            std::string status = t.status + "  ";
            if (status.size() < 9) status.resize(9, ' ');
            out << row(nameOf(t), status + t.detail, column);
        }
    }

    if (s.source == "report" && !s.reportPath.empty()) {
        out << "\nThe report the collector received: " << s.reportPath << "\n";
    } else if (s.accepted && s.source == "events") {
        out << "\nThe figures are those the agent showed while it measured; the report itself went to the "
               "back end's collector.\n";
    }
    for (const auto& note : s.notes) out << note << "\n";
    return out.str();
}

json::object summaryJson(const Summary& s) {
    json::object o;
    o["accepted"] = s.accepted;
    if (!s.failure.empty()) o["failure"] = s.failure;
    if (!s.step.empty()) o["failedStep"] = s.step;
    if (!s.cause.empty()) o["cause"] = s.cause;
    if (!s.agentAnswer.empty()) o["agentAnswer"] = s.agentAnswer;
    o["partial"] = s.partial;
    o["speedTestShortened"] = s.shortened;
    o["measurementUuid"] = s.measurementUuid;
    o["openDataUuid"] = s.openDataUuid;
    if (!s.registeredAgentUuid.empty()) o["registeredAgentUuid"] = s.registeredAgentUuid;
    o["source"] = s.source;
    if (!s.reportPath.empty()) o["report"] = s.reportPath;
    if (s.speed) {
        json::object p;
        auto put = [&](const char* key, const auto& value) {
            if (value) p[key] = *value;
        };
        put("downloadMbps", s.speed->downloadMbps);
        put("uploadMbps", s.speed->uploadMbps);
        put("rttTcpMedianMs", s.speed->rttTcpMedianMs);
        put("rttUdpMedianMs", s.speed->rttUdpMedianMs);
        put("jitterMs", s.speed->jitterMs);
        put("lossPercent", s.speed->lossPercent);
        put("udpSent", s.speed->udpSent);
        put("udpLost", s.speed->udpLost);
        if (!s.speed->status.empty()) p["status"] = s.speed->status;
        if (!s.speed->server.empty()) p["server"] = s.speed->server;
        o["speed"] = std::move(p);
    }
    json::array qos;
    for (const auto& t : s.qos) {
        qos.push_back(json::object{{"type", t.type}, {"uid", t.uid}, {"status", t.status}, {"detail", t.detail}});
    }
    o["qos"] = std::move(qos);
    json::array notes;
    for (const auto& n : s.notes) notes.push_back(json::string(n));
    o["notes"] = std::move(notes);
    return o;
}

}  // namespace lumivex::cli
