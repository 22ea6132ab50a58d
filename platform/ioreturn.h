// Status codes of the device layers. The values are the ones the USB and HID
// interfaces have always used, so that logs and callers compare them as before.
#pragma once

#include <cstdint>

namespace kel {

using IOReturn = std::int32_t;

constexpr IOReturn kIOReturnSuccess = 0;
constexpr IOReturn kIOReturnError = static_cast<IOReturn>(0xE00002BC);
constexpr IOReturn kIOReturnNoMemory = static_cast<IOReturn>(0xE00002BD);
constexpr IOReturn kIOReturnNoResources = static_cast<IOReturn>(0xE00002BE);
constexpr IOReturn kIOReturnBadArgument = static_cast<IOReturn>(0xE00002C2);
constexpr IOReturn kIOReturnExclusiveAccess = static_cast<IOReturn>(0xE00002C5);
constexpr IOReturn kIOReturnNoDevice = static_cast<IOReturn>(0xE00002C0);
constexpr IOReturn kIOReturnNotPrivileged = static_cast<IOReturn>(0xE00002C1);
constexpr IOReturn kIOReturnNotOpen = static_cast<IOReturn>(0xE00002CD);
constexpr IOReturn kIOReturnUnsupported = static_cast<IOReturn>(0xE00002C7);
constexpr IOReturn kIOReturnTimeout = static_cast<IOReturn>(0xE00002D6);
constexpr IOReturn kIOReturnNotAttached = static_cast<IOReturn>(0xE00002D9);
constexpr IOReturn kIOReturnNotReadable = static_cast<IOReturn>(0xE00002CE);
constexpr IOReturn kIOReturnUnderrun = static_cast<IOReturn>(0xE00002E7);
constexpr IOReturn kIOReturnOverrun = static_cast<IOReturn>(0xE00002E8);
constexpr IOReturn kIOReturnNotFound = static_cast<IOReturn>(0xE00002F0);

// Message sent to interest notifications when a device goes away.
constexpr std::uint32_t kIOMessageServiceIsTerminated = 0xE0000010u;

}  // namespace kel
