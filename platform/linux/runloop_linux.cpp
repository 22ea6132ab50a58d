// The Linux run loop: wake-ups through an eventfd, and an idle loop asleep in ppoll() on it and on
// its fd sources until one of them needs it.
#include "platform/runloop.h"

#include "platform/linux/fd_source.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <shared_mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace kel {
namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

// Loop identities never repeat, so a stale entry for a freed loop cannot be mistaken for
// a newer loop that happens to live at the same address.
std::atomic<std::uint64_t> g_nextLoopId{1};

struct LoopCore;

// What both kinds of source share: the loops they are in and the callbacks in flight.
// Lock order: a loop's mutex before a source's mutex.
struct SourceCore {
    struct Membership {
        std::uint64_t loopId;
        std::weak_ptr<LoopCore> loop;
    };
    struct Running {
        std::uint64_t loopId;
        std::thread::id thread;
    };

    std::mutex mutex;
    std::condition_variable idle;  // a callback has returned
    bool valid = true;
    std::vector<Membership> loops;
    std::vector<Running> running;

    bool isIn(std::uint64_t loopId) const
    {
        return std::any_of(loops.begin(), loops.end(),
                           [loopId](const Membership& m) { return m.loopId == loopId; });
    }

    // Blocks until no callback matching `loopId` (0: any) runs on another thread. A
    // callback running on this thread is the caller itself, further up the stack.
    void waitForCallbacks(std::unique_lock<std::mutex>& lock, std::uint64_t loopId)
    {
        const std::thread::id self = std::this_thread::get_id();
        idle.wait(lock, [&] {
            return std::none_of(running.begin(), running.end(), [&](const Running& r) {
                return r.thread != self && (loopId == 0 || r.loopId == loopId);
            });
        });
    }

    // Claims the right to call back for `loopId`; false when the source left the loop.
    bool enter(std::uint64_t loopId, std::atomic<bool>* signalled)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!valid || !isIn(loopId))
            return false;
        if (signalled && !signalled->exchange(false))
            return false;
        running.push_back({loopId, std::this_thread::get_id()});
        return true;
    }

    void leave(std::uint64_t loopId)
    {
        std::lock_guard<std::mutex> lock(mutex);
        const std::thread::id self = std::this_thread::get_id();
        for (auto it = running.end(); it != running.begin();) {
            --it;
            if (it->loopId == loopId && it->thread == self) {
                running.erase(it);
                break;
            }
        }
        idle.notify_all();
    }
};

template <class Source, class State>
struct Entry {
    std::shared_ptr<Source> source;  // a loop keeps its sources alive
    State* state;
};

}  // namespace

struct RunLoopSource::State : SourceCore {
    void* info;
    Perform perform;
    std::atomic<bool> signalled{false};
};

struct FdSource::State : SourceCore {
    int fd;
    void* info;
    Callback callback;
};

namespace {

struct LoopCore {
    const std::uint64_t id = g_nextLoopId.fetch_add(1);
    int wakeFd = -1;
    std::atomic<bool> wakePending{false};  // an unread write is in wakeFd
    std::atomic<bool> stopPending{false};

    std::mutex mutex;  // guards the source lists and `generation`
    std::vector<Entry<RunLoopSource, RunLoopSource::State>> sources;
    std::vector<Entry<FdSource, FdSource::State>> fdSources;
    std::uint64_t generation = 0;  // bumped on every change of the lists

    LoopCore()
    {
        wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (wakeFd < 0)
            throw std::system_error(errno, std::generic_category(), "eventfd");
    }
    ~LoopCore() { ::close(wakeFd); }

    void wakeUp()
    {
        if (wakePending.exchange(true))
            return;
        const std::uint64_t one = 1;
        while (::write(wakeFd, &one, sizeof one) < 0 && errno == EINTR) {
        }
    }

    void drainWakeUps()
    {
        // Cleared after reading: cleared first, a wake-up landing between the two would be
        // read away yet leave the flag set, and every later wake-up would skip its write.
        // A waker that skips its write here is seen by the loop's next look at its sources.
        std::uint64_t count;
        while (::read(wakeFd, &count, sizeof count) < 0 && errno == EINTR) {
        }
        wakePending.store(false);
    }

    template <class Source, class State>
    void add(std::vector<Entry<Source, State>>& list, const std::shared_ptr<Source>& source, State* state,
             const std::shared_ptr<LoopCore>& self)
    {
        {
            std::lock_guard<std::mutex> loopLock(mutex);
            std::lock_guard<std::mutex> sourceLock(state->mutex);
            if (!state->valid || state->isIn(id))
                return;
            auto& loops = state->loops;
            loops.erase(std::remove_if(loops.begin(), loops.end(),
                                       [](const SourceCore::Membership& m) { return m.loop.expired(); }),
                        loops.end());
            loops.push_back({id, self});
            list.push_back({source, state});
            ++generation;
        }
        wakeUp();
    }

    template <class Source, class State>
    void remove(std::vector<Entry<Source, State>>& list, State* state)
    {
        std::unique_lock<std::mutex> loopLock(mutex);
        std::unique_lock<std::mutex> sourceLock(state->mutex);
        auto& loops = state->loops;
        loops.erase(std::remove_if(loops.begin(), loops.end(),
                                   [this](const SourceCore::Membership& m) { return m.loopId == id; }),
                    loops.end());
        // The entry (and with it possibly the last reference to the source) is released
        // after the locks, since destroying the source takes its own mutex apart.
        Entry<Source, State> removed{nullptr, nullptr};
        for (auto it = list.begin(); it != list.end(); ++it) {
            if (it->state == state) {
                removed = std::move(*it);
                list.erase(it);
                ++generation;
                break;
            }
        }
        loopLock.unlock();
        state->waitForCallbacks(sourceLock, id);
        sourceLock.unlock();
        if (removed.state)
            wakeUp();
    }

    // Drops a source from the lists after it was invalidated.
    template <class Source, class State>
    void forget(std::vector<Entry<Source, State>>& list, State* state)
    {
        Entry<Source, State> removed{nullptr, nullptr};
        {
            std::lock_guard<std::mutex> lock(mutex);
            for (auto it = list.begin(); it != list.end(); ++it) {
                if (it->state == state) {
                    removed = std::move(*it);
                    list.erase(it);
                    ++generation;
                    break;
                }
            }
        }
        if (removed.state)
            wakeUp();
    }
};

// Takes a source out of every loop and waits for its callbacks on other threads.
template <class Source, class State>
void invalidateSource(State* state, std::vector<Entry<Source, State>> LoopCore::*list)
{
    std::vector<SourceCore::Membership> loops;
    {
        std::unique_lock<std::mutex> lock(state->mutex);
        state->valid = false;
        loops.swap(state->loops);
        state->waitForCallbacks(lock, 0);
    }
    for (const SourceCore::Membership& m : loops) {
        if (std::shared_ptr<LoopCore> loop = m.loop.lock())
            loop->forget(loop.get()->*list, state);
    }
}

// Set once, before the main loop adds it.
std::shared_ptr<RunLoopSource> g_mainQueueSource;

bool isMainThread()
{
    return static_cast<pid_t>(::syscall(SYS_gettid)) == ::getpid();
}

}  // namespace

// ---------------------------------------------------------------------------------------

std::shared_ptr<RunLoopSource> RunLoopSource::create(void* info, Perform perform)
{
    if (!perform)
        return nullptr;
    std::unique_ptr<State> state(new State);
    state->info = info;
    state->perform = perform;
    return std::shared_ptr<RunLoopSource>(new RunLoopSource(std::move(state)));
}

RunLoopSource::RunLoopSource(std::unique_ptr<State> state) : m_state(std::move(state)) {}

RunLoopSource::~RunLoopSource() = default;

void RunLoopSource::signal()
{
    m_state->signalled.store(true);
}

void RunLoopSource::invalidate()
{
    invalidateSource(m_state.get(), &LoopCore::sources);
}

bool RunLoopSource::isValid() const
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->valid;
}

std::shared_ptr<FdSource> FdSource::create(int fd, void* info, Callback callback)
{
    if (fd < 0 || !callback)
        return nullptr;
    std::unique_ptr<State> state(new State);
    state->fd = fd;
    state->info = info;
    state->callback = callback;
    return std::shared_ptr<FdSource>(new FdSource(std::move(state)));
}

FdSource::FdSource(std::unique_ptr<State> state) : m_state(std::move(state)) {}

FdSource::~FdSource() = default;

int FdSource::fd() const
{
    return m_state->fd;
}

void FdSource::invalidate()
{
    invalidateSource(m_state.get(), &LoopCore::fdSources);
}

bool FdSource::isValid() const
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->valid;
}

// ---------------------------------------------------------------------------------------

struct RunLoop::State {
    std::shared_ptr<LoopCore> core = std::make_shared<LoopCore>();
};

RunLoop::RunLoop() : m_state(new State) {}

// stop() and wakeUp() from another thread often race with the end of the loop's thread:
// the loop sees the stop, returns, and its thread frees it before the caller has finished
// waking it. Freeing waits for callers already inside those two.
static std::shared_mutex g_loopLifetime;

RunLoop::~RunLoop()
{
    std::lock_guard<std::shared_mutex> lock(g_loopLifetime);
    m_state.reset();
}

namespace {

// Frees a thread's loop when the thread ends.
struct ThreadLoop {
    RunLoop* loop = nullptr;
    bool owned = false;
    ~ThreadLoop()
    {
        if (owned)
            delete loop;
    }
};

thread_local ThreadLoop t_loop;

}  // namespace

RunLoop* RunLoop::current()
{
    if (!t_loop.loop) {
        if (isMainThread()) {
            t_loop.loop = main();
        } else {
            t_loop.loop = new RunLoop;
            t_loop.owned = true;
        }
    }
    return t_loop.loop;
}

RunLoop* RunLoop::main()
{
    // Made with the main queue, whose source it holds for good; never freed, so that
    // threads still running at exit can use it.
    static RunLoop* const s_main = [] {
        RunLoop* loop = new RunLoop;
        DispatchQueue::main();
        loop->addSource(g_mainQueueSource);
        return loop;
    }();
    return s_main;
}

void RunLoop::addSource(const std::shared_ptr<RunLoopSource>& source)
{
    if (source)
        m_state->core->add(m_state->core->sources, source, source->m_state.get(), m_state->core);
}

void RunLoop::removeSource(const std::shared_ptr<RunLoopSource>& source)
{
    if (source)
        m_state->core->remove(m_state->core->sources, source->m_state.get());
}

bool RunLoop::containsSource(const std::shared_ptr<RunLoopSource>& source) const
{
    if (!source)
        return false;
    LoopCore& core = *m_state->core;
    std::lock_guard<std::mutex> lock(core.mutex);
    return std::any_of(core.sources.begin(), core.sources.end(),
                       [&](const auto& entry) { return entry.source == source; });
}

void addFdSource(RunLoop* loop, const std::shared_ptr<FdSource>& source)
{
    if (source) {
        const std::shared_ptr<LoopCore>& core = loop->state().core;
        core->add(core->fdSources, source, source->m_state.get(), core);
    }
}

void removeFdSource(RunLoop* loop, const std::shared_ptr<FdSource>& source)
{
    if (source) {
        const std::shared_ptr<LoopCore>& core = loop->state().core;
        core->remove(core->fdSources, source->m_state.get());
    }
}

void RunLoop::run()
{
    for (;;) {
        const Result result = runFor(-1.0, false);
        if (result == Result::kStopped || result == Result::kFinished)
            return;
    }
}

RunLoop::Result RunLoop::runFor(double seconds, bool returnAfterSourceHandled)
{
    // Keeps the core alive should a callback free this loop's thread-local holder (it
    // cannot on this thread, but a nested run must not depend on that).
    const std::shared_ptr<LoopCore> core = m_state->core;

    // Negative or enormous: no deadline.
    const bool hasDeadline = seconds >= 0.0 && seconds < 1e9;
    const Clock::time_point deadline =
        hasDeadline ? Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                         std::chrono::duration<double>(seconds))
                    : Clock::time_point::max();

    // This frame's view of the lists, refreshed when they change. A nested run keeps its own.
    std::vector<Entry<RunLoopSource, RunLoopSource::State>> sources;
    std::vector<Entry<FdSource, FdSource::State>> fdSources;
    std::vector<pollfd> fds;
    std::uint64_t seen = ~std::uint64_t(0);
    constexpr std::chrono::milliseconds kMaxFailedWait{100};
    std::chrono::milliseconds failedWait{0};

    for (;;) {
        if (core->stopPending.exchange(false))
            return Result::kStopped;
        {
            std::lock_guard<std::mutex> lock(core->mutex);
            if (core->sources.empty() && core->fdSources.empty())
                return Result::kFinished;
            if (seen != core->generation) {
                seen = core->generation;
                sources = core->sources;
                fdSources = core->fdSources;
                fds.assign(1, pollfd{core->wakeFd, POLLIN, 0});
                for (const auto& entry : fdSources)
                    fds.push_back(pollfd{entry.state->fd, POLLIN, 0});
            }
        }

        bool handled = false;
        for (const auto& entry : sources) {
            RunLoopSource::State* state = entry.state;
            if (!state->signalled.load() || !state->enter(core->id, &state->signalled))
                continue;
            state->perform(state->info);
            state->leave(core->id);
            handled = true;
            if (core->stopPending.exchange(false))
                return Result::kStopped;
            if (returnAfterSourceHandled)
                return Result::kHandledSource;
        }

        // Sleep only when nothing ran: a callback may have signalled or added sources.
        timespec timeout{0, 0};
        const timespec* wait = &timeout;
        if (!handled) {
            if (!hasDeadline) {
                wait = nullptr;
            } else {
                const auto left = deadline - Clock::now();
                if (left > Clock::duration::zero()) {
                    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
                    timeout.tv_sec = static_cast<time_t>(ns / 1000000000);
                    timeout.tv_nsec = static_cast<long>(ns % 1000000000);
                }
            }
        }
        for (pollfd& p : fds)
            p.revents = 0;
        const int ready = ::ppoll(fds.data(), fds.size(), wait, nullptr);
        if (ready < 0 && errno != EINTR) {
            // Out of memory, or more descriptors than the limit allows: the next try would most
            // likely fail as well, so it waits a growing pause (up to 100 ms) rather than spin.
            failedWait = std::min(failedWait * 2 + std::chrono::milliseconds(1), kMaxFailedWait);
            std::this_thread::sleep_for(hasDeadline ? std::min<Clock::duration>(failedWait, deadline - Clock::now())
                                                    : Clock::duration(failedWait));
        } else {
            failedWait = std::chrono::milliseconds(0);
        }
        if (ready > 0) {
            if (fds[0].revents)
                core->drainWakeUps();
            for (std::size_t i = 1; i < fds.size(); ++i) {
                const short revents = fds[i].revents;
                if (!revents)
                    continue;
                unsigned events = 0;
                if (revents & POLLIN)
                    events |= FdSource::kReadable;
                if (revents & POLLHUP)
                    events |= FdSource::kHangUp;
                if (revents & (POLLERR | POLLNVAL))
                    events |= FdSource::kError;
                FdSource::State* state = fdSources[i - 1].state;
                if (!state->enter(core->id, nullptr))
                    continue;
                state->callback(state->info, state->fd, events);
                state->leave(core->id);
                handled = true;
                if (core->stopPending.exchange(false))
                    return Result::kStopped;
                if (returnAfterSourceHandled)
                    return Result::kHandledSource;
            }
        }

        if (hasDeadline && Clock::now() >= deadline)
            return Result::kTimedOut;
    }
}

void RunLoop::stop()
{
    std::shared_lock<std::shared_mutex> lock(g_loopLifetime);
    m_state->core->stopPending.store(true);
    m_state->core->wakeUp();
}

void RunLoop::wakeUp()
{
    std::shared_lock<std::shared_mutex> lock(g_loopLifetime);
    m_state->core->wakeUp();
}

// ---------------------------------------------------------------------------------------

// A Linux thread needs nothing around its loop: the scope holds no context.
ThreadScope::ThreadScope() : m_context(nullptr) {}

ThreadScope::~ThreadScope()
{
    (void)m_context;
}

// ---------------------------------------------------------------------------------------

struct DispatchQueue::State {
    std::mutex mutex;
    std::deque<std::function<void()>> work;
    std::shared_ptr<RunLoopSource> source;
    bool draining = false;  // main thread only

    static void perform(void* info);
};

// Runs what was posted before this round began; work posted meanwhile, or by a run loop
// nested in a work item, waits for the next round so that items never overlap.
void DispatchQueue::State::perform(void* info)
{
    State* state = static_cast<State*>(info);
    if (state->draining)
        return;
    state->draining = true;
    std::size_t count;
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        count = state->work.size();
    }
    for (; count > 0; --count) {
        std::function<void()> item;
        {
            std::lock_guard<std::mutex> lock(state->mutex);
            item = std::move(state->work.front());
            state->work.pop_front();
        }
        item();
    }
    state->draining = false;
    std::lock_guard<std::mutex> lock(state->mutex);
    if (!state->work.empty())
        state->source->signal();
}

DispatchQueue::DispatchQueue() : m_state(new State)
{
    m_state->source = RunLoopSource::create(m_state.get(), &State::perform);
    if (!m_state->source)
        throw std::bad_alloc();
}

DispatchQueue::~DispatchQueue() = default;

DispatchQueue* DispatchQueue::main()
{
    static DispatchQueue* const s_main = [] {
        DispatchQueue* queue = new DispatchQueue;
        g_mainQueueSource = queue->m_state->source;
        return queue;
    }();
    return s_main;
}

void DispatchQueue::async(std::function<void()> work)
{
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        m_state->work.push_back(std::move(work));
    }
    m_state->source->signal();
    RunLoop::main()->wakeUp();
}

}  // namespace platform
}  // namespace kel
