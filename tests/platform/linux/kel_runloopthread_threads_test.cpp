// The thread a RunLoopThread starts, counted in /proc: Linux only.
#include "lib/kel_runloopthread.h"

#include <filesystem>
#include <iterator>

#include <gtest/gtest.h>

namespace kel {
namespace {

int threadCount()
{
    const std::filesystem::directory_iterator tasks("/proc/self/task");
    return static_cast<int>(std::distance(begin(tasks), end(tasks)));
}

TEST(RunLoopThread, HasItsLoopRunningOnceMadeAndLeavesNoThreadBehind)
{
    { RunLoopThread warmUp; }  // ThreadSanitizer starts a helper thread with the first thread made
    const int before = threadCount();
    for (int i = 0; i < 50; ++i) {
        RunLoopThread thread;
        ASSERT_NE(nullptr, static_cast<platform::RunLoop*>(thread));
        EXPECT_EQ(before + 1, threadCount());
    }
    EXPECT_EQ(before, threadCount());
}

}  // namespace
}  // namespace kel
