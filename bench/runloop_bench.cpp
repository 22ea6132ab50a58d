// Run-loop thread costs: synchronous call latency, asynchronous throughput, and (with
// --idle SECONDS) an idle run-loop thread to watch under strace.
//
//   runloop_bench [--calls N] [--idle SECONDS]

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "lib/kel_runloopthread.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Target {
    unsigned long count = 0;
    void touch() { ++count; }
};

double microseconds(Clock::duration d)
{
    return std::chrono::duration<double, std::micro>(d).count();
}

void synchronousLatency(kel::RunLoopThread& thread, int calls)
{
    Target target;
    std::vector<double> samples;
    samples.reserve(static_cast<std::size_t>(calls));
    for (int i = 0; i < calls / 10; ++i)  // warm-up
        thread.call(target, &Target::touch);
    for (int i = 0; i < calls; ++i) {
        const Clock::time_point start = Clock::now();
        thread.call(target, &Target::touch);
        samples.push_back(microseconds(Clock::now() - start));
    }
    std::sort(samples.begin(), samples.end());
    std::printf("synchronous call: %d calls, median %.1f us, p99 %.1f us, max %.1f us\n", calls,
                samples[samples.size() / 2], samples[samples.size() * 99 / 100], samples.back());
}

void asynchronousThroughput(kel::RunLoopThread& thread, int calls)
{
    Target target;
    const Clock::time_point start = Clock::now();
    for (int i = 0; i < calls; ++i)
        thread.sendAsynchronous(new kel::Bundle<void>(target, &Target::touch));
    thread.wait();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (target.count != static_cast<unsigned long>(calls))
        std::fprintf(stderr, "runloop_bench: %lu of %d asynchronous calls ran\n", target.count, calls);
    std::printf("asynchronous calls: %d in %.3f s, %.0f calls/s\n", calls, seconds, calls / seconds);
}

}  // namespace

int main(int argc, char** argv)
{
    int calls = 100000;
    double idleSeconds = 0.0;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--calls") == 0)
            calls = std::max(100, std::atoi(argv[i + 1]));
        else if (std::strcmp(argv[i], "--idle") == 0)
            idleSeconds = std::atof(argv[i + 1]);
    }

    kel::RunLoopThread thread;
    if (idleSeconds > 0.0) {
        // The loop thread should make no system call at all while this sleeps.
        ::usleep(static_cast<useconds_t>(idleSeconds * 1e6));
        return 0;
    }
    synchronousLatency(thread, calls / 5);
    asynchronousThroughput(thread, calls * 10);
    return 0;
}
