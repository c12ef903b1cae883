#include <gtest/gtest.h>

#include "helper/SentryHelper.h"

using trevask::measurement_library::SentryHelper;

// Before the crash reporter is initialised, monitoring hands out empty handles.
TEST(Smoke, CrashReporterIsOffUntilInitialised) {
    auto t = SentryHelper::startTransaction("name", "op");
    EXPECT_FALSE(t.hasValue);
    EXPECT_FALSE(SentryHelper::startSpan(t, "op", "desc").hasValue);
}
