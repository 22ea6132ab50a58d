// Ordering, inline calls from the thread and the queue drained at destruction are proven with
// RunLoopCall, the thread it starts and joins in tests/platform/linux/ (counted in /proc); here
// that exit is asked for only on the thread.
#include "lib/kel_runloopthread.h"

#include <gtest/gtest.h>

namespace kel {
namespace {

TEST(RunLoopThreadDeathTest, ExitRequestedOffTheThreadStopsTheProgram)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            RunLoopThread thread;
            thread.exitRequested();
        },
        "rl == platform::RunLoop::current\\(\\)");
}

}  // namespace
}  // namespace kel
