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
    // Three figures, in the unit that the rounded figure belongs to.
    double value = mbps;
    const char* unit = "Mbit/s";
    if (mbps < 0.9995) {
        value = mbps * 1000;
        unit = "kbit/s";
    } else if (mbps >= 999.5) {
        value = mbps / 1000;
        unit = "Gbit/s";
    }
    const int decimals = value < 9.995 ? 2 : value < 99.95 ? 1 : 0;
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*f %s", decimals, value, unit);
    return buffer;
}

std::string formatElapsed(long seconds) {
    if (seconds < 0) seconds = 0;
    char buffer[32];
    if (seconds >= 3600) {
        std::snprintf(buffer, sizeof buffer, "%ld:%02ld:%02ld", seconds / 3600, seconds / 60 % 60, seconds % 60);
    } else {
        std::snprintf(buffer, sizeof buffer, "%ld:%02ld", seconds / 60, seconds % 60);
    }
    return buffer;
}

// The speed test is the first half of a measurement that also runs QoS
// tests; each of its four phases an equal part of it.
void Progress::advance() {
    const double speedShare = speedExpected_ ? (qosExpected_ ? 0.5 : 1.0) : 0.0;
    double now = 0;
    if (stage_ == Stage::Speed && phaseIndex_ >= 0) {
        now = speedShare * (phaseIndex_ + std::clamp(phaseProgress_, 0.0, 1.0)) / 4.0;
    } else if (stage_ == Stage::Qos) {
        now = speedShare + (1.0 - speedShare) * std::clamp(qosTotal_, 0.0, 1.0);
    }
    overall_ = std::max(overall_, std::min(now, 1.0));
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
    // Once the QoS tests show, a late speed event does not take the line back.
    if (stage_ == Stage::Qos) return true;
    stage_ = Stage::Speed;
    speed_.seen = true;
    speedPhase_ = phase;
    pretest_ = o->contains("isPretest") && o->at("isPretest").is_bool() && o->at("isPretest").as_bool();
    // The upload pretest is the first half of the upload phase, the TCP and
    // UDP round trips the halves of the round-trip phase; a phase's own
    // progress only grows.
    const int index = phase == "init" ? 0 : phase == "rtt" ? 1 : phase == "download" ? 2 : phase == "upload" ? 3 : -1;
    const double reported = std::clamp(number(*o, "phaseProgress").value_or(0), 0.0, 1.0);
    if (index != phaseIndex_) {
        if (index > phaseIndex_ || index < 0) {
            phaseIndex_ = index;
            phaseProgress_ = reported;
        }
    } else {
        phaseProgress_ = std::max(phaseProgress_, reported);
    }
    speed_.downloadMbps = number(*o, "downloadAverageMbps").value_or(0);
    speed_.uploadMbps = number(*o, "uploadAverageMbps").value_or(0);
    speed_.rttMs = number(*o, "rttAverageMilliseconds").value_or(0);
    advance();
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
    advance();
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

std::string Progress::line(long elapsedSeconds) const {
    char buffer[200];
    std::string head;
    std::string rate;
    switch (stage_) {
        case Stage::Waiting: head = "starting the measurement"; break;
        case Stage::Speed: {
            // The rate of the phase under way; the figure of a phase before
            // shows until the phase has one of its own.
            if (speedPhase_ == "download" && speed_.downloadMbps > 0) rate = formatMbps(speed_.downloadMbps);
            if (speedPhase_ == "upload" && !pretest_ && speed_.uploadMbps > 0) rate = formatMbps(speed_.uploadMbps);
            if (speedPhase_ == "rtt" && speed_.rttMs > 0) {
                std::snprintf(buffer, sizeof buffer, "%.3f ms", speed_.rttMs);
                rate = buffer;
            }
            std::snprintf(buffer, sizeof buffer, "speed test: %-17s %3d%%", speedPhaseName().c_str(),
                          percent(phaseProgress_));
            head = buffer;
            break;
        }
        case Stage::Qos: {
            std::size_t done = 0;
            for (const auto& [type, fraction] : qosTypes_) done += fraction >= 1.0 ? 1 : 0;
            std::snprintf(buffer, sizeof buffer, "QoS tests: %zu of %zu kinds done %3d%%", done, qosTypes_.size(),
                          percent(qosTotal_));
            head = buffer;
            break;
        }
    }
    std::snprintf(buffer, sizeof buffer, "%s   overall %3d%%", head.c_str(), percent(overall_));
    std::string line = buffer;
    if (elapsedSeconds >= 0) line += "   " + formatElapsed(elapsedSeconds);
    if (!rate.empty()) line += "   " + rate;
    return line;
}

}  // namespace lumivex::cli
