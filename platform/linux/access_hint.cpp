#include "platform/linux/access_hint.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>

#include <unistd.h>

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

// The rules file in one of the directories udev reads rules from.
bool rulesInstalled()
{
    static const char* const kDirectories[] = {"/etc/udev/rules.d", "/run/udev/rules.d", "/lib/udev/rules.d",
                                               "/usr/lib/udev/rules.d", "/usr/local/lib/udev/rules.d"};
    for (const char* directory : kDirectories) {
        if (::access((std::string(directory) + "/60-hiddfu.rules").c_str(), F_OK) == 0)
            return true;
    }
    return false;
}

// Device nodes are what the udev rules open up; sysfs is readable to everyone unless the system
// was set up otherwise.
const char* accessHint(const std::string& path)
{
    if (path.compare(0, 5, "/dev/") != 0)
        return "run as root";
    if (!rulesInstalled())
        return "install the udev rules (60-hiddfu.rules, see hiddfu(1)) or run as root";
    // A device plugged before the rules came, or a user without a seat.
    return "replug the device or run 'sudo udevadm trigger' to apply the installed udev rules, which give "
           "access at the local seat only (not over SSH), or run as root";
}

}  // namespace

void hintOnAccessDenied(const std::string& path, int error)
{
    if (error != EACCES && error != EPERM)
        return;
    const int saved = errno;  // callers turn errno into their status after the hint
    if (firstTimeFor(path))
        std::fprintf(stderr, "No permission to open %s: %s\n", path.c_str(), accessHint(path));
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
