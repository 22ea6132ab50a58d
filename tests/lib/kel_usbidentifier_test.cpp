#include "lib/kel_usbidentifier.h"

#include <gtest/gtest.h>

namespace kel {
namespace {

void expectParsed(const char* text, unsigned vendor, unsigned product, unsigned location)
{
    UsbIdentifier identifier;
    ASSERT_TRUE(identifier.initFromString(text)) << '"' << text << '"';
    EXPECT_EQ(vendor, identifier.idVendor()) << text;
    EXPECT_EQ(product, identifier.idProduct()) << text;
    EXPECT_EQ(location, identifier.locationId()) << text;
}

TEST(UsbIdentifier, FormatsEighteenLowerCaseCharacters)
{
    EXPECT_EQ("0a12-0001-14200000", UsbIdentifier(0x0A12, 0x0001, 0x14200000).string());
    EXPECT_EQ("ffff-ffff-ffffffff", UsbIdentifier().string());
    EXPECT_EQ("0000-0000-00000000", UsbIdentifier(0, 0, 0).string());
    EXPECT_EQ("abcd-ef01-0000000f", UsbIdentifier(0xABCD, 0xEF01, 0xF).string());
}

TEST(UsbIdentifier, InvalidOnlyWhenEveryFieldIsAllOnes)
{
    EXPECT_TRUE(UsbIdentifier().isInvalid());
    EXPECT_FALSE(UsbIdentifier(0xFFFF, 0xFFFF, 0).isInvalid());
    EXPECT_FALSE(UsbIdentifier(0xFFFF, 0, 0xFFFFFFFF).isInvalid());
    EXPECT_FALSE(UsbIdentifier(0, 0xFFFF, 0xFFFFFFFF).isInvalid());
    UsbIdentifier identifier(1, 2, 3);
    identifier.invalidate();
    EXPECT_TRUE(identifier.isInvalid());
    identifier.init(1, 2, 3);
    const UsbIdentifier copy = identifier;
    EXPECT_EQ("0001-0002-00000003", copy.string());
}

TEST(UsbIdentifier, ParsesWhatTheScanAccepts)
{
    expectParsed("0a12-0001-14200000", 0x0A12, 0x0001, 0x14200000);
    expectParsed("0A12-0001-1420ABCD", 0x0A12, 0x0001, 0x1420ABCD);
    expectParsed("  a12-1-0", 0x0A12, 1, 0);
    expectParsed("\t\n\v\f\r a12-1-0", 0x0A12, 1, 0);
    expectParsed("0a12- 0001- 14200000", 0x0A12, 1, 0x14200000);  // a conversion skips white space
    expectParsed("0a12-0001-142000001", 0x0A12, 1, 0x14200000);    // the ninth digit is ignored
    expectParsed("0a12-0001-14200000 trailing", 0x0A12, 1, 0x14200000);
    expectParsed("0x12-0001-14200000", 0x12, 1, 0x14200000);       // the prefix counts in the width
    expectParsed("-0-1-2", 0, 1, 2);                                // minus zero is zero
    expectParsed("+a12-1-0", 0xA12, 1, 0);
    expectParsed("ffff-ffff-fffffffe", 0xFFFF, 0xFFFF, 0xFFFFFFFE);

    UsbIdentifier identifier;
    ASSERT_TRUE(identifier.initFromString("0A12-0001-1420ABCD"));
    EXPECT_EQ("0a12-0001-1420abcd", identifier.string());
    // All-ones parses, and is the invalid identifier.
    EXPECT_TRUE(identifier.initFromString("ffff-ffff-ffffffff"));
    EXPECT_TRUE(identifier.isInvalid());
}

TEST(UsbIdentifier, FailedParseLeavesItInvalid)
{
    for (const char* text : {"", "   ", "0a12-0001", "10a12-0001-14200000", "0a12 -0001-14200000",
                             "0a12-0001 -14200000", "-1-0001-14200000", "0a12--1-0", "0a12-0001--1",
                             "g-1-2", "0a12:0001:14200000", "0a12-0001-"}) {
        UsbIdentifier identifier(1, 2, 3);
        EXPECT_FALSE(identifier.initFromString(text)) << '"' << text << '"';
        EXPECT_TRUE(identifier.isInvalid()) << '"' << text << '"';
    }
}

}  // namespace
}  // namespace kel
