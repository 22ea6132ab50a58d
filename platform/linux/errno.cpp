#include "platform/linux/errno.h"

#include <cerrno>

#include <sys/file.h>

namespace kel {
namespace platform {

IOReturn ioReturnForErrno(int error)
{
    switch (error) {
    case ENODEV:
    case ENOENT:
    case ENXIO:
    case ESHUTDOWN:
        return kIOReturnNoDevice;
    case EACCES:
    case EPERM:
        return kIOReturnNotPrivileged;
    case EBUSY:
        return kIOReturnExclusiveAccess;
    case ETIMEDOUT:
        return kIOReturnTimeout;
    case EOVERFLOW:
        return kIOReturnOverrun;
    case EMFILE:
    case ENFILE:
        return kIOReturnNoResources;
    case ENOMEM:
        return kIOReturnNoMemory;
    case EINVAL:
        return kIOReturnBadArgument;
    case ENOTTY:
    case EOPNOTSUPP:
        return kIOReturnUnsupported;
    default:
        return kIOReturnError;
    }
}

bool isResourceShortage(int error)
{
    return error == EMFILE || error == ENFILE || error == ENOMEM;
}

IOReturn lockExclusive(int fd)
{
    // Only a lock held by someone else refuses; a node that cannot be locked at all is used
    // unlocked.
    if (retryOnEintr([fd] { return ::flock(fd, LOCK_EX | LOCK_NB); }) < 0 && errno == EWOULDBLOCK)
        return kIOReturnExclusiveAccess;
    return kIOReturnSuccess;
}

}  // namespace platform
}  // namespace kel
