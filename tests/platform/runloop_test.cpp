#include "platform/runloop.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <numeric>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/test_util.h"

namespace kel {
namespace platform {
namespace {

using Result = RunLoop::Result;
using testing::LoopThread;

struct Pipe {
    int fds[2] = {-1, -1};
    Pipe() { EXPECT_EQ(0, ::pipe2(fds, O_CLOEXEC | O_NONBLOCK)); }
    ~Pipe()
    {
        for (const int fd : fds)
            ::close(fd);
    }
    void put(char c) const { ASSERT_EQ(1, ::write(fds[1], &c, 1)); }
    void closeWrite() { ::close(std::exchange(fds[1], -1)); }
};

void count(void* info)
{
    ++*static_cast<std::atomic<int>*>(info);
}

TEST(RunLoop, EachThreadHasItsOwnAndRunResults)
{
    RunLoop* mainLoop = RunLoop::current();
    EXPECT_EQ(RunLoop::main(), mainLoop);  // gtest runs tests on the process's main thread
    std::thread([mainLoop] {
        RunLoop* loop = RunLoop::current();
        EXPECT_NE(mainLoop, loop);
        EXPECT_EQ(mainLoop, RunLoop::main());
        EXPECT_EQ(Result::kFinished, loop->runFor(10.0, false));

        std::atomic<int> performed{0};
        auto source = RunLoopSource::create(&performed, count);
        ASSERT_TRUE(source);
        loop->addSource(source);
        loop->addSource(source);
        EXPECT_TRUE(loop->containsSource(source));
        EXPECT_EQ(Result::kTimedOut, loop->runFor(0.02, false));
        EXPECT_EQ(0, performed.load());

        // Signals between runs coalesce into one perform.
        source->signal();
        source->signal();
        EXPECT_EQ(Result::kHandledSource, loop->runFor(10.0, true));
        EXPECT_EQ(Result::kTimedOut, loop->runFor(0.0, false));
        EXPECT_EQ(1, performed.load());

        // A stop made while not running ends the next run at once, and only that one.
        loop->stop();
        EXPECT_EQ(Result::kStopped, loop->runFor(10.0, false));
        EXPECT_EQ(Result::kTimedOut, loop->runFor(0.0, false));

        loop->removeSource(source);
        loop->removeSource(source);
        EXPECT_FALSE(loop->containsSource(source));
        EXPECT_EQ(Result::kFinished, loop->runFor(10.0, false));
    }).join();
}

// A callback adds a source, runs the loop nested (which performs it), then stops the loop and
// runs it again: that stop ends the inner run only.
TEST(RunLoop, CallbacksMayChangeTheLoopAndRunItNested)
{
    struct Context {
        RunLoop* loop = RunLoop::current();
        std::shared_ptr<RunLoopSource> self;
        std::shared_ptr<RunLoopSource> other;
        std::vector<char> log;
        std::vector<Result> nested;
    };
    std::thread([] {
        Context c;
        c.other = RunLoopSource::create(&c, [](void* info) {
            Context* context = static_cast<Context*>(info);
            context->log.push_back('o');
            context->loop->removeSource(context->other);  // removes itself from inside its callback
        });
        c.self = RunLoopSource::create(&c, [](void* info) {
            Context* context = static_cast<Context*>(info);
            context->log.push_back('s');
            context->loop->addSource(context->other);
            context->other->signal();
            context->nested.push_back(context->loop->runFor(10.0, true));
            context->loop->stop();
            context->nested.push_back(context->loop->runFor(10.0, false));
            context->log.push_back('e');
            context->loop->removeSource(context->self);
        });
        c.loop->addSource(c.self);
        c.self->signal();
        EXPECT_EQ(Result::kFinished, c.loop->runFor(10.0, false));
        EXPECT_EQ((std::vector<Result>{Result::kHandledSource, Result::kStopped}), c.nested);
        EXPECT_EQ((std::vector<char>{'s', 'o', 'e'}), c.log);
    }).join();
}

TEST(FdSource, ReadableAndHangUpOnTheLoopsThread)
{
    struct Context {
        std::vector<std::pair<std::thread::id, unsigned>> calls;
        std::string data;
    } c;
    Pipe pipe;
    auto source = FdSource::create(pipe.fds[0], &c, [](void* info, int fd, unsigned events) {
        Context* context = static_cast<Context*>(info);
        char buffer[16];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        context->calls.emplace_back(std::this_thread::get_id(), events);
        context->data.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    });
    ASSERT_TRUE(source);
    EXPECT_FALSE(FdSource::create(-1, &c, [](void*, int, unsigned) {}));

    std::thread::id loopThread;
    std::thread([&] {
        loopThread = std::this_thread::get_id();
        RunLoop* loop = RunLoop::current();
        loop->addFdSource(source);
        EXPECT_EQ(Result::kTimedOut, loop->runFor(0.02, false));
        pipe.put('a');
        EXPECT_EQ(Result::kHandledSource, loop->runFor(10.0, true));
        pipe.put('b');
        pipe.closeWrite();
        // Level-triggered: hung up, it is called on every round until removed.
        for (int round = 0; round < 3; ++round)
            EXPECT_EQ(Result::kHandledSource, loop->runFor(10.0, true));
        loop->removeFdSource(source);
        EXPECT_EQ(Result::kFinished, loop->runFor(10.0, false));
    }).join();
    EXPECT_EQ("ab", c.data);
    ASSERT_EQ(4u, c.calls.size());
    EXPECT_EQ(FdSource::kReadable, c.calls[0].second);
    EXPECT_TRUE(c.calls.back().second & FdSource::kHangUp);
    for (const auto& call : c.calls)
        EXPECT_EQ(loopThread, call.first);
}

// The HID and USB backends close an fd right after removing its source, so removal from
// another thread, or invalidation, has to wait out a callback in progress.
TEST(FdSource, RemovalFromAnotherThreadWaitsForTheRunningCallback)
{
    struct Context {
        std::atomic<bool> inside{false};
        std::atomic<bool> removing{false};
        std::atomic<bool> finished{false};
        std::atomic<int> callsAfterRemoval{0};
    } c;
    auto callback = [](void* info, int, unsigned) {
        Context* context = static_cast<Context*>(info);
        if (context->finished) {
            ++context->callsAfterRemoval;
            return;
        }
        context->inside = true;
        while (!context->removing)
            std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        context->finished = true;  // does not read: the fd stays readable
    };
    Pipe pipe;
    pipe.put('x');
    for (const bool invalidate : {false, true}) {
        c.inside = c.removing = c.finished = false;
        auto source = FdSource::create(pipe.fds[0], &c, callback);
        LoopThread thread;
        thread.loop()->addFdSource(source);
        while (!c.inside)
            std::this_thread::yield();
        c.removing = true;
        if (invalidate)
            source->invalidate();
        else
            thread.loop()->removeFdSource(source);
        EXPECT_TRUE(c.finished);
        EXPECT_EQ(!invalidate, source->isValid());
    }
    EXPECT_EQ(0, c.callsAfterRemoval.load());
}

// Under ASan this catches a source or a loop left pointing at the other after it was freed.
TEST(RunLoopSource, OutlivesItsLoopsAndInvalidateRemovesItFromEveryLoop)
{
    LoopThread a;
    LoopThread b;
    std::atomic<int> performed{0};
    auto source = RunLoopSource::create(&performed, count);
    auto fdSource = FdSource::create(0, nullptr, [](void*, int, unsigned) {});
    std::weak_ptr<RunLoopSource> dropped;
    std::thread([&] {
        auto held = RunLoopSource::create(nullptr, [](void*) {});
        dropped = held;
        RunLoop::current()->addSource(held);  // only the loop holds it after this
        RunLoop::current()->addSource(source);
        RunLoop::current()->addFdSource(fdSource);
    }).join();
    EXPECT_TRUE(dropped.expired());  // freed with its loop
    fdSource->invalidate();

    a.loop()->addSource(source);
    b.loop()->addSource(source);
    EXPECT_TRUE(a.loop()->containsSource(source));
    source->invalidate();
    EXPECT_FALSE(source->isValid());
    EXPECT_FALSE(a.loop()->containsSource(source));
    EXPECT_FALSE(b.loop()->containsSource(source));
    source->signal();
    a.loop()->wakeUp();
    b.loop()->addSource(source);  // an invalid source is not taken
    EXPECT_FALSE(b.loop()->containsSource(source));
    std::thread([&] {
        RunLoop::current()->addSource(source);
        EXPECT_EQ(Result::kFinished, RunLoop::current()->runFor(0.0, false));
    }).join();
    EXPECT_EQ(0, performed.load());
}

TEST(DispatchQueue, RunsWorkFromManyThreadsInPostingOrderOnTheMainThread)
{
    constexpr int kItems = 200;
    const std::thread::id mainThread = std::this_thread::get_id();
    std::vector<std::vector<int>> seen(4);  // touched only on the main thread
    int ran = 0;
    std::vector<std::thread> posters;
    for (int t = 0; t < 4; ++t) {
        posters.emplace_back([&, t] {
            for (int i = 0; i < kItems; ++i) {
                DispatchQueue::main()->async([&, t, i] {
                    EXPECT_EQ(mainThread, std::this_thread::get_id());
                    seen[t].push_back(i);
                    ++ran;
                });
            }
        });
    }
    for (std::thread& poster : posters)
        poster.join();
    // The main loop holds the queue's source: it never finishes for want of sources.
    while (ran < 4 * kItems)
        ASSERT_NE(Result::kFinished, RunLoop::main()->runFor(10.0, true));

    std::vector<int> inOrder(kItems);
    std::iota(inOrder.begin(), inOrder.end(), 0);
    for (const std::vector<int>& items : seen)
        EXPECT_EQ(inOrder, items);
}

TEST(DispatchQueue, WorkPostedFromWorkRunsAfterIt)
{
    std::vector<int> order;
    DispatchQueue::main()->async([&] {
        order.push_back(1);
        DispatchQueue::main()->async([&] { order.push_back(3); });
        // A nested run does not start the next item inside this one.
        RunLoop::main()->runFor(0.0, false);
        order.push_back(2);
    });
    while (order.size() < 3)
        RunLoop::main()->runFor(10.0, true);
    EXPECT_EQ((std::vector<int>{1, 2, 3}), order);
}

}  // namespace
}  // namespace platform
}  // namespace kel
