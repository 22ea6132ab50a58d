#include "platform/linux/usb_sysfs.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace kel {
namespace platform {
namespace {

std::vector<std::uint8_t> utf16Descriptor(const std::vector<std::uint16_t>& units)
{
    std::vector<std::uint8_t> bytes{static_cast<std::uint8_t>(2 + 2 * units.size()), 3};
    for (std::uint16_t unit : units)
        bytes.insert(bytes.end(), {static_cast<std::uint8_t>(unit), static_cast<std::uint8_t>(unit >> 8)});
    return bytes;
}

// The kernel's UTF-8 copy back into the descriptor the device sent. Two- and three-byte
// sequences are proven by the strings `devices` lists in tests/blackbox/test_devices.py.
TEST(StringDescriptor, FromTheKernelsUtf8)
{
    const struct {
        std::string text;
        std::vector<std::uint16_t> units;
    } cases[] = {
        {"", {}},
        {"\xF0\x9F\x98\x80", {0xD83D, 0xDE00}},
        // A stray continuation byte, a truncated sequence, an overlong '/', an encoded surrogate.
        {"a\x80" "b\xE2\x98" "c", {'a', 0xFFFD, 'b', 0xFFFD, 'c'}},
        {"\xC0\xAF\xED\xA0\x80", {0xFFFD, 0xFFFD}},
        // 126 units fill the 254 bytes a descriptor can hold; a pair that does not fit is dropped whole.
        {std::string(300, 'x'), std::vector<std::uint16_t>(126, 'x')},
        {std::string(125, 'x') + "\xF0\x9D\x84\x9E", std::vector<std::uint16_t>(125, 'x')},
    };
    for (const auto& c : cases)
        EXPECT_EQ(utf16Descriptor(c.units), stringDescriptorFromUtf8(c.text)) << c.text.size();
}

}  // namespace
}  // namespace platform
}  // namespace kel
