// Run loops: one per thread, asleep until one of their sources needs them.
//
// A version-0 source is run (its perform callback) after some thread has signalled it and
// woken the loop; the platform's devices and notification ports schedule themselves on a loop
// in their own way. There is a single run mode. The main queue runs posted work, in posting
// order, on the main thread's loop. Each backend defines the `State` of these classes and
// their member functions.
#pragma once

#include <functional>
#include <memory>

namespace kel {
namespace platform {

class RunLoop;

// A version-0 source. Create it, add it to one or more loops, signal() it from any thread
// and wake the loop: the loop's thread then calls perform(info) once per signal round.
class RunLoopSource {
public:
    using Perform = void (*)(void* info);

    // Null when the source cannot be made.
    static std::shared_ptr<RunLoopSource> create(void* info, Perform perform);

    ~RunLoopSource();
    RunLoopSource(const RunLoopSource&) = delete;
    RunLoopSource& operator=(const RunLoopSource&) = delete;

    // Marks the source ready; it runs at the next iteration of a loop it is in. Any thread.
    void signal();
    // Removes the source from every loop; perform is never called again. Any thread.
    void invalidate();
    bool isValid() const;

    struct State;

private:
    explicit RunLoopSource(std::unique_ptr<State> state);
    friend class RunLoop;
    std::unique_ptr<State> m_state;
};

class RunLoop {
public:
    enum class Result { kFinished = 1, kStopped = 2, kTimedOut = 3, kHandledSource = 4 };

    // The calling thread's loop, made on first use and freed when the thread ends.
    static RunLoop* current();
    // The main thread's loop. It always holds the main queue's source.
    static RunLoop* main();

    // Any thread. Adding a source twice, or removing one that is not there, does nothing.
    void addSource(const std::shared_ptr<RunLoopSource>& source);
    void removeSource(const std::shared_ptr<RunLoopSource>& source);
    bool containsSource(const std::shared_ptr<RunLoopSource>& source) const;

    // Only on the loop's own thread. run() returns when stopped or when the loop has no
    // sources left. runFor() also returns after `seconds`, or after the first source
    // handled when returnAfterSourceHandled is set.
    void run();
    Result runFor(double seconds, bool returnAfterSourceHandled);

    // Any thread. stop() ends the innermost run() or runFor() of the loop (kStopped);
    // a stop while the loop is not running ends its next run at once.
    void stop();
    // Any thread: makes a waiting loop look at its sources again.
    void wakeUp();

    ~RunLoop();
    RunLoop(const RunLoop&) = delete;
    RunLoop& operator=(const RunLoop&) = delete;

    struct State;
    // The backend's own side of the loop, for its devices and ports that schedule themselves.
    State& state() const { return *m_state; }

private:
    RunLoop();
    std::unique_ptr<State> m_state;
};

// Brackets the body of a thread that runs a loop with what the platform needs around it:
// an autorelease pool on macOS, nothing on Linux.
class ThreadScope {
public:
    ThreadScope();
    ~ThreadScope();
    ThreadScope(const ThreadScope&) = delete;
    ThreadScope& operator=(const ThreadScope&) = delete;

private:
    void* m_context;
};

// Work posted here runs on the main thread's loop, one item at a time, in posting order.
class DispatchQueue {
public:
    static DispatchQueue* main();

    // Any thread.
    void async(std::function<void()> work);

    struct State;

private:
    DispatchQueue();
    ~DispatchQueue();
    std::unique_ptr<State> m_state;
};

}  // namespace platform
}  // namespace kel
