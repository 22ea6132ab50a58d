#include "lib/kel_runloopthread.h"

#include <dirent.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace kel {
namespace {

using platform::RunLoop;

int threadCount()
{
    int count = 0;
    if (DIR* dir = ::opendir("/proc/self/task")) {
        while (const dirent* entry = ::readdir(dir)) {
            if (entry->d_name[0] != '.')
                ++count;
        }
        ::closedir(dir);
    }
    return count;
}

// Notes the thread it runs on.
struct Probe {
    std::mutex mutex;
    std::vector<std::thread::id> threads;
    void note()
    {
        std::lock_guard<std::mutex> lock(mutex);
        threads.push_back(std::this_thread::get_id());
    }
    std::thread::id last()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return threads.empty() ? std::thread::id() : threads.back();
    }
};

TEST(RunLoopThread, CallsRunOnItsOwnThreadAndInlineFromThere)
{
    RunLoopThread thread;
    RunLoop* loop = thread;
    ASSERT_NE(nullptr, loop);
    EXPECT_NE(RunLoop::current(), loop);

    Probe probe;
    thread.call(probe, &Probe::note);
    const std::thread::id loopThread = probe.last();
    EXPECT_NE(std::this_thread::get_id(), loopThread);

    // From the thread itself: the nested call runs inline instead of waiting for itself.
    struct Nested {
        RunLoopThread* thread;
        Probe* probe;
        int depth = 0;
        void run()
        {
            probe->note();
            if (++depth < 3)
                thread->call(*this, &Nested::run);
        }
    } nested{&thread, &probe};
    thread.call(nested, &Nested::run);
    EXPECT_EQ(3, nested.depth);
    ASSERT_EQ(4u, probe.threads.size());
    for (const std::thread::id id : probe.threads)
        EXPECT_EQ(loopThread, id);
}

TEST(RunLoopThread, DestructionRunsQueuedWorkOnTheThreadFirst)
{
    struct Slow : BundleBase {
        std::atomic<int>* ran;
        std::thread::id* where;
        void handleRun() override
        {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            *where = std::this_thread::get_id();
            ++*ran;
        }
    };
    std::atomic<int> ran{0};
    std::vector<std::thread::id> where(50);
    std::thread::id loopThread;
    {
        RunLoopThread thread;
        Probe probe;
        thread.call(probe, &Probe::note);
        loopThread = probe.last();
        for (std::thread::id& slot : where) {
            Slow* slow = new Slow;
            slow->ran = &ran;
            slow->where = &slot;
            thread.sendAsynchronous(slow);
        }
    }
    EXPECT_EQ(50, ran.load());
    for (const std::thread::id id : where)
        EXPECT_EQ(loopThread, id);
}

TEST(RunLoopThread, ConstructionAndDestructionLeaveNoThreadBehind)
{
    // ThreadSanitizer starts a helper thread of its own with the first thread created.
    { RunLoopThread warmUp; }
    const int before = threadCount();
    ASSERT_GT(before, 0);
    for (int i = 0; i < 50; ++i) {
        RunLoopThread thread;
        EXPECT_EQ(before + 1, threadCount());
    }
    EXPECT_EQ(before, threadCount());

    // Several alive at once, destroyed in another order than made.
    {
        std::vector<std::unique_ptr<RunLoopThread>> threads;
        for (int i = 0; i < 8; ++i)
            threads.emplace_back(new RunLoopThread);
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
