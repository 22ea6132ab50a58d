// Runs call bundles on the thread of a given run loop, waiting for them or not.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <utility>

#include "lib/kel_bundle.h"
#include "platform/runloop.h"

namespace kel {

class RunLoopCall {
public:
    // Attached to the constructing thread's run loop.
    RunLoopCall();
    // Null leaves the dispatcher detached: every send runs at once on the sender's thread.
    explicit RunLoopCall(platform::RunLoop* runLoop);
    virtual ~RunLoopCall();

    RunLoopCall(const RunLoopCall&) = delete;
    RunLoopCall& operator=(const RunLoopCall&) = delete;

    // Throws std::bad_alloc when the source cannot be made (the object stays detached).
    void setRunLoop(platform::RunLoop* runLoop);
    void clearRunLoop();
    platform::RunLoop* runLoop() const { return m_runLoop.load(); }

    void scheduleMessage(BundleBase* bundle, bool deleteAfterRun);
    // Returns once the bundle, and everything queued with it, has run.
    void sendSynchronous(BundleBase* bundle);
    // Takes a bundle made with new; deletes it after it has run.
    void sendAsynchronous(BundleBase* bundle);
    static void dispatchMessages(void* info);
    void wait();
    bool hasPendingCalls();

    template <class T, class R>
    R call(T& object, R (T::*method)())
    {
        Bundle<R> bundle(object, method);
        sendSynchronous(&bundle);
        return bundle.result();
    }

private:
    bool isDispatchingOnThisThread() const;

    // Atomic because senders compare it with their own loop without the mutex while the
    // loop's thread may be detaching.
    std::atomic<platform::RunLoop*> m_runLoop;
    std::shared_ptr<platform::RunLoopSource> m_runLoopSource;
    std::mutex m_mutex;
    std::condition_variable m_condition;
    std::int32_t m_pending;
    std::deque<std::pair<BundleBase*, bool>> m_messages;
};

}  // namespace kel
