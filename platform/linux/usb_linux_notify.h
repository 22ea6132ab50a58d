// Arrival and termination notifications from a UsbEventSource.
#pragma once

#include <memory>

#include "platform/linux/usb_linux_events.h"
#include "platform/usb.h"

namespace kel {
namespace platform {

// A notification port fed by `source`. Null when its run-loop source cannot be made. A source
// without an fd gives a port that lists what is attached and cannot be scheduled.
std::unique_ptr<UsbNotificationPort> createUsbNotificationPort(std::unique_ptr<UsbEventSource> source);

}  // namespace platform
}  // namespace kel
