#include "platform/runloop.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <map>
#include <mutex>
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
    int read = -1;
    int write = -1;
    Pipe()
    {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
            read = fds[0];
            write = fds[1];
        }
    }
    ~Pipe()
    {
        closeWrite();
        if (read >= 0)
            ::close(read);
    }
    void closeWrite()
    {
        if (write >= 0)
            ::close(write);
        write = -1;
    }
    void put(char c) const { ASSERT_EQ(1, ::write(write, &c, 1)); }
};

// Waits (without a deadline that could fire on a loaded machine) for a predicate.
class Latch {
public:
    void set()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_count;
        m_condition.notify_all();
    }
    void waitFor(int count)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_condition.wait(lock, [&] { return m_count >= count; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_condition;
    int m_count = 0;
};

TEST(RunLoop, EachThreadHasItsOwnLoopAndTheMainThreadHasTheMainLoop)
{
    RunLoop* here = RunLoop::current();
    EXPECT_EQ(here, RunLoop::current());
    EXPECT_EQ(RunLoop::main(), here);  // gtest runs tests on the process's main thread

    RunLoop* other = nullptr;
    RunLoop* mainSeenThere = nullptr;
    std::thread([&] {
        other = RunLoop::current();
        mainSeenThere = RunLoop::main();
    }).join();
    EXPECT_NE(here, other);
    EXPECT_EQ(here, mainSeenThere);
}

TEST(RunLoop, RunResults)
{
    std::thread([] {
        RunLoop* loop = RunLoop::current();
        EXPECT_EQ(Result::kFinished, loop->runFor(10.0, false));

        int performed = 0;
        auto source = RunLoopSource::create(&performed, [](void* info) { ++*static_cast<int*>(info); });
        ASSERT_TRUE(source);
        loop->addSource(source);
        loop->addSource(source);
        EXPECT_TRUE(loop->containsSource(source));
        EXPECT_EQ(Result::kTimedOut, loop->runFor(0.02, false));
        EXPECT_EQ(0, performed);

        // Signals between runs coalesce into one perform.
        source->signal();
        source->signal();
        EXPECT_EQ(Result::kHandledSource, loop->runFor(10.0, true));
        EXPECT_EQ(1, performed);
        EXPECT_EQ(Result::kTimedOut, loop->runFor(0.0, false));
        EXPECT_EQ(1, performed);

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

TEST(RunLoop, SignalAndStopFromAnotherThreadWakeASleepingLoop)
{
    struct Context {
        std::atomic<int> performed{0};
        std::thread::id thread;
    } context;
    auto source = RunLoopSource::create(&context, [](void* info) {
        Context* c = static_cast<Context*>(info);
        c->thread = std::this_thread::get_id();
        ++c->performed;
    });
    std::promise<RunLoop*> started;
    std::promise<Result> handled;
    std::thread loopThread([&] {
        RunLoop* loop = RunLoop::current();
        loop->addSource(source);
        started.set_value(loop);
        handled.set_value(loop->runFor(1e6, true));
        loop->run();  // until stopped
    });
    RunLoop* loop = started.get_future().get();
    source->signal();
    loop->wakeUp();
    EXPECT_EQ(Result::kHandledSource, handled.get_future().get());
    EXPECT_EQ(loopThread.get_id(), context.thread);
    loop->stop();
    loopThread.join();
    EXPECT_EQ(1, context.performed.load());
}

TEST(RunLoop, CallbacksMayChangeTheLoopAndRunItNested)
{
    struct Context {
        RunLoop* loop;
        std::shared_ptr<RunLoopSource> self;
        std::shared_ptr<RunLoopSource> other;
        std::vector<char> log;
        Result nested;
    };
    std::thread([] {
        Context c;
        c.loop = RunLoop::current();
        c.other = RunLoopSource::create(&c, [](void* info) {
            Context* c = static_cast<Context*>(info);
            c->log.push_back('o');
            c->loop->removeSource(c->other);  // removes itself from inside its callback
        });
        c.self = RunLoopSource::create(&c, [](void* info) {
            Context* c = static_cast<Context*>(info);
            c->log.push_back('s');
            c->loop->addSource(c->other);
            c->other->signal();
            c->nested = c->loop->runFor(10.0, true);  // runs `other` inside this callback
            c->log.push_back('e');
            c->loop->removeSource(c->self);
        });
        c.loop->addSource(c.self);
        c.self->signal();
        EXPECT_EQ(Result::kFinished, c.loop->runFor(10.0, false));
        EXPECT_EQ(Result::kHandledSource, c.nested);
        EXPECT_EQ((std::vector<char>{'s', 'o', 'e'}), c.log);
    }).join();
}

TEST(RunLoop, StopEndsTheInnermostRunOnly)
{
    std::thread([] {
        RunLoop* loop = RunLoop::current();
        static Result s_inner;
        auto source = RunLoopSource::create(loop, [](void* info) {
            RunLoop* loop = static_cast<RunLoop*>(info);
            loop->stop();
            s_inner = loop->runFor(10.0, false);
        });
        loop->addSource(source);
        source->signal();
        EXPECT_EQ(Result::kTimedOut, loop->runFor(0.05, false));
        EXPECT_EQ(Result::kStopped, s_inner);
    }).join();
}

TEST(FdSource, ReadableAndHangUpOnTheLoopsThread)
{
    Pipe pipe;
    ASSERT_GE(pipe.read, 0);
    struct Context {
        std::mutex mutex;
        std::vector<std::pair<std::thread::id, unsigned>> calls;
        std::string data;
        Latch latch;
    } context;
    auto source = FdSource::create(pipe.read, &context, [](void* info, int fd, unsigned events) {
        Context* c = static_cast<Context*>(info);
        char buffer[16];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        {
            std::lock_guard<std::mutex> lock(c->mutex);
            c->calls.emplace_back(std::this_thread::get_id(), events);
            if (n > 0)
                c->data.append(buffer, static_cast<std::size_t>(n));
        }
        c->latch.set();
    });
    ASSERT_TRUE(source);
    EXPECT_EQ(pipe.read, source->fd());
    EXPECT_FALSE(FdSource::create(-1, &context, [](void*, int, unsigned) {}));

    LoopThread thread;
    thread.loop()->addFdSource(source);
    pipe.put('a');
    context.latch.waitFor(1);
    pipe.put('b');
    context.latch.waitFor(2);
    pipe.closeWrite();
    for (;;) {
        context.latch.waitFor(3);
        std::lock_guard<std::mutex> lock(context.mutex);
        if (context.calls.back().second & FdSource::kHangUp)
            break;
    }
    // Level-triggered: it keeps calling while hung up, until removed.
    thread.loop()->removeFdSource(source);

    std::lock_guard<std::mutex> lock(context.mutex);
    EXPECT_EQ("ab", context.data);
    EXPECT_EQ(FdSource::kReadable, context.calls[0].second);
    for (const auto& call : context.calls)
        EXPECT_EQ(thread.id(), call.first);
}

// The HID and USB backends close an fd right after removing its source, so removal from
// another thread has to wait out a callback in progress.
TEST(FdSource, RemovalFromAnotherThreadWaitsForTheRunningCallback)
{
    Pipe pipe;
    struct Context {
        std::atomic<bool> inside{false};
        std::atomic<bool> removing{false};
        std::atomic<bool> finished{false};
        std::atomic<int> callsAfterRemoval{0};
    } context;
    auto callback = [](void* info, int, unsigned) {
        Context* c = static_cast<Context*>(info);
        if (c->finished.load()) {
            ++c->callsAfterRemoval;
            return;
        }
        c->inside = true;
        while (!c->removing.load())
            std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        c->finished = true;  // does not read: the fd stays readable
    };

    for (int useInvalidate = 0; useInvalidate < 2; ++useInvalidate) {
        context.inside = false;
        context.removing = false;
        context.finished = false;
        auto source = FdSource::create(pipe.read, &context, callback);
        LoopThread thread;
        thread.loop()->addFdSource(source);
        if (useInvalidate == 0)
            pipe.put('x');
        while (!context.inside.load())
            std::this_thread::yield();
        context.removing = true;
        if (useInvalidate)
            source->invalidate();
        else
            thread.loop()->removeFdSource(source);
        EXPECT_TRUE(context.finished.load());
        EXPECT_EQ(!useInvalidate, source->isValid());
    }
    EXPECT_EQ(0, context.callsAfterRemoval.load());
}

TEST(RunLoopSource, InvalidateRemovesItFromEveryLoop)
{
    std::atomic<int> performed{0};
    auto source = RunLoopSource::create(&performed, [](void* info) { ++*static_cast<std::atomic<int>*>(info); });
    LoopThread a;
    LoopThread b;
    a.loop()->addSource(source);
    b.loop()->addSource(source);
    EXPECT_TRUE(a.loop()->containsSource(source));
    EXPECT_TRUE(b.loop()->containsSource(source));
    source->invalidate();
    EXPECT_FALSE(source->isValid());
    EXPECT_FALSE(a.loop()->containsSource(source));
    EXPECT_FALSE(b.loop()->containsSource(source));
    source->signal();
    a.loop()->wakeUp();
    b.loop()->addSource(source);  // an invalid source is not taken
    EXPECT_FALSE(b.loop()->containsSource(source));
    std::thread([&] {
        RunLoop* loop = RunLoop::current();
        loop->addSource(source);
        EXPECT_EQ(Result::kFinished, loop->runFor(0.0, false));
    }).join();
    EXPECT_EQ(0, performed.load());
}

// Under ASan these catch a source or a loop left pointing at the other after it was freed.
TEST(RunLoopSource, SourcesAndLoopsDieInAnyOrder)
{
    auto source = RunLoopSource::create(nullptr, [](void*) {});
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
    EXPECT_TRUE(source->isValid());
    source->invalidate();
    fdSource->invalidate();

    std::thread([&] {
        RunLoop* loop = RunLoop::current();
        auto brief = RunLoopSource::create(nullptr, [](void*) {});
        loop->addSource(brief);
        brief->invalidate();
        brief.reset();
        EXPECT_EQ(Result::kFinished, loop->runFor(0.0, false));
    }).join();
}

TEST(DispatchQueue, RunsWorkFromManyThreadsInPostingOrderOnTheMainThread)
{
    constexpr int kThreads = 4;
    constexpr int kItems = 200;
    std::map<int, std::vector<int>> seen;  // touched only on the main thread
    std::atomic<int> offMain{0};
    const std::thread::id mainThread = std::this_thread::get_id();
    int done = 0;

    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t) {
        posters.emplace_back([&, t] {
            for (int i = 0; i < kItems; ++i) {
                DispatchQueue::main()->async([&, t, i] {
                    if (std::this_thread::get_id() != mainThread)
                        ++offMain;
                    seen[t].push_back(i);
                    if (i == kItems - 1)
                        ++done;
                });
            }
        });
    }
    for (std::thread& poster : posters)
        poster.join();
    // The main loop holds the queue's source: it never finishes for want of sources.
    while (done < kThreads)
        ASSERT_NE(Result::kFinished, RunLoop::main()->runFor(10.0, true));

    EXPECT_EQ(0, offMain.load());
    for (int t = 0; t < kThreads; ++t) {
        ASSERT_EQ(static_cast<std::size_t>(kItems), seen[t].size());
        for (int i = 0; i < kItems; ++i)
            EXPECT_EQ(i, seen[t][i]);
    }
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
