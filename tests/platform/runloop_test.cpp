// What the commands cannot reach: results and signals of a bare loop, nested runs, and removal
// or invalidation from other threads. Fd sources serving the commands are proven through the binary.
#include "platform/runloop.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/test_util.h"

namespace kel {
namespace platform {
namespace {

using Result = RunLoop::Result;
using testing::LoopThread;

// A source that calls `work`, which must outlive it.
std::shared_ptr<RunLoopSource> sourceFor(std::function<void()>& work)
{
    return RunLoopSource::create(&work, [](void* info) { (*static_cast<std::function<void()>*>(info))(); });
}

TEST(RunLoop, SignalsCoalesceStopsEndOneRunAndCallbacksMayRunItNested)
{
    EXPECT_EQ(RunLoop::main(), RunLoop::current());  // gtest runs tests on the process's main thread
    std::shared_ptr<RunLoopSource> inner, outer;
    std::thread([&] {
        RunLoop* loop = RunLoop::current();
        EXPECT_NE(RunLoop::main(), loop);
        std::string log;
        std::function<void()> innerWork = [&] {
            log += 'i';
            loop->removeSource(inner);  // from inside its own callback
        };
        // Adds a source and runs the loop nested, which performs it; a stop then ends the
        // inner run only.
        std::function<void()> outerWork = [&] {
            loop->addSource(inner);
            inner->signal();
            EXPECT_EQ(Result::kHandledSource, loop->runFor(10.0, true));
            loop->stop();
            EXPECT_EQ(Result::kStopped, loop->runFor(10.0, false));
            log += 'o';
        };
        inner = sourceFor(innerWork);
        outer = sourceFor(outerWork);
        loop->addSource(outer);
        loop->addSource(outer);
        EXPECT_EQ(Result::kTimedOut, loop->runFor(0.02, false));
        outer->signal();
        outer->signal();
        EXPECT_EQ(Result::kHandledSource, loop->runFor(10.0, true));
        EXPECT_EQ(Result::kTimedOut, loop->runFor(0.0, false));
        EXPECT_EQ("io", log);  // performed once for both signals

        // A stop made while not running ends the next run at once, and only that one.
        loop->stop();
        EXPECT_EQ(Result::kStopped, loop->runFor(10.0, false));
        EXPECT_EQ(Result::kTimedOut, loop->runFor(0.0, false));

        // A hung-up fd without data reaches the backends only as kHangUp; they drop their source
        // on it.
        int fds[2];
        ASSERT_EQ(0, ::pipe2(fds, O_CLOEXEC));
        ::close(fds[1]);
        unsigned events = 0;
        auto hungUp = FdSource::create(fds[0], &events, [](void* info, int, unsigned seen) {
            *static_cast<unsigned*>(info) = seen;
        });
        loop->addFdSource(hungUp);
        EXPECT_EQ(Result::kHandledSource, loop->runFor(10.0, true));
        EXPECT_EQ(FdSource::kHangUp, events);
        loop->removeFdSource(hungUp);
        ::close(fds[0]);

        loop->removeSource(outer);  // added twice, held once
        EXPECT_FALSE(loop->containsSource(outer));
        loop->addSource(inner);
        inner->invalidate();  // leaves the loop, and no loop takes it again
        loop->addSource(inner);
        EXPECT_EQ(Result::kFinished, loop->runFor(0.0, false));
        loop->addSource(outer);
    }).join();
    // The loop went with its thread and let go of the source it held; under ASan, invalidating
    // it afterwards catches a source left pointing at the freed loop.
    EXPECT_EQ(1, outer.use_count());
    outer->invalidate();
}

// The HID and USB backends close an fd right after removing its source, so removal from
// another thread, or invalidation, has to wait out a callback in progress.
TEST(FdSource, RemovalFromAnotherThreadWaitsForTheRunningCallback)
{
    struct Context {
        std::atomic<int> calls{0};
        std::atomic<bool> removing{false}, finished{false};
    } c;
    const int fd = ::eventfd(1, EFD_CLOEXEC);  // stays readable: the callback never reads
    for (const bool invalidate : {false, true}) {
        c.calls = 0;
        c.removing = c.finished = false;
        auto source = FdSource::create(fd, &c, [](void* info, int, unsigned) {
            Context* context = static_cast<Context*>(info);
            if (context->calls++ > 0)
                return;
            while (!context->removing)
                std::this_thread::yield();
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            context->finished = true;
        });
        {
            LoopThread thread;
            thread.loop()->addFdSource(source);
            ASSERT_TRUE(testing::eventually([&] { return c.calls > 0; }));
            c.removing = true;
            if (invalidate)
                source->invalidate();
            else
                thread.loop()->removeFdSource(source);
            EXPECT_TRUE(c.finished);
        }
        EXPECT_EQ(1, c.calls.load());  // none after the removal
    }
    ::close(fd);
}

// Items never overlap: one posted by a running item, even one that runs the loop nested, waits
// for the next round.
TEST(DispatchQueue, RunsWorkFromManyThreadsOneItemAtATimeInPostingOrder)
{
    constexpr int kItems = 200;
    std::vector<std::vector<int>> seen(4);  // touched only on the main thread
    std::vector<std::thread> posters;
    for (int t = 0; t < 4; ++t) {
        posters.emplace_back([&, t] {
            for (int i = 0; i < kItems; ++i)
                DispatchQueue::main()->async([&, t, i] { seen[t].push_back(i); });
        });
    }
    for (std::thread& poster : posters)
        poster.join();
    std::vector<int> order;
    DispatchQueue::main()->async([&] {
        order.push_back(1);
        DispatchQueue::main()->async([&] { order.push_back(3); });
        RunLoop::main()->runFor(0.0, false);
        order.push_back(2);
    });
    // The main loop holds the queue's source: it never finishes for want of sources.
    while (order.size() < 3)
        ASSERT_NE(Result::kFinished, RunLoop::main()->runFor(10.0, true));

    std::vector<int> inOrder(kItems);
    std::iota(inOrder.begin(), inOrder.end(), 0);
    for (const std::vector<int>& items : seen)
        EXPECT_EQ(inOrder, items);
    EXPECT_EQ((std::vector<int>{1, 2, 3}), order);
}

}  // namespace
}  // namespace platform
}  // namespace kel
