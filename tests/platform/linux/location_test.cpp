#include "platform/linux/location.h"

#include <set>

#include <gtest/gtest.h>

namespace kel {
namespace platform {
namespace {

TEST(UsbDeviceName, ParsesRootHubsAndPortChains)
{
    unsigned bus = 0;
    std::vector<unsigned> ports;
    ASSERT_TRUE(parseUsbDeviceName("usb3", bus, ports));
    EXPECT_EQ(3u, bus);
    EXPECT_TRUE(ports.empty());

    ASSERT_TRUE(parseUsbDeviceName("1-2.3", bus, ports));
    EXPECT_EQ(1u, bus);
    EXPECT_EQ((std::vector<unsigned>{2, 3}), ports);

    ASSERT_TRUE(parseUsbDeviceName("12-11", bus, ports));
    EXPECT_EQ(12u, bus);
    EXPECT_EQ((std::vector<unsigned>{11}), ports);
}

TEST(UsbDeviceName, RejectsInterfacesAndMalformedNames)
{
    unsigned bus = 0;
    std::vector<unsigned> ports;
    for (const char* name : {"1-2:1.0", "1-", "1-2.", "-2", "usb", "usbx", "1-0", "1-2..3", "hidraw0", ""})
        EXPECT_FALSE(parseUsbDeviceName(name, bus, ports)) << name;
}

TEST(UsbLocationId, EncodesBusAndOneDigitPerPort)
{
    EXPECT_EQ(0x01230000u, usbLocationId(1, {2, 3}, 5));
    EXPECT_EQ(0x14000000u, usbLocationId(0x14, {}, 1));
    EXPECT_EQ(0x02F12345u, usbLocationId(2, {15, 1, 2, 3, 4, 5}, 9));
}

TEST(UsbLocationId, ChainsThatDoNotFitStayDistinct)
{
    // Every chain of a small tree with wide hubs and a deep branch, plus the root hub.
    std::set<std::uint32_t> seen;
    unsigned deviceNumber = 2;
    std::vector<std::vector<unsigned>> chains;
    for (unsigned a = 1; a <= 20; ++a) {
        chains.push_back({a});
        for (unsigned b = 1; b <= 17; b += 4)
            chains.push_back({a, b});
    }
    chains.push_back({1, 2, 3, 4, 5, 6, 7});
    chains.push_back({16, 2, 3, 4, 5});
    chains.push_back({1, 2, 3, 4, 5, 6});
    EXPECT_TRUE(seen.insert(usbLocationId(1, {}, 1)).second);
    for (const auto& chain : chains)
        EXPECT_TRUE(seen.insert(usbLocationId(1, chain, deviceNumber++)).second) << chain.size();
    EXPECT_EQ(0x01000000u | (16u << 15), usbLocationId(1, {16}, 7));
}

}  // namespace
}  // namespace platform
}  // namespace kel
