#include "platform/linux/hid_report_descriptor.h"

#include <tuple>
#include <vector>

#include <gtest/gtest.h>

namespace kel {
namespace platform {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(HidReportDescriptor, Table)
{
    const struct {
        const char* what;
        Bytes bytes;
        bool valid;  // a rejected descriptor leaves an all-zero summary
        std::uint32_t input, output, feature;  // sizes in bytes
        bool usesReportIds, hasUsage;
        std::uint32_t usagePage, usage;
    } cases[] = {
        {"empty", {}, true, 0, 0, 0, false, false, 0, 0},
        // Report 2: 4 + 8 bits over two items (a second Report ID 2 adds to the first), rounded up,
        // + ID = 3; report 1: 1 byte + ID = 2; an empty feature report is just its ID.
        {"largest report, rounded up",
         {0x85, 0x02, 0x75, 0x04, 0x95, 0x01, 0x81, 0x02, 0x85, 0x01, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02,
          0x85, 0x02, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02, 0x85, 0x03, 0x95, 0x00, 0xB1, 0x02},
         true, 3, 0, 1, true, false, 0, 0},
        // Push, report 7 with 16 bytes out (17 with the ID), pop back to 2 unnumbered bytes in;
        // an unmatched push at the end is tolerated.
        {"push and pop", {0x75, 0x08, 0x95, 0x02, 0xA4, 0x85, 0x07, 0x95, 0x10, 0x91, 0x02, 0xB4, 0x81, 0x02, 0xA4},
         true, 2, 17, 0, true, false, 0, 0},
        // A top-level physical collection, a long item, an extended usage with its own page before
        // the first application collection (a nested one and a later one do not count).
        {"top-level usage",
         {0x05, 0x0C, 0x09, 0x01, 0xA1, 0x00, 0xC0, 0xFE, 0x02, 0x10, 0xAA, 0xBB, 0x0B, 0x05, 0x00, 0x0D, 0x00,
          0x09, 0x07, 0xA1, 0x01, 0xA1, 0x01, 0xC0, 0xC0, 0x09, 0x03, 0xA1, 0x01, 0xC0},
         true, 0, 0, 0, false, true, 0x0D, 5},
        // Four features of 2^31 fields of 2^31 bits: 2^64 bits, which would wrap to nothing.
        {"huge sizes saturate",
         {0x85, 0x01, 0x77, 0x00, 0x00, 0x00, 0x80, 0x97, 0x00, 0x00, 0x00, 0x80, 0xB1, 0x02, 0xB1, 0x02, 0xB1, 0x02,
          0xB1, 0x02},
         true, 0, 0, UINT32_MAX, true, false, 0, 0},
        {"16 pushes", Bytes(16, 0xA4), true, 0, 0, 0, false, false, 0, 0},
        {"17 pushes", Bytes(17, 0xA4), false, 0, 0, 0, false, false, 0, 0},
        {"short item without its data", {0x75}, false, 0, 0, 0, false, false, 0, 0},
        {"four-byte item one byte short", {0x27, 0xFF, 0xFF, 0xFF}, false, 0, 0, 0, false, false, 0, 0},
        {"long item shorter than its size", {0xFE, 0x04, 0x10, 0x01}, false, 0, 0, 0, false, false, 0, 0},
        {"long item without its tag", {0xFE, 0x00}, false, 0, 0, 0, false, false, 0, 0},
        {"report ID 0", {0x85, 0x00}, false, 0, 0, 0, false, false, 0, 0},
        {"report ID 256", {0x86, 0x00, 0x01}, false, 0, 0, 0, false, false, 0, 0},
        {"end without a collection", {0xC0}, false, 0, 0, 0, false, false, 0, 0},
        {"collection never closed", {0x09, 0x01, 0xA1, 0x01}, false, 0, 0, 0, false, false, 0, 0},
        {"pop without a push", {0xB4}, false, 0, 0, 0, false, false, 0, 0},
    };
    for (const auto& c : cases) {
        HidReportDescriptorSummary s;
        s.maxInputReportSize = 99;  // a rejected descriptor resets it, not half-fills it
        EXPECT_EQ(c.valid, parseHidReportDescriptor(c.bytes.data(), c.bytes.size(), s)) << c.what;
        EXPECT_EQ(std::make_tuple(c.input, c.output, c.feature, c.usesReportIds, c.hasUsage, c.usagePage, c.usage),
                  std::make_tuple(s.maxInputReportSize, s.maxOutputReportSize, s.maxFeatureReportSize,
                                  s.usesReportIds, s.hasUsage, s.usagePage, s.usage))
            << c.what;
    }
}

}  // namespace
}  // namespace platform
}  // namespace kel
