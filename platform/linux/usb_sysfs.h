// What the kernel publishes about a USB device in its sysfs directory, read with plain file
// reads so that a fake tree in any directory stands in for /sys in tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/ioreturn.h"
#include "platform/linux/sysfs.h"
#include "platform/usb.h"

namespace kel {
namespace platform {

// The platform's speed code for the kernel's "speed" text in Mbit/s: 0 low, 1 full, 2 high,
// 3 super, 4 super+ (10 Gbit/s), 5 super+ 2x2 (20 Gbit/s). False for anything else.
bool usbSpeedCode(const std::string& speed, std::uint8_t& code);

// What the kernel read from a USB device at enumeration, read from its sysfs directory once.
struct UsbKernelCopy {
    // `descriptors`: the device descriptor, then the configuration descriptors.
    std::vector<std::uint8_t> descriptors;
    bool hasDeviceDescriptor = false;  // `descriptors` starts with a well-formed one
    // Manufacturer, product and serial: the strings the device descriptor names, as UTF-8.
    std::string strings[3];
    bool held[3] = {false, false, false};
};

// Reads `descriptors` and the three strings; what cannot be read is left out of the copy.
// False, with errno set, when a read failed for want of descriptors or memory: then the copy
// says nothing of the device.
bool readUsbKernelCopy(const std::string& syspath, UsbKernelCopy& copy);

// The status of a request that the device stalls (a malformed or missing kernel copy answers so).
IOReturn usbStallStatus();

// Answers a standard request from the copy: GET_DESCRIPTOR of the device and configuration
// descriptors, the language list (US English, the language the copies are reported in) and
// the three strings in that language, and GET_CONFIGURATION (`bConfigurationValue`, read
// now). kIOReturnUnsupported for what only the device can answer, usbStallStatus() for what
// the kernel should hold but does not. `wLenDone` gets the count copied, at most wLength.
IOReturn answerFromKernelCopy(const UsbKernelCopy& copy, const std::string& syspath, UsbDevRequest& request);

// A string descriptor (bLength, type 3, UTF-16LE) for UTF-8 text; invalid sequences become
// U+FFFD and the text is cut, never inside a surrogate pair, to fit the 255-byte limit.
std::vector<std::uint8_t> stringDescriptorFromUtf8(const std::string& text);

}  // namespace platform
}  // namespace kel
