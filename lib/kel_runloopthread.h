// A thread whose only job is to run its run loop, with the dispatcher attached to it.
#pragma once

#include <pthread.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <system_error>

#include "lib/kel_runloopcall.h"

namespace kel {

class RunLoopThread : public RunLoopCall {
public:
    // Returns once the thread's loop is running. Throws std::system_error when the thread
    // or its loop cannot be made.
    RunLoopThread();
    // Runs what is still queued on the thread, then stops and joins it. Not from the thread.
    ~RunLoopThread() override;

    // The thread's loop; null once the thread has been asked to exit.
    operator platform::RunLoop*() const { return runLoop(); }

    static void* threadEntry(void* object);
    // Only on the thread, as a synchronous call through this dispatcher.
    void exitRequested();

private:
    pthread_t m_thread;
    std::mutex m_threadMutex;  // taken before the dispatcher's mutex, never after
    std::condition_variable m_threadCondition;
    std::int32_t m_state;  // 0 starting, 1 running, 2 stopped, 3 failed to start
    std::error_code m_startError;
};

}  // namespace kel
