// Attribute files of sysfs device directories, read with plain file reads so that a fake
// tree in any directory stands in for /sys in tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kel {
namespace platform {

// Every reader is false when it cannot read, with errno saying why (EINVAL for a number that
// does not parse). A file unreadable for another reason than its device having gone (ENOENT,
// ENODEV) is named on standard error with the error, once per path.

// The attribute's contents without the kernel's trailing newline.
bool readSysfsText(const std::string& directory, const char* attribute, std::string& text);
// The binary attribute's bytes.
bool readSysfsBytes(const std::string& directory, const char* attribute, std::vector<std::uint8_t>& bytes);
// A number written in hexadecimal (idVendor, bcdDevice, bDeviceClass) or decimal (devnum).
bool readSysfsHex(const std::string& directory, const char* attribute, std::uint32_t& value);
bool readSysfsDecimal(const std::string& directory, const char* attribute, std::uint32_t& value);

// The whole of `text` (after the blanks the kernel pads some fields with) as a number in `base`.
bool parseNumber(const std::string& text, int base, std::uint32_t& value);
// The names in a directory, without "." and "..". False, and errno set, when it cannot be
// read; says nothing.
bool listDirectory(const std::string& path, std::vector<std::string>& names);
// The target of a symbolic link, made absolute and free of "." and ".." when it is relative.
bool readSysfsLink(const std::string& path, std::string& target);
// The last component of a path: "usb1" of "/sys/devices/.../usb1".
std::string baseName(const std::string& path);

}  // namespace platform
}  // namespace kel
