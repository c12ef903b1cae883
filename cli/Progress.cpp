#include "Progress.h"

#include "JsonRead.h"

#include <boost/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace json = boost::json;

namespace lumivex::cli {

namespace {

int percent(double fraction) { return static_cast<int>(std::lround(std::clamp(fraction, 0.0, 1.0) * 100.0)); }

}  // namespace

std::string formatMbps(double mbps) {
    if (!std::isfinite(mbps) || mbps < 0) return "-";
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.2f Mbit/s", mbps);
    return buffer;
}

bool Progress::onIntermediate(const std::string& body) {
    auto o = parseObject(body);
    if (!o) return false;
    const std::string phase = text(*o, "currentPhase");
    if (phase == "info") {
        // The announcement before the speed test starts: only the server.
        speed_.serverName = text(*o, "serverName");
        speed_.serverLocation = text(*o, "serverLocation");
        return true;
    }
    stage_ = Stage::Speed;
    speed_.seen = true;
    speedPhase_ = phase;
    pretest_ = o->contains("isPretest") && o->at("isPretest").is_bool() && o->at("isPretest").as_bool();
    phaseProgress_ = number(*o, "phaseProgress").value_or(0);
    speed_.downloadMbps = number(*o, "downloadAverageMbps").value_or(0);
    speed_.uploadMbps = number(*o, "uploadAverageMbps").value_or(0);
    speed_.rttMs = number(*o, "rttAverageMilliseconds").value_or(0);
    return true;
}

bool Progress::onQos(const std::string& body) {
    auto o = parseObject(body);
    if (!o) return false;
    qosState_ = text(*o, "qos_test_state");
    qosTotal_ = number(*o, "progress").value_or(0);
    if (qosTotal_ > 0 || !speedExpected_) stage_ = Stage::Qos;
    if (auto it = o->find("qos_type_to_progress"); it != o->end() && it->value().is_object()) {
        for (const auto& member : it->value().as_object()) {
            if (member.value().is_number()) qosTypes_[std::string(member.key())] = member.value().to_number<double>();
        }
    }
    return true;
}

bool Progress::onStatus(const std::string& body) {
    auto o = parseObject(body);
    if (!o) return false;
    resultSent_ = text(*o, "measurementState") == "resultSent";
    measurementUuid_ = text(*o, "measurementUuid");
    openDataUuid_ = text(*o, "openDataUuid");
    return true;
}

// The agent calls the download pretest "init".
std::string Progress::speedPhaseName() const {
    if (speedPhase_ == "init") return pretest_ ? "download pretest" : "starting";
    if (speedPhase_ == "rtt") return "round trip";
    if (speedPhase_.empty()) return "starting";
    return speedPhase_ + (pretest_ ? " pretest" : "");
}

std::string Progress::phase() const {
    switch (stage_) {
        case Stage::Waiting: return std::string();
        case Stage::Speed: return "speed test: " + speedPhaseName();
        case Stage::Qos: return "QoS tests";
    }
    return std::string();
}

std::string Progress::line() const {
    char buffer[160];
    switch (stage_) {
        case Stage::Waiting: return "starting the measurement";
        case Stage::Speed: {
            // The rate of the phase under way; the figure of a phase before
            // shows until the phase has one of its own.
            std::string rate;
            if (speedPhase_ == "download" && speed_.downloadMbps > 0) rate = formatMbps(speed_.downloadMbps);
            if (speedPhase_ == "upload" && !pretest_ && speed_.uploadMbps > 0) rate = formatMbps(speed_.uploadMbps);
            if (speedPhase_ == "rtt" && speed_.rttMs > 0) {
                std::snprintf(buffer, sizeof buffer, "%.3f ms", speed_.rttMs);
                rate = buffer;
            }
            std::snprintf(buffer, sizeof buffer, "speed test  %-16s %3d%%  %s", speedPhaseName().c_str(),
                          percent(phaseProgress_), rate.c_str());
            std::string line = buffer;
            while (!line.empty() && line.back() == ' ') line.pop_back();
            return line;
        }
        case Stage::Qos: {
            std::size_t done = 0;
            for (const auto& [type, fraction] : qosTypes_) done += fraction >= 1.0 ? 1 : 0;
            std::snprintf(buffer, sizeof buffer, "QoS tests   %zu of %zu kinds done  %3d%%", done, qosTypes_.size(),
                          percent(qosTotal_));
            return buffer;
        }
    }
    return std::string();
}

}  // namespace lumivex::cli
