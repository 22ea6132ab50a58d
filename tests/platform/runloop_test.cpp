// What the commands cannot reach: results and signals of a bare loop, nested runs, removal and
// invalidation, and the main queue's order. The portable interface only: every backend's loop
// must pass these.
#include "platform/runloop.h"

#include <functional>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace kel {
namespace platform {
namespace {

using Result = RunLoop::Result;

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

// Items never overlap: one posted by a running item, even one that runs the loop nested, waits
// for the next round.
TEST(DispatchQueue, RunsWorkFromManyThreadsOneItemAtATimeInPostingOrder)
{
    constexpr int kItems = 200;
    std::vector<std::vector<int>> seen(4);  // touched only on the main thread
    std::vector<std::thread> posters;
    for (std::size_t t = 0; t < seen.size(); ++t) {
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
