// The line that tells a user why a device node or sysfs could not be opened or read.
#pragma once

#include <string>

namespace kel {
namespace platform {

// After an open of `path` failed with `error`: when it was refused for lack of permission,
// says on standard error what to do, once per path for the life of the process.
void hintOnAccessDenied(const std::string& path, int error);

// After a read of `path` failed with `error`: the hint above for a refusal, else one line naming
// the path and the error, once per path.
void reportUnreadable(const std::string& path, int error);

}  // namespace platform
}  // namespace kel
