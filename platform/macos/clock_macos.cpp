// Monotonic ticks from the host's absolute time base.
#include "platform/clock.h"

#include <mach/mach_time.h>

namespace kel {
namespace platform {

std::uint64_t monotonicTicks()
{
    return mach_absolute_time();
}

Timebase monotonicTimebase()
{
    static const Timebase s_timebase = [] {
        mach_timebase_info_data_t info{};
        if (mach_timebase_info(&info) != KERN_SUCCESS || info.denom == 0)
            return Timebase{1, 1};
        return Timebase{info.numer, info.denom};
    }();
    return s_timebase;
}

}  // namespace platform
}  // namespace kel
