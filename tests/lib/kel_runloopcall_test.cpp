#include "lib/kel_runloopcall.h"

#include <atomic>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/test_util.h"

namespace kel {
namespace {

using platform::RunLoop;

using testing::LoopThread;

// Records which thread ran each step, in order.
struct Recorder {
    std::mutex mutex;
    std::vector<std::pair<int, std::thread::id>> steps;
    void note(int step)
    {
        std::lock_guard<std::mutex> lock(mutex);
        steps.emplace_back(step, std::this_thread::get_id());
    }
};

class Step : public BundleBase {
public:
    Step(Recorder& recorder, int step, std::atomic<int>* destroyed = nullptr)
        : m_recorder(recorder), m_step(step), m_destroyed(destroyed)
    {
    }
    ~Step() override
    {
        if (m_destroyed)
            ++*m_destroyed;
    }

protected:
    void handleRun() override { m_recorder.note(m_step); }

private:
    Recorder& m_recorder;
    int m_step;
    std::atomic<int>* m_destroyed;
};

TEST(RunLoopCall, DetachedSendsRunAtOnceOnTheSender)
{
    RunLoopCall call(nullptr);
    EXPECT_EQ(nullptr, call.runLoop());
    Recorder recorder;
    std::atomic<int> destroyed{0};
    Step first(recorder, 1);
    call.sendSynchronous(&first);
    call.sendAsynchronous(new Step(recorder, 2, &destroyed));
    ASSERT_EQ(2u, recorder.steps.size());
    EXPECT_EQ(1, destroyed.load());
    EXPECT_EQ(std::this_thread::get_id(), recorder.steps[1].second);
    EXPECT_FALSE(call.hasPendingCalls());
}

TEST(RunLoopCall, RunsEverythingInOrderOnTheLoopsThreadAndDeletesAsyncBundles)
{
    LoopThread thread;
    Recorder recorder;
    std::atomic<int> destroyed{0};
    {
        RunLoopCall call(thread.loop());
        EXPECT_EQ(thread.loop(), call.runLoop());
        for (int i = 0; i < 500; ++i)
            call.sendAsynchronous(new Step(recorder, i, &destroyed));
        Step last(recorder, 500);
        call.sendSynchronous(&last);
        // A synchronous send returns after everything queued before it has run.
        EXPECT_FALSE(call.hasPendingCalls());
        EXPECT_EQ(500, destroyed.load());
    }
    ASSERT_EQ(501u, recorder.steps.size());
    for (int i = 0; i <= 500; ++i) {
        EXPECT_EQ(i, recorder.steps[i].first);
        EXPECT_EQ(thread.id(), recorder.steps[i].second);
    }
}

TEST(RunLoopCall, ConcurrentSynchronousSendersEachSeeTheirCallRun)
{
    LoopThread thread;
    RunLoopCall call(thread.loop());
    constexpr int kSenders = 4;
    constexpr int kCalls = 100;
    std::vector<Recorder> recorders(kSenders);
    std::vector<std::thread> senders;
    for (int s = 0; s < kSenders; ++s) {
        senders.emplace_back([&, s] {
            for (int i = 0; i < kCalls; ++i) {
                Step step(recorders[s], i);
                call.sendSynchronous(&step);
                std::lock_guard<std::mutex> lock(recorders[s].mutex);
                ASSERT_EQ(static_cast<std::size_t>(i + 1), recorders[s].steps.size());
            }
        });
    }
    for (std::thread& sender : senders)
        sender.join();
    for (Recorder& recorder : recorders) {
        for (const auto& step : recorder.steps)
            EXPECT_EQ(thread.id(), step.second);
    }
}

// A bundle that, on the loop's thread, sends into the same dispatcher again.
class Reentrant : public BundleBase {
public:
    Reentrant(RunLoopCall& call, Recorder& recorder) : m_call(call), m_recorder(recorder) {}

protected:
    void handleRun() override
    {
        m_recorder.note(1);
        Step inner(m_recorder, 3);
        m_call.sendSynchronous(&inner);  // drains inline: step 2, queued earlier, runs first
        m_recorder.note(4);
    }

private:
    RunLoopCall& m_call;
    Recorder& m_recorder;
};

TEST(RunLoopCall, SendingFromTheLoopsOwnThreadRunsInline)
{
    LoopThread thread;
    RunLoopCall call(thread.loop());
    Recorder recorder;
    std::atomic<int> destroyed{0};
    // Holds the loop in the first bundle until the rest is queued behind it.
    struct Gate : BundleBase {
        std::shared_future<void> open;
        void handleRun() override { open.wait(); }
    };
    std::promise<void> opener;
    Gate* gate = new Gate;
    gate->open = opener.get_future().share();
    call.sendAsynchronous(gate);
    call.sendAsynchronous(new Reentrant(call, recorder));
    call.sendAsynchronous(new Step(recorder, 2, &destroyed));
    opener.set_value();
    call.wait();

    std::vector<int> order;
    for (const auto& step : recorder.steps) {
        order.push_back(step.first);
        EXPECT_EQ(thread.id(), step.second);
    }
    // The inner call first runs what was queued ahead of it.
    EXPECT_EQ((std::vector<int>{1, 2, 3, 4}), order);
    EXPECT_EQ(1, destroyed.load());
    EXPECT_FALSE(call.hasPendingCalls());
}

TEST(RunLoopCall, RetargetingMovesTheSourceToTheNewLoop)
{
    Recorder recorder;
    std::promise<void> finished;
    std::future<void> oldLoopDone = finished.get_future();
    std::promise<RunLoop*> started;
    // The old loop holds nothing but the dispatcher's source: once that moves, it finishes.
    std::thread oldThread([&] {
        started.set_value(RunLoop::current());
        // Wait until the dispatcher's source is there before running.
        while (RunLoop::current()->runFor(0.0, false) == RunLoop::Result::kFinished)
            std::this_thread::yield();
        RunLoop::current()->run();
        finished.set_value();
    });
    RunLoop* oldLoop = started.get_future().get();
    const std::thread::id oldId = oldThread.get_id();
    RunLoopCall call(oldLoop);
    Step before(recorder, 1);
    call.sendSynchronous(&before);

    call.setRunLoop(oldLoop);  // same loop: nothing changes
    EXPECT_EQ(oldLoop, call.runLoop());
    Step same(recorder, 2);
    call.sendSynchronous(&same);

    LoopThread newThread;
    call.setRunLoop(newThread.loop());
    EXPECT_EQ(newThread.loop(), call.runLoop());
    oldLoopDone.wait();  // its source was removed
    oldThread.join();
    Step after(recorder, 3);
    call.sendSynchronous(&after);

    call.clearRunLoop();
    EXPECT_EQ(nullptr, call.runLoop());
    Step detached(recorder, 4);
    call.sendSynchronous(&detached);

    ASSERT_EQ(4u, recorder.steps.size());
    EXPECT_EQ(oldId, recorder.steps[0].second);
    EXPECT_EQ(oldId, recorder.steps[1].second);
    EXPECT_EQ(newThread.id(), recorder.steps[2].second);
    EXPECT_EQ(std::this_thread::get_id(), recorder.steps[3].second);
}

}  // namespace
}  // namespace kel

namespace kel {
namespace {

// Senders racing the loop's wake-up handling once lost a wake-up and left wait() hanging.
TEST(RunLoopCall, WakeUpsAreNotLostUnderAFloodOfSends)
{
    LoopThread thread;
    RunLoopCall call(thread.loop());
    struct Counter {
        long count = 0;
        void bump() { ++count; }
    } counter;
    for (int round = 0; round < 20; ++round) {
        for (int i = 0; i < 5000; ++i)
            call.sendAsynchronous(new Bundle<void>(counter, &Counter::bump));
        call.wait();
    }
    EXPECT_EQ(100000, counter.count);
}

}  // namespace
}  // namespace kel
