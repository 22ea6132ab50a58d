// Reading HID devices' properties from sysfs. Every reader takes a device's sysfs path, so
// that it works on any tree laid out like /sys.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/hid.h"

namespace kel {
namespace platform {

// "VendorID", "ProductID", "VersionNumber" and "LocationID" of the usb_device at
// `usbDevicePath`; false when an ID attribute is missing or malformed.
bool readUsbDeviceProperties(const std::string& usbDevicePath, HidMatching& properties);

// Report sizes and top-level usage from the report descriptor of the hid device at
// `hidDevicePath` (its report_descriptor attribute, or HIDIOCGRDESC on `node` when that
// cannot be read and `node` is not empty). False, and nothing added, when there is no
// readable, well-formed descriptor.
bool readReportDescriptorProperties(const std::string& hidDevicePath, const std::string& node,
                                    HidMatching& properties, bool& usesReportIds);

// Every key of `matching` is a property with the same value.
bool hidPropertiesMatch(const HidMatching& matching, const HidMatching& properties);

// Sysfs paths in natural order (digit runs compare as numbers: "1-2:1.2" before "1-2:1.10").
bool sysfsPathLess(const std::string& a, const std::string& b);

}  // namespace platform
}  // namespace kel
