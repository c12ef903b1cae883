#include <gtest/gtest.h>

#include "EngineTestSupport.h"
#include "QosCallbackHelper.h"
#include "tasks/MeasurementCallbacks.h"

#include <vector>

using engine_test::QosProgressRecorder;
using trevask::measurement_library::QosCallbackHelper;

TEST(QosCallbackHelper, TypicalRunReachesOneWithEveryTypeFinished) {
    QosProgressRecorder rec;
    QosCallbackHelper h;
    for (auto t : {"TCP", "tcp", "UDP", "NATIVE_VELA"}) h.registerTask(t);
    h.notify();
    ASSERT_EQ(rec.updates().size(), 1u);
    EXPECT_EQ(rec.updates()[0].qos_test_state, "NOT_STARTED");
    EXPECT_EQ(rec.updates()[0].progress, 0.0);
    EXPECT_EQ(rec.updates()[0].started_qos_types, (std::vector<std::string>{"TCP", "tcp", "UDP"}));
    EXPECT_EQ(rec.updates()[0].qos_type_to_progress, (std::map<std::string, float>{{"TCP", 0.f}, {"UDP", 0.f}}));

    h.taskStarted("NATIVE_VELA");  // not a QoS type: no update
    EXPECT_EQ(rec.updates().size(), 1u);
    h.taskStarted("TCP");
    EXPECT_EQ(rec.updates().back().qos_test_state, "QOS_RUNNING");

    h.taskFinished("TCP");
    EXPECT_FLOAT_EQ(rec.updates().back().qos_type_to_progress.at("TCP"), 0.5f);
    EXPECT_FLOAT_EQ(static_cast<float>(rec.updates().back().progress), 1.f / 3.f);
    h.taskFinished("UDP");
    EXPECT_EQ(rec.updates().back().finished_qos_types, (std::vector<std::string>{"UDP"}));
    h.taskFinished("tcp");
    EXPECT_EQ(rec.updates().back().progress, 1.0);
    EXPECT_EQ(rec.updates().back().qos_test_state, "QOS_RUNNING");
    EXPECT_EQ(rec.updates().back().finished_qos_types, (std::vector<std::string>{"TCP", "UDP"}));

    const auto count = rec.updates().size();
    h.taskFinished("DNS");  // never registered
    h.taskFinished("NATIVE_VELA");
    EXPECT_EQ(rec.updates().size(), count);
}

TEST(QosCallbackHelper, SpeedTestOnlyRunPublishesNothing) {
    QosProgressRecorder rec;
    QosCallbackHelper h;
    h.registerTask("NATIVE_VELA");
    h.registerTask("VELA");
    h.notify();
    h.taskStarted("VELA");
    h.taskFinished("VELA");
    EXPECT_TRUE(rec.updates().empty());
    EXPECT_EQ(h.createUpdate()->progress, 0.0);  // built directly: no division by zero
}
