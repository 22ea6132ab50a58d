#include "lib/kel_runloopthread.h"

#include <cassert>
#include <system_error>

#include "platform/runloop.h"

namespace kel {

RunLoopThread::RunLoopThread() : m_thread(), m_state(0)
{
    const int error = ::pthread_create(&m_thread, nullptr, &threadEntry, this);
    if (error != 0)
        throw std::system_error(error, std::generic_category(), "pthread_create");
    std::unique_lock<std::mutex> lock(m_threadMutex);
    m_threadCondition.wait(lock, [this] { return m_state != 0; });
    if (m_state == 3) {
        lock.unlock();
        ::pthread_join(m_thread, nullptr);
        throw std::system_error(m_startError, "run loop");
    }
}

RunLoopThread::~RunLoopThread()
{
    call(*this, &RunLoopThread::exitRequested);
    ::pthread_join(m_thread, nullptr);
    std::unique_lock<std::mutex> lock(m_threadMutex);
    m_threadCondition.wait(lock, [this] { return m_state != 1; });
}

void* RunLoopThread::threadEntry(void* object)
{
    const platform::ThreadScope scope;
    RunLoopThread* self = static_cast<RunLoopThread*>(object);
    platform::RunLoop* runLoop;
    try {
        runLoop = platform::RunLoop::current();
    } catch (const std::system_error& error) {
        // Out of descriptors: the constructor reports it, as an exception here would abort.
        std::lock_guard<std::mutex> lock(self->m_threadMutex);
        self->m_startError = error.code();
        self->m_state = 3;
        self->m_threadCondition.notify_all();
        return nullptr;
    }
    {
        std::lock_guard<std::mutex> lock(self->m_threadMutex);
        self->setRunLoop(runLoop);
        self->m_state = 1;
        self->m_threadCondition.notify_all();
    }
    runLoop->run();
    return nullptr;
}

void RunLoopThread::exitRequested()
{
    std::lock_guard<std::mutex> lock(m_threadMutex);
    platform::RunLoop* rl = runLoop();
    assert(rl == platform::RunLoop::current());
    rl->stop();
    clearRunLoop();
    m_state = 2;
    m_threadCondition.notify_all();
}

}  // namespace kel
