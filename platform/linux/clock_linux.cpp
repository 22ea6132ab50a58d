// The Linux clock: CLOCK_MONOTONIC, in nanoseconds.
#include "platform/clock.h"

#include <time.h>

namespace kel {
namespace platform {

std::uint64_t monotonicTicks()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000000u + static_cast<std::uint64_t>(now.tv_nsec);
}

Timebase monotonicTimebase()
{
    return Timebase{1, 1};  // ticks are nanoseconds
}

}  // namespace platform
}  // namespace kel
