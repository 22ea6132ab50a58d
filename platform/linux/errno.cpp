#include "platform/linux/errno.h"

#include <cerrno>

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

}  // namespace platform
}  // namespace kel
