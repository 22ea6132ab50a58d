// The Linux USB backend: libudev usb_devices as registry nodes answered from the kernel's
// copies in sysfs, control requests through usbfs, hot-plug from a netlink monitor and the
// registry tree from sysfs.
#pragma once

#include "platform/usb.h"

namespace kel {
namespace platform {

UsbBackend& linuxUsbBackend();

}  // namespace platform
}  // namespace kel
