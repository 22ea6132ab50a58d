// Monotonic tick counter and its tick length.
#pragma once

#include <cstdint>

namespace kel {
namespace platform {

// Current tick count of a clock that never jumps (not affected by setting the time).
std::uint64_t monotonicTicks();

// Tick length as a rational number of nanoseconds: one tick = numer / denom ns.
struct Timebase {
    std::uint32_t numer;
    std::uint32_t denom;
};
Timebase monotonicTimebase();

}  // namespace platform
}  // namespace kel
