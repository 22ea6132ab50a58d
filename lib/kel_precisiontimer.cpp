#include "lib/kel_precisiontimer.h"

#include <unistd.h>

#include "platform/clock.h"

namespace kel {

double PrecisionTimer::g_machToSeconds = -1.0;

PrecisionTimer::PrecisionTimer() : m_start(0)
{
    if (g_machToSeconds <= 0.0) {
        const platform::Timebase timebase = platform::monotonicTimebase();
        g_machToSeconds = static_cast<double>(timebase.numer) / static_cast<double>(timebase.denom) * 1e-9;
    }
    mark();
}

void PrecisionTimer::mark()
{
    m_start = platform::monotonicTicks();
}

double PrecisionTimer::elapsedTimeInSeconds() const
{
    return static_cast<double>(platform::monotonicTicks() - m_start) * g_machToSeconds;
}

void PrecisionTimer::sleep(double seconds)
{
    const PrecisionTimer timer;
    for (;;) {
        const double remaining = seconds - timer.elapsedTimeInSeconds();
        if (remaining <= 0.0)
            return;
        ::usleep(remaining < 1000.0 ? static_cast<useconds_t>(remaining * 1000000.0) : 900000000u);
    }
}

}  // namespace kel
