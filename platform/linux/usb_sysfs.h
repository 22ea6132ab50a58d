// What the kernel publishes about a USB device in its sysfs directory, read with plain file
// reads so that a fake tree in any directory stands in for /sys in tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/ioreturn.h"
#include "platform/linux/sysfs.h"

namespace kel {
namespace platform {

// The platform's speed code for the kernel's "speed" text in Mbit/s: 0 low, 1 full, 2 high,
// 3 super, 4 super+ (10 Gbit/s), 5 super+ 2x2 (20 Gbit/s). False for anything else.
bool usbSpeedCode(const std::string& speed, std::uint8_t& code);

// Answers a standard GET_DESCRIPTOR request (device, configuration, string) from what the
// kernel read when the device was enumerated: the `descriptors` attribute (the device
// descriptor followed by the configuration descriptors) and the manufacturer, product and
// serial attributes. String descriptor 0 lists US English only. `wLenDone` gets the number
// of bytes copied, at most `wLength`. kIOReturnNoDevice when the device's directory is gone,
// kIOReturnUnsupported for any other request, kIOReturnNotFound for an index that the kernel
// has nothing for.
IOReturn sysfsDescriptorRequest(const std::string& directory, std::uint8_t bmRequestType, std::uint8_t bRequest,
                                std::uint16_t wValue, std::uint16_t wLength, void* data, std::uint32_t& wLenDone);

// A string descriptor (bLength, type 3, UTF-16LE) for UTF-8 text; invalid sequences become
// U+FFFD and the text is cut, never inside a surrogate pair, to fit the 255-byte limit.
std::vector<std::uint8_t> stringDescriptorFromUtf8(const std::string& text);

}  // namespace platform
}  // namespace kel
