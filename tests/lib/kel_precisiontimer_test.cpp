#include "lib/kel_precisiontimer.h"

#include <gtest/gtest.h>

namespace kel {
namespace {

// Bounds here are lower bounds or generous upper ones: the machine may be loaded.

TEST(PrecisionTimer, ElapsedTimeStartsAtZeroAndNeverGoesBack)
{
    const PrecisionTimer timer;
    EXPECT_EQ(1e-9, PrecisionTimer::secondsPerTick());  // nanosecond ticks
    double previous = timer.elapsedTimeInSeconds();
    EXPECT_GE(previous, 0.0);
    EXPECT_LT(previous, 5.0);
    for (int i = 0; i < 1000; ++i) {
        const double now = timer.elapsedTimeInSeconds();
        ASSERT_GE(now, previous);
        previous = now;
    }
}

TEST(PrecisionTimer, SleepLastsAtLeastItsTimeAndMarkRestarts)
{
    PrecisionTimer timer;
    PrecisionTimer::sleep(0.05);
    const double slept = timer.elapsedTimeInSeconds();
    EXPECT_GE(slept, 0.05);

    timer.mark();
    EXPECT_LT(timer.elapsedTimeInSeconds(), slept + 5.0);
    EXPECT_GE(timer.elapsedTimeInSeconds(), 0.0);

    // Nothing to wait for: returns at once, without a usleep(0) loop or an unsigned wrap.
    const PrecisionTimer quick;
    PrecisionTimer::sleep(0.0);
    PrecisionTimer::sleep(-1.0);
    PrecisionTimer::sleep(-1e300);
    EXPECT_LT(quick.elapsedTimeInSeconds(), 5.0);
}

}  // namespace
}  // namespace kel
