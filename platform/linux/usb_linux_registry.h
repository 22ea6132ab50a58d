// The registry tree of the driver look-up, from sysfs.
#pragma once

#include <memory>
#include <string>

#include "platform/usb.h"

namespace kel {
namespace platform {

// The registry tree of the USB devices in `devicesDirectory` (/sys/bus/usb/devices): the
// root, every device below it, and each device's interfaces below the device. Null when
// the directory cannot be read.
std::shared_ptr<UsbRegistryEntry> sysfsUsbRegistry(const std::string& devicesDirectory);

}  // namespace platform
}  // namespace kel
