#include "lib/kel_runloopcall.h"

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "lib/kel_runloopthread.h"
#include "tests/support/test_util.h"

namespace kel {
namespace {

using testing::LoopThread;
using Steps = std::vector<std::pair<int, std::thread::id>>;

// Which thread ran each step, in order, and how many steps were deleted.
struct Recorder {
    std::mutex mutex;
    Steps steps;
    std::atomic<int> destroyed{0};
    std::chrono::milliseconds pause{0};

    void note(int step)
    {
        std::this_thread::sleep_for(pause);
        std::lock_guard<std::mutex> lock(mutex);
        steps.emplace_back(step, std::this_thread::get_id());
    }
};

struct Step : BundleBase {
    Step(Recorder& into, int number) : recorder(into), step(number) {}
    ~Step() override { ++recorder.destroyed; }
    void handleRun() override { recorder.note(step); }

    Recorder& recorder;
    const int step;
};

// The steps numbered 0 to count - 1 in order, all on one thread other than this one.
void expectInOrderOnOneLoopThread(const Steps& steps, int count)
{
    ASSERT_EQ(static_cast<std::size_t>(count), steps.size());
    EXPECT_NE(std::this_thread::get_id(), steps[0].second);
    for (int i = 0; i < count; ++i)
        EXPECT_EQ(std::make_pair(i, steps[0].second), steps[i]);
}

TEST(RunLoopCall, RunsInOrderOnTheLoopsThreadAndDeletesAsyncBundlesUpToDestruction)
{
    Recorder recorder;
    int next = 0;
    {
        RunLoopThread thread;
        // A flood of sends once raced the loop's wake-up handling, lost a wake-up and hung wait().
        for (int round = 0; round < 20; ++round) {
            for (int i = 0; i < 5000; ++i)
                thread.sendAsynchronous(new Step(recorder, next++));
            thread.wait();
            EXPECT_EQ(next, recorder.destroyed.load());
        }
        for (int i = 0; i < 50; ++i)
            thread.sendAsynchronous(new Step(recorder, next++));
        Step last(recorder, next++);
        thread.sendSynchronous(&last);
        // A synchronous send returns after everything queued before it has run.
        EXPECT_FALSE(thread.hasPendingCalls());
        EXPECT_EQ(next - 1, recorder.destroyed.load());

        recorder.pause = std::chrono::milliseconds(1);  // these are still queued at destruction
        for (int i = 0; i < 50; ++i)
            thread.sendAsynchronous(new Step(recorder, next++));
    }
    expectInOrderOnOneLoopThread(recorder.steps, next);
}

TEST(RunLoopCall, ConcurrentSynchronousSendersEachSeeTheirCallRun)
{
    LoopThread thread;
    RunLoopCall call(thread.loop());
    std::vector<Recorder> recorders(4);
    std::vector<std::thread> senders;
    for (Recorder& recorder : recorders) {
        senders.emplace_back([&] {
            for (int i = 0; i < 100; ++i) {
                Step step(recorder, i);
                call.sendSynchronous(&step);
                std::lock_guard<std::mutex> lock(recorder.mutex);
                ASSERT_EQ(static_cast<std::size_t>(i + 1), recorder.steps.size());
                EXPECT_EQ(thread.id(), recorder.steps.back().second);
            }
        });
    }
    for (std::thread& sender : senders)
        sender.join();
}

TEST(RunLoopCall, SendingFromTheLoopsOwnThreadRunsInlineAfterWhatWasQueued)
{
    Recorder recorder;
    std::promise<void> opener;
    RunLoopThread thread;
    struct Reentrant {
        RunLoopCall& call;
        Recorder& recorder;
        std::shared_future<void> open;
        void run()
        {
            open.wait();  // holds the loop until step 1 is queued behind this
            recorder.note(0);
            Step inner(recorder, 2);
            call.sendSynchronous(&inner);
            recorder.note(3);
        }
    } reentrant{thread, recorder, opener.get_future().share()};
    thread.sendAsynchronous(new Bundle<void>(reentrant, &Reentrant::run));
    thread.sendAsynchronous(new Step(recorder, 1));
    opener.set_value();
    thread.wait();
    EXPECT_FALSE(thread.hasPendingCalls());
    expectInOrderOnOneLoopThread(recorder.steps, 4);
}

TEST(RunLoopCall, RetargetingMovesToTheNewLoopAndDetachingRunsOnTheSender)
{
    Recorder recorder;
    LoopThread oldThread;
    LoopThread newThread;
    RunLoopCall call(oldThread.loop());
    Step before(recorder, 1);
    call.sendSynchronous(&before);
    call.setRunLoop(oldThread.loop());  // same loop: nothing changes
    Step same(recorder, 2);
    call.sendSynchronous(&same);

    call.setRunLoop(newThread.loop());
    EXPECT_EQ(newThread.loop(), call.runLoop());
    Step after(recorder, 3);
    call.sendSynchronous(&after);

    call.clearRunLoop();
    EXPECT_EQ(nullptr, call.runLoop());
    Step detached(recorder, 4);
    call.sendSynchronous(&detached);
    const int destroyed = recorder.destroyed;
    call.sendAsynchronous(new Step(recorder, 5));
    EXPECT_EQ(destroyed + 1, recorder.destroyed.load());
    EXPECT_FALSE(call.hasPendingCalls());

    const std::thread::id self = std::this_thread::get_id();
    const std::thread::id oldId = oldThread.id();
    EXPECT_EQ((Steps{{1, oldId}, {2, oldId}, {3, newThread.id()}, {4, self}, {5, self}}), recorder.steps);
}

}  // namespace
}  // namespace kel
