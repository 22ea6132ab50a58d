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

IOReturn lockExclusive(int fd)
{
    if (retryOnEintr([fd] { return ::flock(fd, LOCK_EX | LOCK_NB); }) == 0)
        return kIOReturnSuccess;
    return errno == EWOULDBLOCK ? kIOReturnExclusiveAccess : ioReturnForErrno(errno);
}

}  // namespace platform
}  // namespace kel
