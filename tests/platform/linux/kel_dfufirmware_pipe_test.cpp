// DfuFirmware's save through a /proc/self/fd link: Linux only.
#include "lib/kel_dfufirmware.h"

#include <fcntl.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

namespace kel {
namespace {

// Not a regular file: written into, not replaced; a pipe too, behind a /proc/self/fd link as
// /dev/stdout is, which names no path.
TEST(DfuFirmwareFile, SaveWritesIntoAPipeBehindAProcSelfFdLink)
{
    int ends[2];
    ASSERT_EQ(0, ::pipe2(ends, O_NONBLOCK));  // a read finds what was written, or fails
    EXPECT_TRUE(DfuFirmware().save(("/proc/self/fd/" + std::to_string(ends[1])).c_str()));
    char suffix[17];
    EXPECT_EQ(16, ::read(ends[0], suffix, sizeof suffix));
    ::close(ends[0]);
    ::close(ends[1]);
}

}  // namespace
}  // namespace kel
