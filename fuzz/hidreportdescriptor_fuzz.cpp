// Parses arbitrary bytes as a HID report descriptor (the sanitizers catch any read outside
// them). A rejected descriptor must leave the summary empty, whatever it held before; an
// accepted one must keep its summary when a long item, which carries nothing, is appended.

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "platform/linux/hid_report_descriptor.h"

using kel::platform::HidReportDescriptorSummary;

static bool same(const HidReportDescriptorSummary& a, const HidReportDescriptorSummary& b)
{
    return a.maxInputReportSize == b.maxInputReportSize && a.maxOutputReportSize == b.maxOutputReportSize &&
           a.maxFeatureReportSize == b.maxFeatureReportSize && a.usesReportIds == b.usesReportIds &&
           a.hasUsage == b.hasUsage && a.usagePage == b.usagePage && a.usage == b.usage;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // An exact-size copy, so that a read past the end is a heap overflow ASan sees.
    const std::vector<std::uint8_t> bytes(data, data + size);
    HidReportDescriptorSummary summary;
    summary.maxInputReportSize = 99;  // reset, not half-filled, on a rejection
    if (!kel::platform::parseHidReportDescriptor(bytes.data(), bytes.size(), summary)) {
        if (!same(summary, HidReportDescriptorSummary()))
            std::abort();
        return 0;
    }
    std::vector<std::uint8_t> longer(bytes);
    longer.insert(longer.end(), {0xFE, 0x01, 0x00, 0x55});
    HidReportDescriptorSummary again;
    if (!kel::platform::parseHidReportDescriptor(longer.data(), longer.size(), again) || !same(summary, again))
        std::abort();
    return 0;
}
