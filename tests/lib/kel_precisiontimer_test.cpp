#include "lib/kel_precisiontimer.h"

#include <gtest/gtest.h>

namespace kel {
namespace {

// Only lower bounds, or upper ones generous enough for a loaded machine.
TEST(PrecisionTimer, MonotonicSecondsAndSleepsOfAtLeastTheirTime)
{
    PrecisionTimer timer;
    EXPECT_EQ(1e-9, PrecisionTimer::secondsPerTick());  // nanosecond ticks
    double previous = 0.0;
    for (int i = 0; i < 1000; ++i) {
        const double now = timer.elapsedTimeInSeconds();
        ASSERT_GE(now, previous);
        previous = now;
    }
    EXPECT_LT(previous, 5.0);

    PrecisionTimer::sleep(0.05);
    EXPECT_GE(timer.elapsedTimeInSeconds(), 0.05);

    // Nothing to wait for: returns at once, without a usleep(0) loop or an unsigned wrap.
    timer.mark();
    for (const double seconds : {0.0, -1.0, -1e300})
        PrecisionTimer::sleep(seconds);
    EXPECT_LT(timer.elapsedTimeInSeconds(), 5.0);
}

}  // namespace
}  // namespace kel
