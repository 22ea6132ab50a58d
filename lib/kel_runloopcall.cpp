#include "lib/kel_runloopcall.h"

#include <cassert>
#include <new>

namespace kel {

namespace {

// The dispatchers whose queue this thread is draining, innermost first.
struct DispatchFrame {
    const RunLoopCall* object;
    DispatchFrame* next;
};
thread_local DispatchFrame* t_dispatching = nullptr;

struct DispatchMark {
    DispatchFrame frame;
    explicit DispatchMark(const RunLoopCall* object) : frame{object, t_dispatching} { t_dispatching = &frame; }
    ~DispatchMark() { t_dispatching = frame.next; }
};

}  // namespace

RunLoopCall::RunLoopCall() : RunLoopCall(platform::RunLoop::current()) {}

RunLoopCall::RunLoopCall(platform::RunLoop* runLoop) : m_runLoop(nullptr), m_pending(0)
{
    setRunLoop(runLoop);
}

RunLoopCall::~RunLoopCall()
{
    clearRunLoop();
    assert(0 == m_runLoop);
    assert(0 == m_runLoopSource);
    m_messages.clear();
}

void RunLoopCall::setRunLoop(platform::RunLoop* runLoop)
{
    if (runLoop == m_runLoop.load())
        return;
    clearRunLoop();
    if (!runLoop)
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    std::shared_ptr<platform::RunLoopSource> source = platform::RunLoopSource::create(this, &dispatchMessages);
    if (!source)
        throw std::bad_alloc();
    m_runLoopSource = source;
    m_runLoop.store(runLoop);
    runLoop->addSource(source);
    // Messages queued before the switch run on the new loop.
    if (!m_messages.empty()) {
        source->signal();
        runLoop->wakeUp();
    }
}

void RunLoopCall::clearRunLoop()
{
    if (m_runLoop.load())
        wait();
    std::shared_ptr<platform::RunLoopSource> source;
    platform::RunLoop* runLoop;
    bool leftOver;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        source = std::move(m_runLoopSource);
        m_runLoopSource = nullptr;
        runLoop = m_runLoop.exchange(nullptr);
        leftOver = !m_messages.empty();
    }
    // Outside the mutex: removal waits for a perform in progress on the loop's thread,
    // and that perform may be waiting for the mutex.
    if (source) {
        if (runLoop)
            runLoop->removeSource(source);
        source->invalidate();
    }
    // Sent after the wait above but before the detach: run here, as a detached object does,
    // rather than leave the sender waiting for a source that is gone.
    if (leftOver)
        dispatchMessages(this);
}

void RunLoopCall::scheduleMessage(BundleBase* bundle, bool deleteAfterRun)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_messages.emplace_back(bundle, deleteAfterRun);
    ++m_pending;
    platform::RunLoop* runLoop = m_runLoop.load();
    if (runLoop && runLoop != platform::RunLoop::current()) {
        // Still under the mutex: the loop cannot drain the message, detach and end its
        // thread (freeing the loop) before this wake-up is done.
        m_runLoopSource->signal();
        runLoop->wakeUp();
        return;
    }
    lock.unlock();
    dispatchMessages(this);
}

void RunLoopCall::sendSynchronous(BundleBase* bundle)
{
    scheduleMessage(bundle, false);
    wait();
}

void RunLoopCall::sendAsynchronous(BundleBase* bundle)
{
    scheduleMessage(bundle, true);
}

void RunLoopCall::dispatchMessages(void* info)
{
    RunLoopCall* object = static_cast<RunLoopCall*>(info);
    const DispatchMark mark(object);
    std::unique_lock<std::mutex> lock(object->m_mutex);
    while (!object->m_messages.empty()) {
        assert(object->m_pending > 0);
        const std::pair<BundleBase*, bool> message = object->m_messages.front();
        object->m_messages.pop_front();
        lock.unlock();
        message.first->run();
        if (message.second && message.first)
            delete message.first;
        lock.lock();
        --object->m_pending;
    }
    assert(object->m_messages.empty());
    object->m_condition.notify_all();
}

void RunLoopCall::wait()
{
    platform::RunLoop* runLoop = m_runLoop.load();
    if (runLoop && runLoop != platform::RunLoop::current()) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_condition.wait(lock, [this] { return m_pending == 0; });
        return;
    }
    dispatchMessages(this);
    // Detached meanwhile by the loop's thread, which may still be running a message
    // (perhaps the caller's): wait for it, unless this thread is the one running it.
    if (!isDispatchingOnThisThread()) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_condition.wait(lock, [this] { return m_pending == 0; });
    }
}

bool RunLoopCall::hasPendingCalls()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_pending != 0;
}

bool RunLoopCall::isDispatchingOnThisThread() const
{
    for (const DispatchFrame* frame = t_dispatching; frame; frame = frame->next) {
        if (frame->object == this)
            return true;
    }
    return false;
}

}  // namespace kel
