#include "lib/kel_usbfilter.h"

#include <gtest/gtest.h>

namespace kel {
namespace {

TEST(UsbFilterRange, WildcardExactAndOrderedRanges)
{
    UsbFilter::Range range;
    EXPECT_TRUE(range.matches(0));
    EXPECT_TRUE(range.matches(0xFFFFFFFFu));

    UsbFilter::Range exact(5);
    EXPECT_TRUE(exact.matches(5));
    EXPECT_FALSE(exact.matches(4));
    EXPECT_FALSE(exact.matches(6));

    range.set(9, 3);
    EXPECT_EQ(3u, range.minimum());
    EXPECT_EQ(9u, range.maximum());
    EXPECT_TRUE(range.matches(3));
    EXPECT_TRUE(range.matches(9));
    EXPECT_FALSE(range.matches(2));
    EXPECT_FALSE(range.matches(10));

    range.set(0x80000000u, 0xFFFFFFFFu);  // compared unsigned
    EXPECT_TRUE(range.matches(0xFFFFFFFFu));
    EXPECT_FALSE(range.matches(0x7FFFFFFFu));

    range.clear();
    EXPECT_TRUE(range.matches(0));
    EXPECT_TRUE(range.matches(12345));
}

TEST(UsbFilter, MatchesOnEveryRange)
{
    EXPECT_TRUE(UsbFilter().matches(0xFFFF, 0xFFFF, 0xFFFF, 0xFFFFFFFFu));
    EXPECT_TRUE(UsbFilter().matches(0, 0, 0, 0));

    const UsbFilter vendor(0x0A12);
    EXPECT_TRUE(vendor.matches(0x0A12, 0x0001, 0x0100, 0x14200000));
    EXPECT_TRUE(vendor.matches(0x0A12, 0xFFFF, 0, 0));
    EXPECT_FALSE(vendor.matches(0x0A13, 0x0001, 0x0100, 0x14200000));

    UsbFilter both(0x1234, 0x4321);
    EXPECT_TRUE(both.matches(0x1234, 0x4321, 7, 9));
    EXPECT_FALSE(both.matches(0x1234, 0x4322, 7, 9));
    EXPECT_FALSE(both.matches(0x1235, 0x4321, 7, 9));

    both.locationId().set(0x14000000, 0x14FFFFFF);
    EXPECT_TRUE(both.matches(0x1234, 0x4321, 7, 0x14200000));
    EXPECT_FALSE(both.matches(0x1234, 0x4321, 7, 0x15000000));

    both.clear();
    EXPECT_TRUE(both.matches(1, 2, 3, 0x15000000));

    UsbFilter ranges;
    ranges.idVendor().set(0x1000, 0x1FFF);
    ranges.idProduct().set(3);
    EXPECT_TRUE(ranges.matches(0x1800, 3, 0, 0));
    EXPECT_FALSE(ranges.matches(0x2000, 3, 0, 0));
    EXPECT_FALSE(ranges.matches(0x1800, 4, 0, 0));
}

}  // namespace
}  // namespace kel
