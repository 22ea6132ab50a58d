#include "platform/linux/hid_report_descriptor.h"

#include <vector>

#include <gtest/gtest.h>

#include "tests/platform/linux/hid_test_descriptors.h"

namespace kel {
namespace platform {
namespace {

using Bytes = std::vector<std::uint8_t>;

HidReportDescriptorSummary parse(const Bytes& bytes, bool expectValid = true)
{
    HidReportDescriptorSummary summary;
    EXPECT_EQ(expectValid, parseHidReportDescriptor(bytes.data(), bytes.size(), summary));
    return summary;
}

TEST(HidReportDescriptor, SummarisesRealDevices)
{
    const HidReportDescriptorSummary dfu = parse(testing::kDfuDescriptor);
    EXPECT_EQ(1023u, dfu.maxFeatureReportSize);
    EXPECT_EQ(64u, dfu.maxInputReportSize);
    EXPECT_EQ(64u, dfu.maxOutputReportSize);
    EXPECT_TRUE(dfu.usesReportIds);
    ASSERT_TRUE(dfu.hasUsage);
    EXPECT_EQ(0xFF00u, dfu.usagePage);
    EXPECT_EQ(1u, dfu.usage);

    const HidReportDescriptorSummary keyboard = parse(testing::kKeyboardDescriptor);
    EXPECT_EQ(8u, keyboard.maxInputReportSize);
    EXPECT_EQ(1u, keyboard.maxOutputReportSize);
    EXPECT_EQ(0u, keyboard.maxFeatureReportSize);
    EXPECT_FALSE(keyboard.usesReportIds);
    EXPECT_EQ(1u, keyboard.usagePage);
    EXPECT_EQ(6u, keyboard.usage);

    // The nested physical collection and the later usage pages do not change the top level.
    const HidReportDescriptorSummary mouse = parse(testing::kMouseDescriptor);
    EXPECT_EQ(3u, mouse.maxInputReportSize);
    EXPECT_EQ(0u, mouse.maxOutputReportSize);
    EXPECT_EQ(1u, mouse.usagePage);
    EXPECT_EQ(2u, mouse.usage);
}

TEST(HidReportDescriptor, SizesRoundUpAndTakeTheLargestReport)
{
    // Report 1: 12 bits over two items, plus the ID byte = 3. Report 2: 4 bytes + ID = 5.
    // The second Report ID 1 adds to the first one's bits rather than starting again.
    const Bytes bytes = {0x85, 0x01, 0x75, 0x04, 0x95, 0x01, 0x81, 0x02,  // 4 bits
                         0x85, 0x02, 0x75, 0x08, 0x95, 0x04, 0x81, 0x02,  // 32 bits
                         0x85, 0x01, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02,  // 8 more bits
                         0x85, 0x03, 0x95, 0x00, 0xB1, 0x02};             // an empty feature report
    const HidReportDescriptorSummary summary = parse(bytes);
    EXPECT_EQ(5u, summary.maxInputReportSize);
    EXPECT_EQ(1u, summary.maxFeatureReportSize);  // just its ID
    EXPECT_EQ(0u, summary.maxOutputReportSize);
    EXPECT_FALSE(summary.hasUsage);
}

TEST(HidReportDescriptor, PushAndPopRestoreTheGlobals)
{
    const Bytes bytes = {0x75, 0x08, 0x95, 0x02,  // 8 bits x 2
                         0xA4,                    // Push
                         0x85, 0x07, 0x95, 0x10,  // report 7, 16 x 8 bits
                         0x91, 0x02,              // Output: 17 bytes with ID
                         0xB4,                    // Pop: no report ID, 2 x 8 bits again
                         0x81, 0x02,
                         0xA4};                   // an unmatched push at the end is tolerated
    const HidReportDescriptorSummary summary = parse(bytes);
    EXPECT_EQ(17u, summary.maxOutputReportSize);
    EXPECT_EQ(2u, summary.maxInputReportSize);
}

TEST(HidReportDescriptor, TopLevelUsageComesFromTheFirstApplicationCollection)
{
    // A top-level physical collection first, then two application collections; the first
    // usage before the collection counts, an extended usage brings its own page, and a long
    // item between items is skipped.
    const Bytes bytes = {0x05, 0x0C, 0x09, 0x01, 0xA1, 0x00, 0xC0,         // physical: ignored
                         0xFE, 0x02, 0x10, 0xAA, 0xBB,                     // long item
                         0x0B, 0x05, 0x00, 0x0D, 0x00, 0x09, 0x07,         // Usage 0x000D:0005, Usage 7
                         0xA1, 0x01, 0xA1, 0x01, 0xC0, 0xC0,               // application (nested one ignored)
                         0x09, 0x03, 0xA1, 0x01, 0xC0};                    // a later application
    const HidReportDescriptorSummary summary = parse(bytes);
    ASSERT_TRUE(summary.hasUsage);
    EXPECT_EQ(0x0Du, summary.usagePage);
    EXPECT_EQ(5u, summary.usage);
}

TEST(HidReportDescriptor, RejectsMalformedDescriptors)
{
    const Bytes cases[] = {
        {0x75},                          // short item without its data
        {0x27, 0xFF, 0xFF, 0xFF},        // four-byte item one byte short
        {0xFE, 0x04, 0x10, 0x01},        // long item shorter than its size
        {0xFE, 0x00},                    // long item without its tag
        {0x85, 0x00},                    // report ID 0
        {0x86, 0x00, 0x01},              // report ID 256
        {0xC0},                          // end collection without a collection
        {0x09, 0x01, 0xA1, 0x01},        // collection never closed
        {0xB4},                          // pop without a push
    };
    for (const Bytes& bytes : cases) {
        HidReportDescriptorSummary summary;
        summary.maxInputReportSize = 99;
        EXPECT_FALSE(parseHidReportDescriptor(bytes.data(), bytes.size(), summary)) << bytes.size();
        EXPECT_EQ(0u, summary.maxInputReportSize);  // reset, not half-filled
        EXPECT_FALSE(summary.hasUsage);
    }

    Bytes deepStack(17, 0xA4);
    parse(deepStack, false);
    Bytes deepEnough(16, 0xA4);
    parse(deepEnough, true);

    HidReportDescriptorSummary summary;
    EXPECT_TRUE(parseHidReportDescriptor(nullptr, 0, summary));
    EXPECT_EQ(0u, summary.maxFeatureReportSize);
}

TEST(HidReportDescriptor, HugeSizesSaturateInsteadOfWrapping)
{
    Bytes bytes = {0x85, 0x01, 0x77, 0xFF, 0xFF, 0xFF, 0xFF, 0x97, 0xFF, 0xFF, 0xFF, 0xFF};
    for (int i = 0; i < 64; ++i) {
        bytes.push_back(0xB1);
        bytes.push_back(0x02);
    }
    const HidReportDescriptorSummary summary = parse(bytes);
    EXPECT_EQ(UINT32_MAX, summary.maxFeatureReportSize);
}

}  // namespace
}  // namespace platform
}  // namespace kel
