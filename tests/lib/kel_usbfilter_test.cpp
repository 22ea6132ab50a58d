#include "lib/kel_usbfilter.h"

#include <gtest/gtest.h>

namespace kel {
namespace {

// Vendor-only and vendor-and-product filters are proven through `devices` in tests/blackbox.
TEST(UsbFilter, RangesAreInclusiveInEitherOrderAndUnsigned)
{
    UsbFilter filter(0x1234, 0x4321);
    filter.idVendor().set(0x1FFF, 0x1000);
    filter.idProduct().set(3);
    filter.locationId().set(0x80000000u, 0xFFFFFFFFu);
    const struct {
        unsigned vendor, product, location;
        bool matches;
    } cases[] = {
        {0x1000, 3, 0xFFFFFFFFu, true},  {0x1FFF, 3, 0x80000000u, true},  {0x0FFF, 3, 0x80000000u, false},
        {0x2000, 3, 0x80000000u, false}, {0x1800, 2, 0x80000000u, false}, {0x1800, 4, 0x80000000u, false},
        {0x1800, 3, 0x7FFFFFFFu, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.matches, filter.matches(static_cast<unsigned short>(c.vendor),
                                            static_cast<unsigned short>(c.product), 0xFFFF, c.location))
            << std::hex << c.vendor << ' ' << c.product << ' ' << c.location;
    filter.clear();
    EXPECT_TRUE(filter.matches(0, 0, 0, 0) && filter.matches(0xFFFF, 0xFFFF, 0xFFFF, 0x7FFFFFFFu));
    filter.locationId().set(5);
    filter.locationId().clear();
    EXPECT_TRUE(filter.matches(1, 2, 3, 0));
}

}  // namespace
}  // namespace kel
