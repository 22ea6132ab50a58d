// Run loops on CFRunLoop: one wrapper per thread (the main thread's wraps the main loop),
// version-0 sources, the main queue on libdispatch's, and the autorelease pool around the body
// of a loop's thread. Sources go into the common modes; loops run in the default mode.
#include "platform/macos/runloop_macos.h"

#include <dispatch/dispatch.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cassert>
#include <condition_variable>
#include <mutex>
#include <new>
#include <shared_mutex>
#include <thread>
#include <vector>

// The run-time's pool calls; no public header declares them.
extern "C" void* objc_autoreleasePoolPush(void);
extern "C" void objc_autoreleasePoolPop(void* context);

namespace kel {
namespace platform {

namespace {

// What a source's perform needs. CF owns it through the source's retain and release callbacks,
// so it lives as long as the CF source, which CF holds while it calls perform: a perform may
// free its RunLoopSource (a dispatcher detaching itself) and still return through here.
struct SourceCore {
    std::atomic<int> references{0};
    void* info = nullptr;
    RunLoopSource::Perform perform = nullptr;
    CFRunLoopSourceRef source = nullptr;  // not owned

    // Performs in progress, so that removal and invalidation can wait for those on other
    // threads (the caller may free what the perform uses right after).
    struct Running {
        CFRunLoopRef loop;
        std::thread::id thread;
    };
    std::mutex mutex;
    std::condition_variable idle;
    std::vector<Running> running;

    static const void* retain(const void* info);
    static void release(const void* info);
    static void performOnLoop(void* info);
    // Blocks while a perform for `loop` (null: any loop) runs on another thread.
    void waitForPerforms(CFRunLoopRef loop);
};

const void* SourceCore::retain(const void* info)
{
    static_cast<SourceCore*>(const_cast<void*>(info))->references.fetch_add(1);
    return info;
}

void SourceCore::release(const void* info)
{
    SourceCore* core = static_cast<SourceCore*>(const_cast<void*>(info));
    if (core->references.fetch_sub(1) == 1)
        delete core;
}

void SourceCore::performOnLoop(void* info)
{
    SourceCore* core = static_cast<SourceCore*>(info);
    CFRunLoopRef loop = CFRunLoopGetCurrent();
    const std::thread::id self = std::this_thread::get_id();
    {
        std::lock_guard<std::mutex> lock(core->mutex);
        // CF still calls a source it picked up before another thread removed or invalidated it.
        if (!CFRunLoopContainsSource(loop, core->source, kCFRunLoopCommonModes))
            return;
        core->running.push_back({loop, self});
    }
    core->perform(core->info);
    std::lock_guard<std::mutex> lock(core->mutex);
    for (auto it = core->running.end(); it != core->running.begin();) {
        --it;
        if (it->loop == loop && it->thread == self) {
            core->running.erase(it);
            break;
        }
    }
    core->idle.notify_all();
}

void SourceCore::waitForPerforms(CFRunLoopRef loop)
{
    const std::thread::id self = std::this_thread::get_id();
    std::unique_lock<std::mutex> lock(mutex);
    idle.wait(lock, [&] {
        return std::none_of(running.begin(), running.end(), [&](const Running& r) {
            return r.thread != self && (loop == nullptr || r.loop == loop);
        });
    });
}

}  // namespace

struct RunLoopSource::State {
    CFRunLoopSourceRef source = nullptr;  // owned
    SourceCore* core = nullptr;           // lives at least as long as `source`
};

std::shared_ptr<RunLoopSource> RunLoopSource::create(void* info, Perform perform)
{
    if (!perform)
        return nullptr;
    SourceCore* core = new SourceCore;
    core->info = info;
    core->perform = perform;
    CFRunLoopSourceContext context{};
    context.version = 0;
    context.info = core;
    context.retain = &SourceCore::retain;
    context.release = &SourceCore::release;
    context.perform = &SourceCore::performOnLoop;
    CFRunLoopSourceRef source = CFRunLoopSourceCreate(kCFAllocatorDefault, 0, &context);
    if (!source) {
        delete core;  // never retained
        return nullptr;
    }
    core->source = source;
    std::unique_ptr<State> state(new State);
    state->source = source;
    state->core = core;
    return std::shared_ptr<RunLoopSource>(new RunLoopSource(std::move(state)));
}

RunLoopSource::RunLoopSource(std::unique_ptr<State> state) : m_state(std::move(state)) {}

RunLoopSource::~RunLoopSource()
{
    invalidate();
    CFRelease(m_state->source);
}

void RunLoopSource::signal()
{
    CFRunLoopSourceSignal(m_state->source);
}

void RunLoopSource::invalidate()
{
    CFRunLoopSourceInvalidate(m_state->source);
    m_state->core->waitForPerforms(nullptr);
}

bool RunLoopSource::isValid() const
{
    return CFRunLoopSourceIsValid(m_state->source);
}

// ---------------------------------------------------------------------------------------

// CF drops a stop sent to a loop that is not running, and a stop made inside a run ends that
// run, never a run nested in it afterwards. A RunLoop keeps the stop pending until some run
// takes it: stop() marks it and signals a private source, whose perform (on the loop's thread,
// inside the innermost run then going) stops that run. The source is in the loop only while a
// stop is pending, so that it never keeps a loop without sources from finishing.
struct RunLoop::State {
    CFRunLoopRef loop = nullptr;  // retained while wrapped
    CFRunLoopSourceRef stopSource = nullptr;
    std::atomic<bool> stopPending{false};
    // The loop's thread only: how deep runs are nested, and the run a stop ended.
    int depth = 0;
    int stoppedDepth = 0;

    std::mutex mutex;
    std::vector<std::shared_ptr<RunLoopSource>> sources;  // a loop keeps its sources alive

    static void performStop(void* info);

    ~State()
    {
        if (stopSource) {
            CFRunLoopSourceInvalidate(stopSource);
            CFRelease(stopSource);
        }
        if (loop)
            CFRelease(loop);
    }
};

void RunLoop::State::performStop(void* info)
{
    State* state = static_cast<State*>(info);
    // Out first: a stop made from now on adds the source again.
    CFRunLoopRemoveSource(state->loop, state->stopSource, kCFRunLoopCommonModes);
    if (state->stopPending.exchange(false)) {
        state->stoppedDepth = state->depth;
        CFRunLoopStop(state->loop);
    }
}

namespace {

// stop() and wakeUp() from another thread often race with the end of the loop's thread: the
// loop sees the stop, returns, and its thread frees it before the caller has finished waking
// it. Freeing waits for callers already inside those two.
std::shared_mutex g_loopLifetime;

void wrap(RunLoop::State& state, CFRunLoopRef loop)
{
    CFRetain(loop);
    state.loop = loop;
    CFRunLoopSourceContext context{};
    context.version = 0;
    context.info = &state;
    context.perform = &RunLoop::State::performStop;
    // Ordered before every other source, so that a pending stop is taken first.
    state.stopSource = CFRunLoopSourceCreate(kCFAllocatorDefault, -1, &context);
    if (!state.stopSource)
        throw std::bad_alloc();
}

// Frees a thread's wrapper when the thread ends.
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

CFRunLoopRef cfRunLoop(RunLoop* loop)
{
    return loop ? loop->state().loop : nullptr;
}

RunLoop::RunLoop() : m_state(new State) {}

RunLoop::~RunLoop()
{
    std::vector<std::shared_ptr<RunLoopSource>> held;
    {
        std::lock_guard<std::shared_mutex> lifetime(g_loopLifetime);
        {
            std::lock_guard<std::mutex> lock(m_state->mutex);
            held.swap(m_state->sources);
        }
        m_state.reset();
    }
    // Let go of the sources last, and outside the locks: the last reference invalidates.
}

RunLoop* RunLoop::current()
{
    if (!t_loop.loop) {
        if (pthread_main_np()) {
            t_loop.loop = main();
        } else {
            std::unique_ptr<RunLoop> loop(new RunLoop);
            wrap(*loop->m_state, CFRunLoopGetCurrent());
            t_loop.loop = loop.release();
            t_loop.owned = true;
        }
    }
    return t_loop.loop;
}

RunLoop* RunLoop::main()
{
    // Never freed, so that threads still running at exit can use it. The main queue needs no
    // source here: CF serves it whenever the main loop runs in a common mode.
    static RunLoop* const s_main = [] {
        RunLoop* loop = new RunLoop;
        wrap(*loop->m_state, CFRunLoopGetMain());
        return loop;
    }();
    return s_main;
}

void RunLoop::addSource(const std::shared_ptr<RunLoopSource>& source)
{
    if (!source || !source->isValid())
        return;
    CFRunLoopAddSource(m_state->loop, source->m_state->source, kCFRunLoopCommonModes);
    std::vector<std::shared_ptr<RunLoopSource>> invalid;
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        auto& held = m_state->sources;
        for (auto it = held.begin(); it != held.end();) {
            if ((*it)->isValid()) {
                ++it;
            } else {
                invalid.push_back(std::move(*it));
                it = held.erase(it);
            }
        }
        if (std::find(held.begin(), held.end(), source) == held.end())
            held.push_back(source);
    }
}

void RunLoop::removeSource(const std::shared_ptr<RunLoopSource>& source)
{
    if (!source)
        return;
    CFRunLoopRemoveSource(m_state->loop, source->m_state->source, kCFRunLoopCommonModes);
    source->m_state->core->waitForPerforms(m_state->loop);
    std::shared_ptr<RunLoopSource> dropped;
    std::lock_guard<std::mutex> lock(m_state->mutex);
    auto& held = m_state->sources;
    const auto found = std::find(held.begin(), held.end(), source);
    if (found != held.end()) {
        dropped = std::move(*found);
        held.erase(found);
    }
}

bool RunLoop::containsSource(const std::shared_ptr<RunLoopSource>& source) const
{
    return source && CFRunLoopContainsSource(m_state->loop, source->m_state->source, kCFRunLoopCommonModes);
}

void RunLoop::run()
{
    State& state = *m_state;
    assert(state.loop == CFRunLoopGetCurrent());
    ++state.depth;
    CFRunLoopRun();
    if (state.stoppedDepth == state.depth)
        state.stoppedDepth = 0;
    --state.depth;
}

RunLoop::Result RunLoop::runFor(double seconds, bool returnAfterSourceHandled)
{
    State& state = *m_state;
    assert(state.loop == CFRunLoopGetCurrent());
    // Negative or enormous: no deadline, which CF spells as CFRunLoopRun does.
    constexpr CFTimeInterval kForever = 1.0e10;
    const CFTimeInterval limit = seconds < 0.0 || seconds > kForever ? kForever : seconds;
    ++state.depth;
    const SInt32 result = CFRunLoopRunInMode(kCFRunLoopDefaultMode, limit, returnAfterSourceHandled);
    // A stop ends the run even when CF saw the stop source as a handled source, or timed out
    // in the same pass.
    const bool stopped = state.stoppedDepth == state.depth;
    if (stopped)
        state.stoppedDepth = 0;
    --state.depth;
    if (stopped)
        return Result::kStopped;
    switch (result) {
    case kCFRunLoopRunFinished:
        return Result::kFinished;
    case kCFRunLoopRunStopped:
        return Result::kStopped;
    case kCFRunLoopRunTimedOut:
        return Result::kTimedOut;
    default:
        return Result::kHandledSource;
    }
}

void RunLoop::stop()
{
    std::shared_lock<std::shared_mutex> lifetime(g_loopLifetime);
    State& state = *m_state;
    state.stopPending.store(true);
    CFRunLoopAddSource(state.loop, state.stopSource, kCFRunLoopCommonModes);
    CFRunLoopSourceSignal(state.stopSource);
    CFRunLoopWakeUp(state.loop);
}

void RunLoop::wakeUp()
{
    std::shared_lock<std::shared_mutex> lifetime(g_loopLifetime);
    CFRunLoopWakeUp(m_state->loop);
}

// ---------------------------------------------------------------------------------------

struct DispatchQueue::State {
    dispatch_queue_t queue;
};

namespace {

void runPosted(void* context)
{
    const std::unique_ptr<std::function<void()>> work(static_cast<std::function<void()>*>(context));
    (*work)();
}

}  // namespace

DispatchQueue::DispatchQueue() : m_state(new State{dispatch_get_main_queue()}) {}

DispatchQueue::~DispatchQueue() = default;

DispatchQueue* DispatchQueue::main()
{
    static DispatchQueue* const s_main = new DispatchQueue;
    return s_main;
}

// libdispatch runs the main queue's work one item at a time, in posting order, and never from
// a run of the main loop nested in an item.
void DispatchQueue::async(std::function<void()> work)
{
    dispatch_async_f(m_state->queue, new std::function<void()>(std::move(work)), &runPosted);
}

// ---------------------------------------------------------------------------------------

ThreadScope::ThreadScope() : m_context(objc_autoreleasePoolPush()) {}

ThreadScope::~ThreadScope()
{
    objc_autoreleasePoolPop(m_context);
}

}  // namespace platform
}  // namespace kel
