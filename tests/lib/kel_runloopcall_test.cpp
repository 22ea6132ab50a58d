// The dispatcher under concurrency: ordering, deletion, synchronous sends from many threads and
// from the loop's own, and the loop followed or left.
#include "lib/kel_runloopcall.h"

#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "lib/kel_runloopthread.h"
#include "tests/support/test_util.h"

namespace kel {
namespace {

using testing::LoopThread;
using Steps = std::vector<std::pair<int, std::thread::id>>;

// Which thread ran each step, in order, and how many steps were deleted. Steps are read once
// the dispatcher says they ran, which orders the reads after the writes.
struct Recorder {
    Steps steps;
    std::atomic<int> destroyed{0};
};

struct Step : BundleBase {
    Step(Recorder& into, int number) : recorder(into), step(number) {}
    ~Step() override { ++recorder.destroyed; }
    void handleRun() override { recorder.steps.emplace_back(step, std::this_thread::get_id()); }

    Recorder& recorder;
    const int step;
};

// A call sending on the loop's own thread: the send runs at once, after what another thread
// queued before it.
struct Reentrant {
    RunLoopCall& call;
    Recorder& recorder;
    int first;
    void run()
    {
        std::thread([this] { call.sendAsynchronous(new Step(recorder, first)); }).join();
        Step inner(recorder, first + 1);
        call.sendSynchronous(&inner);
        Step(recorder, first + 2).run();
    }
};

TEST(RunLoopCall, RunsInOrderOnTheLoopsThreadAndDeletesAsyncBundlesUpToDestruction)
{
    Recorder recorder;
    int next = 0;
    {
        RunLoopThread thread;
        // Floods of sends: each one run in order and deleted by the time wait() returns. (The
        // lost wake-up these once provoked is a narrow race; they rarely reproduce it.)
        for (int round = 0; round < 20; ++round) {
            for (int i = 0; i < 5000; ++i)
                thread.sendAsynchronous(new Step(recorder, next++));
            thread.wait();
            EXPECT_EQ(next, recorder.destroyed.load());
        }
        Reentrant reentrant{thread, recorder, next};
        thread.sendAsynchronous(new Bundle<void>(reentrant, &Reentrant::run));
        thread.wait();
        next += 3;
        for (int i = 0; i < 50; ++i)  // run, and deleted, up to the destruction
            thread.sendAsynchronous(new Step(recorder, next++));
    }
    EXPECT_EQ(next, recorder.destroyed.load());
    ASSERT_EQ(static_cast<std::size_t>(next), recorder.steps.size());
    EXPECT_NE(std::this_thread::get_id(), recorder.steps[0].second);
    for (int i = 0; i < next; ++i)
        EXPECT_EQ(std::make_pair(i, recorder.steps[0].second), recorder.steps[static_cast<std::size_t>(i)]);
}

TEST(RunLoopCall, SendersOnManyThreadsWaitForTheirCallsWhereverItsLoopIs)
{
    LoopThread oldThread;
    LoopThread newThread;
    RunLoopCall call(oldThread.loop());
    std::vector<Recorder> recorders(5);
    std::vector<std::thread> senders;
    for (std::size_t t = 0; t < 4; ++t) {
        senders.emplace_back([&, t] {
            for (int i = 0; i < 100; ++i) {
                Step step(recorders[t], i);
                call.sendSynchronous(&step);
                ASSERT_EQ(static_cast<std::size_t>(i + 1), recorders[t].steps.size());
                EXPECT_EQ(oldThread.id(), recorders[t].steps.back().second);
            }
        });
    }
    for (std::thread& sender : senders)
        sender.join();

    Recorder& recorder = recorders[4];
    const auto send = [&](int number) {
        Step step(recorder, number);
        call.sendSynchronous(&step);
    };
    call.setRunLoop(newThread.loop());
    send(1);
    call.clearRunLoop();  // detached: sends run on the sender
    send(2);
    call.sendAsynchronous(new Step(recorder, 3));
    EXPECT_EQ(3, recorder.destroyed.load());
    const std::thread::id self = std::this_thread::get_id();
    EXPECT_EQ((Steps{{1, newThread.id()}, {2, self}, {3, self}}), recorder.steps);
}

}  // namespace
}  // namespace kel
