// Kernel error numbers as the device layers' status codes.
#pragma once

#include <cerrno>

#include "platform/ioreturn.h"

namespace kel {
namespace platform {

IOReturn ioReturnForErrno(int error);

// Out of file descriptors or memory: a failure that says nothing of the file or device, only
// that the process could not look.
bool isResourceShortage(int error);

// Calls `call` again while it fails with EINTR; its last result.
template <typename Call>
auto retryOnEintr(Call call) -> decltype(call())
{
    decltype(call()) result;
    do
        result = call();
    while (result < 0 && errno == EINTR);
    return result;
}

// Exclusive use of a device node among the programs that lock it too (hidraw and usbfs have
// no seize): a non-blocking flock. kIOReturnExclusiveAccess when another holder has it; a node
// that cannot be locked at all is used unlocked.
IOReturn lockExclusive(int fd);

}  // namespace platform
}  // namespace kel
