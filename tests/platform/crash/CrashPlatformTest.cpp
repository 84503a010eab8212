#include <gtest/gtest.h>

#include "platform/crash/Debugger.h"
#include "platform/crash/MachineTime.h"

namespace {

TEST(CrashPlatform, ThisTestIsNotTracedUnlessRunUnderADebugger) {
    auto traced = crash::tracerAttached();
    ASSERT_TRUE(traced.has_value());
    if (*traced) GTEST_SKIP() << "running under a debugger";
    EXPECT_FALSE(*traced);
}

TEST(CrashPlatform, MachineTimeIsNanosecondsThatOnlyGrow) {
    crash::Timebase timebase = crash::machineTimebase();
    EXPECT_EQ(timebase.numer, 1u);
    EXPECT_EQ(timebase.denom, 1u);
    uint64_t first = crash::machineAbsoluteTime();
    EXPECT_GE(crash::machineAbsoluteTime(), first);
}

}  // namespace
