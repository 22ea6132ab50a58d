#include "platform/linux/hid_sysfs.h"

#include <gtest/gtest.h>

namespace kel {
namespace platform {
namespace {

// A hidraw node whose USB device gave no location (its device number unreadable) must not be
// taken for the device at location 0, which the engine's matching always names.
TEST(HidPropertiesMatch, AMissingPropertyNeverMatches)
{
    const HidMatching properties = {{kHidLocationIdKey, 0x01300000}, {kHidVendorIdKey, 0x0a12}};
    const HidMatching withoutLocation = {{kHidVendorIdKey, 0x0a12}};
    const struct {
        HidMatching matching;
        const HidMatching& properties;
        bool matches;
    } cases[] = {
        {{{kHidLocationIdKey, 0x01300000}, {kHidVendorIdKey, 0x0a12}}, properties, true},
        {{{kHidLocationIdKey, 0x01300000}, {kHidVendorIdKey, 0x0a13}}, properties, false},
        {{{kHidLocationIdKey, 0x01300000}}, withoutLocation, false},
        {{{kHidLocationIdKey, 0}}, withoutLocation, false},
        {{{kHidLocationIdKey, 0x01300000}, {kHidPrimaryUsageKey, 1}}, properties, false},
    };
    for (std::size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i)
        EXPECT_EQ(cases[i].matches, hidPropertiesMatch(cases[i].matching, cases[i].properties)) << "case " << i;
}

}  // namespace
}  // namespace platform
}  // namespace kel
