#include "platform/linux/access_hint.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>

namespace kel {
namespace platform {

namespace {

// Retries after a reset open the same node again, a monitor reads the same files again.
bool firstTimeFor(const std::string& path)
{
    static std::mutex mutex;
    static std::set<std::string> said;
    std::lock_guard<std::mutex> lock(mutex);
    return said.insert(path).second;
}

}  // namespace

void hintOnAccessDenied(const std::string& path, int error)
{
    if (error != EACCES && error != EPERM)
        return;
    const int saved = errno;  // callers turn errno into their status after the hint
    if (firstTimeFor(path)) {
        // Device nodes are what the udev rules open up; sysfs is readable to everyone unless
        // the system was set up otherwise.
        const bool deviceNode = path.compare(0, 5, "/dev/") == 0;
        std::fprintf(stderr, "No permission to open %s: %s\n", path.c_str(),
                     deviceNode ? "install the udev rules (60-hiddfu.rules, see hiddfu(1)) or run as root"
                                : "run as root");
    }
    errno = saved;
}

void reportUnreadable(const std::string& path, int error)
{
    if (error == EACCES || error == EPERM) {
        hintOnAccessDenied(path, error);
        return;
    }
    const int saved = errno;
    if (firstTimeFor(path))
        std::fprintf(stderr, "Can't read %s: %s\n", path.c_str(), std::strerror(error));
    errno = saved;
}

}  // namespace platform
}  // namespace kel
