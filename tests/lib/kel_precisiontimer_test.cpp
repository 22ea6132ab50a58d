#include "lib/kel_precisiontimer.h"

#include <chrono>

#include <gtest/gtest.h>

namespace kel {
namespace {

// Checked against the standard library's steady clock; sleeps only as lower bounds.
TEST(PrecisionTimer, MeasuresSecondsAndSleepsAtLeastTheirTime)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    PrecisionTimer timer;
    PrecisionTimer::sleep(0.05);
    const double slept = timer.elapsedTimeInSeconds();
    EXPECT_GE(slept, 0.05);
    EXPECT_LE(slept, std::chrono::duration<double>(Clock::now() - start).count());

    // Nothing to wait for: returns at once, without a usleep(0) loop or an unsigned wrap.
    for (const double seconds : {0.0, -1.0, -1e300})
        PrecisionTimer::sleep(seconds);
}

}  // namespace
}  // namespace kel
