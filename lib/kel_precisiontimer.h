// Elapsed time in seconds on the monotonic clock.
#pragma once

#include <cstdint>

namespace kel {

class PrecisionTimer {
public:
    PrecisionTimer();

    void mark();
    double elapsedTimeInSeconds() const;

    // Returns after at least `seconds`; an early wake-up only leads to a shorter sleep.
    static void sleep(double seconds);

    // Length of one tick in seconds, once the first timer has been made.
    static double secondsPerTick() { return g_machToSeconds; }

private:
    std::uint64_t m_start;
    static double g_machToSeconds;  // 0.0 or less: not known yet
};

}  // namespace kel
