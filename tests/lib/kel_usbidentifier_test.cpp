#include "lib/kel_usbidentifier.h"

#include <gtest/gtest.h>

namespace kel {
namespace {

TEST(UsbIdentifier, InvalidOnlyWhenEveryFieldIsAllOnes)
{
    EXPECT_TRUE(UsbIdentifier().isInvalid());
    EXPECT_EQ("ffff-ffff-ffffffff", UsbIdentifier().string());
    for (const UsbIdentifier& valid : {UsbIdentifier(0xFFFF, 0xFFFF, 0), UsbIdentifier(0xFFFF, 0, 0xFFFFFFFF),
                                       UsbIdentifier(0, 0xFFFF, 0xFFFFFFFF)})
        EXPECT_FALSE(valid.isInvalid()) << valid.string();
}

// What the scan accepts, printed back in lower case; null where the parse fails and leaves the
// identifier invalid.
TEST(UsbIdentifier, ParseTable)
{
    const std::pair<const char*, const char*> cases[] = {
        {"0A12-0001-1420ABCD", "0a12-0001-1420abcd"},
        {"\t\n\v\f\r a12-1-f", "0a12-0001-0000000f"},
        {"0a12- 0001- 14200000", "0a12-0001-14200000"},  // a conversion skips white space
        {"0a12-0001-142000001", "0a12-0001-14200000"},   // the ninth digit is ignored
        {"0a12-0001-14200000 trailing", "0a12-0001-14200000"},
        {"0x12-0001-14200000", "0012-0001-14200000"},    // the prefix counts in the width
        {"-0-1-2", "0000-0001-00000002"},                // minus zero is zero
        {"+a12-1-0", "0a12-0001-00000000"},
        {"ffff-ffff-fffffffe", "ffff-ffff-fffffffe"},
        {"ffff-ffff-ffffffff", "ffff-ffff-ffffffff"},    // parses, and is the invalid identifier
        {"", nullptr}, {"   ", nullptr}, {"0a12-0001", nullptr}, {"10a12-0001-14200000", nullptr},
        {"0a12 -0001-14200000", nullptr}, {"0a12-0001 -14200000", nullptr}, {"-1-0001-14200000", nullptr},
        {"0a12--1-0", nullptr}, {"0a12-0001--1", nullptr}, {"g-1-2", nullptr}, {"0a12:0001:14200000", nullptr},
        {"0a12-0001-", nullptr},
    };
    for (const auto& c : cases) {
        UsbIdentifier identifier(1, 2, 3);
        EXPECT_EQ(c.second != nullptr, identifier.initFromString(c.first)) << '"' << c.first << '"';
        EXPECT_EQ(c.second ? c.second : "ffff-ffff-ffffffff", identifier.string()) << '"' << c.first << '"';
    }
}

}  // namespace
}  // namespace kel
