#include "lib/kel_runloopthread.h"

#include <filesystem>
#include <iterator>
#include <memory>
#include <vector>

#include <gtest/gtest.h>

namespace kel {
namespace {

using platform::RunLoop;

int threadCount()
{
    const std::filesystem::directory_iterator tasks("/proc/self/task");
    return static_cast<int>(std::distance(begin(tasks), end(tasks)));
}

// Ordering, inline calls from the thread and the queue drained at destruction are proven with
// RunLoopCall; here the thread itself.
TEST(RunLoopThread, EachHasALoopOfItsOwnAndLeavesNoThreadBehind)
{
    // ThreadSanitizer starts a helper thread of its own with the first thread created.
    { RunLoopThread warmUp; }
    const int before = threadCount();
    for (int i = 0; i < 50; ++i) {
        RunLoopThread thread;
        ASSERT_NE(nullptr, static_cast<RunLoop*>(thread));
        EXPECT_NE(RunLoop::current(), static_cast<RunLoop*>(thread));
        EXPECT_EQ(before + 1, threadCount());
    }
    EXPECT_EQ(before, threadCount());

    // Several alive at once, destroyed in another order than made.
    {
        std::vector<std::unique_ptr<RunLoopThread>> threads(8);
        for (auto& thread : threads)
            thread = std::make_unique<RunLoopThread>();
        EXPECT_EQ(before + 8, threadCount());
        threads.erase(threads.begin() + 3);
        threads.erase(threads.begin());
    }
    EXPECT_EQ(before, threadCount());
}

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
