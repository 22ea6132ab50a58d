#include "lib/kel_runloopthread.h"

#include <cassert>
#include <system_error>

namespace kel {

RunLoopThread::RunLoopThread() : m_thread(), m_state(0)
{
    const int error = ::pthread_create(&m_thread, nullptr, &threadEntry, this);
    if (error != 0)
        throw std::system_error(error, std::generic_category(), "pthread_create");
    std::unique_lock<std::mutex> lock(m_threadMutex);
    m_threadCondition.wait(lock, [this] { return m_state != 0; });
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
    RunLoopThread* self = static_cast<RunLoopThread*>(object);
    platform::RunLoop* runLoop = platform::RunLoop::current();
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
