#include "platform/linux/location.h"

#include <vector>

#include <gtest/gtest.h>

namespace kel {
namespace platform {
namespace {

TEST(UsbDeviceName, Table)
{
    const struct {
        const char* name;
        bool valid;
        unsigned bus;
        std::vector<unsigned> ports;
    } cases[] = {
        {"usb3", true, 3, {}}, {"1-2.3", true, 1, {2, 3}}, {"12-11", true, 12, {11}},
        {"1-2:1.0", false, 0, {}}, {"1-", false, 0, {}}, {"1-2.", false, 0, {}}, {"-2", false, 0, {}},
        {"usb", false, 0, {}}, {"usbx", false, 0, {}}, {"1-0", false, 0, {}}, {"1-2..3", false, 0, {}},
        {"1-65536", false, 0, {}}, {"hidraw0", false, 0, {}}, {"", false, 0, {}},
    };
    for (const auto& c : cases) {
        unsigned bus = 0;
        std::vector<unsigned> ports;
        ASSERT_EQ(c.valid, parseUsbDeviceName(c.name, bus, ports)) << c.name;
        if (c.valid) {
            EXPECT_EQ(std::make_pair(c.bus, c.ports), std::make_pair(bus, ports)) << c.name;
        }
    }
}

// Six ports of at most 15 in nibbles; else four of at most 31 in five bits each, the top
// nibble left zero; else the device number, with the five-bit field below it zero too.
TEST(UsbLocationId, Table)
{
    const struct {
        unsigned bus;
        std::vector<unsigned> ports;
        unsigned devnum;
        std::uint32_t location;
    } cases[] = {
        {1, {2, 3}, 5, 0x01230000},
        {0x14, {}, 1, 0x14000000},
        {2, {15, 1, 2, 3, 4, 5}, 9, 0x02F12345},
        {1, {16}, 7, 0x01000000 | 16u << 15},
        {1, {31, 1, 2, 16}, 7, 0x01000000 | 31u << 15 | 1u << 10 | 2u << 5 | 16u},
        {1, {1, 2, 3, 4, 5, 6, 7}, 0x1234, 0x01001234},
        {1, {16, 2, 3, 4, 5}, 0x7FFF, 0x01007FFF},
        {1, {32}, 0x8001, 0x01000001},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.location, usbLocationId(c.bus, c.ports, c.devnum)) << c.ports.size();
}

}  // namespace
}  // namespace platform
}  // namespace kel
