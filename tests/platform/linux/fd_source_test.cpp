// Fd sources of the Linux run loop, where the commands cannot reach them. Fd sources serving the
// commands are proven through the binary.
#include "platform/linux/fd_source.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "platform/runloop.h"
#include "tests/support/test_util.h"

namespace kel {
namespace platform {
namespace {

using Result = RunLoop::Result;
using testing::LoopThread;

// A hung-up fd without data reaches the backends only as kHangUp; they drop their source on it.
TEST(FdSource, AHungUpFdWithoutDataIsReportedAsAHangUpOnly)
{
    std::thread([] {
        RunLoop* loop = RunLoop::current();
        int fds[2];
        ASSERT_EQ(0, ::pipe2(fds, O_CLOEXEC));
        ::close(fds[1]);
        unsigned events = 0;
        auto hungUp = FdSource::create(fds[0], &events, [](void* info, int, unsigned seen) {
            *static_cast<unsigned*>(info) = seen;
        });
        addFdSource(loop, hungUp);
        EXPECT_EQ(Result::kHandledSource, loop->runFor(10.0, true));
        EXPECT_EQ(FdSource::kHangUp, events);
        removeFdSource(loop, hungUp);
        ::close(fds[0]);
    }).join();
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
            addFdSource(thread.loop(), source);
            ASSERT_TRUE(testing::eventually([&] { return c.calls > 0; }));
            c.removing = true;
            if (invalidate)
                source->invalidate();
            else
                removeFdSource(thread.loop(), source);
            EXPECT_TRUE(c.finished);
        }
        EXPECT_EQ(1, c.calls.load());  // none after the removal
    }
    ::close(fd);
}

}  // namespace
}  // namespace platform
}  // namespace kel
