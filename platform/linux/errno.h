// Kernel error numbers as the device layers' status codes.
#pragma once

#include "platform/ioreturn.h"

namespace kel {
namespace platform {

IOReturn ioReturnForErrno(int error);

}  // namespace platform
}  // namespace kel
