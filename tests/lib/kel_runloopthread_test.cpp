#include "lib/kel_runloopthread.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
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

TEST(RunLoopThread, PipeSourceOnItsLoopCallsBackOnTheThread)
{
    int fds[2];
    ASSERT_EQ(0, ::pipe2(fds, O_CLOEXEC | O_NONBLOCK));
    struct Context {
        std::mutex mutex;
        std::condition_variable changed;
        std::string data;
        std::vector<std::thread::id> threads;
    } context;
    auto source = platform::FdSource::create(fds[0], &context, [](void* info, int fd, unsigned events) {
        Context* c = static_cast<Context*>(info);
        char buffer[8];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        std::lock_guard<std::mutex> lock(c->mutex);
        c->threads.push_back(std::this_thread::get_id());
        if (n > 0 && (events & platform::FdSource::kReadable))
            c->data.append(buffer, static_cast<std::size_t>(n));
        c->changed.notify_all();
    });
    {
        RunLoopThread thread;
        Probe probe;
        thread.call(probe, &Probe::note);
        static_cast<RunLoop*>(thread)->addFdSource(source);
        ASSERT_EQ(3, ::write(fds[1], "abc", 3));
        {
            std::unique_lock<std::mutex> lock(context.mutex);
            context.changed.wait(lock, [&] { return context.data == "abc"; });
            for (const std::thread::id id : context.threads)
                EXPECT_EQ(probe.last(), id);
        }
        static_cast<RunLoop*>(thread)->removeFdSource(source);
    }
    ::close(fds[0]);
    ::close(fds[1]);
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
