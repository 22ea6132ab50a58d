// Location IDs of USB devices on Linux, from the device's place on the bus.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kel {
namespace platform {

// Splits a sysfs USB device name: "usb3" is the root hub of bus 3 (no ports), "1-2.3" is
// port 3 of the hub on port 2 of bus 1. False for anything else (interfaces such as "1-2:1.0").
bool parseUsbDeviceName(const std::string& name, unsigned& bus, std::vector<unsigned>& ports);

// The bus number in bits 31-24, then one hexadecimal digit per port from bits 23-20
// downwards: bus 1, ports 2.3 give 0x01230000. A chain that does not fit (a port above 15,
// or more than six ports) keeps a zero in bits 23-20, which no fitting chain has, and packs
// the ports in five bits each below it when at most four ports of at most 31 do fit; the
// rest fall back to the bus's device number in the low bits. Distinct attached devices of
// one bus therefore get distinct IDs; buses above 255 share bits with bus & 0xFF.
std::uint32_t usbLocationId(unsigned bus, const std::vector<unsigned>& ports, unsigned deviceNumber);

// The location ID of the USB device whose sysfs directory is `syspath`; false when its name is
// not a USB device's.
bool usbLocationIdOfSyspath(const std::string& syspath, unsigned deviceNumber, std::uint32_t& locationId);

}  // namespace platform
}  // namespace kel
