// What the HID layer needs from a report descriptor: the largest report of each kind and the
// device's top-level usage.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kel {
namespace platform {

struct HidReportDescriptorSummary {
    // In bytes, counting the report ID byte of numbered reports; 0 when there is no such report.
    std::uint32_t maxInputReportSize = 0;
    std::uint32_t maxOutputReportSize = 0;
    std::uint32_t maxFeatureReportSize = 0;
    bool usesReportIds = false;
    // Of the first top-level application collection; valid when hasUsage.
    bool hasUsage = false;
    std::uint32_t usagePage = 0;
    std::uint32_t usage = 0;
};

// False for a malformed descriptor (truncated item, report ID 0 or above 255, unbalanced
// collections, a pop without a push, too deep a global stack); `summary` is then left as the default.
// Reads no byte outside [data, data + size) and takes time linear in `size`.
bool parseHidReportDescriptor(const std::uint8_t* data, std::size_t size, HidReportDescriptorSummary& summary);

}  // namespace platform
}  // namespace kel
