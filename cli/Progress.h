#pragma once
// What the agent's measurement events say about a running measurement, and
// the one terminal line that shows it: the phase, its own progress, the
// progress of the whole measurement (which never goes back), the elapsed
// time and the live rate. Fed with the texts of the event channels, in the
// order they came.

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace lumivex::cli {

inline constexpr const char* kVelaChannel = "at.trevask.lumivex/vela";
inline constexpr const char* kIntermediateChannel = "at.trevask.lumivex/vela-results/intermediate";
inline constexpr const char* kStatusChannel = "at.trevask.lumivex/vela-results/measurement-status";
inline constexpr const char* kQosChannel = "at.trevask.lumivex/vela-results/qos";

class Progress {
public:
    // With a speed test expected, QoS events that report no finished test
    // yet leave the speed test on the line: the agent announces its QoS
    // tests before the speed test runs.
    explicit Progress(bool speedExpected = false, bool qosExpected = true)
        : speedExpected_(speedExpected), qosExpected_(qosExpected) {}

    // Each returns false (and changes nothing) for a text that is not the
    // JSON object the channel carries.
    bool onIntermediate(const std::string& text);
    bool onQos(const std::string& text);
    bool onStatus(const std::string& text);

    // "speed test: download          62%   overall  31%   0:12   941 Mbit/s",
    // "QoS tests: 3 of 8 kinds done  40%   overall  70%   0:31". The elapsed
    // time is left out when negative.
    std::string line(long elapsedSeconds = -1) const;
    // The whole measurement's progress, 0 to 1: the speed test's four
    // phases, then the QoS tests. It never goes back.
    double overall() const { return overall_; }
    // A short name of the current phase ("speed test: download"; empty
    // before the first); changes less often than line(), for output that is
    // not a terminal.
    std::string phase() const;

    // The speed test's figures as the agent last reported them to the UI.
    struct Speed {
        double downloadMbps = 0;
        double uploadMbps = 0;
        double rttMs = 0;
        std::string serverName;
        std::string serverLocation;
        bool seen = false;  // any progress beyond the announcement
    };
    const Speed& speed() const { return speed_; }
    // QoS type -> fraction of its tests finished.
    const std::map<std::string, double>& qosProgress() const { return qosTypes_; }

    // The collector's answer as the status event carried it.
    bool resultSent() const { return resultSent_; }
    const std::string& measurementUuid() const { return measurementUuid_; }
    const std::string& openDataUuid() const { return openDataUuid_; }

private:
    enum class Stage { Waiting, Speed, Qos };
    std::string speedPhaseName() const;

    bool speedExpected_;
    bool qosExpected_;
    Stage stage_ = Stage::Waiting;
    Speed speed_;
    std::string speedPhase_;
    bool pretest_ = false;
    int phaseIndex_ = -1;  // 0 download pretest, 1 round trip, 2 download, 3 upload
    double phaseProgress_ = 0;
    double overall_ = 0;
    void advance();
    std::map<std::string, double> qosTypes_;
    double qosTotal_ = 0;
    std::string qosState_;
    bool resultSent_ = false;
    std::string measurementUuid_;
    std::string openDataUuid_;
};

// A rate in the unit that suits it: "12.5 kbit/s", "941 Mbit/s",
// "56.2 Gbit/s" (three figures); "-" for a negative or non-finite rate.
std::string formatMbps(double mbps);
// Seconds as "m:ss" (or "h:mm:ss").
std::string formatElapsed(long seconds);

}  // namespace lumivex::cli
