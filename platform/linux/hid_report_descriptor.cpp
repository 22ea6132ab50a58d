#include "platform/linux/hid_report_descriptor.h"

#include <algorithm>
#include <array>
#include <vector>

namespace kel {
namespace platform {

namespace {

enum ItemType : unsigned { kTypeMain = 0, kTypeGlobal = 1, kTypeLocal = 2, kTypeReserved = 3 };

enum MainTag : unsigned { kMainInput = 0x8, kMainOutput = 0x9, kMainCollection = 0xA, kMainFeature = 0xB,
                          kMainEndCollection = 0xC };
enum GlobalTag : unsigned { kGlobalUsagePage = 0x0, kGlobalReportSize = 0x7, kGlobalReportId = 0x8,
                            kGlobalReportCount = 0x9, kGlobalPush = 0xA, kGlobalPop = 0xB };
enum LocalTag : unsigned { kLocalUsage = 0x0 };

constexpr std::uint8_t kLongItemPrefix = 0xFE;
constexpr std::uint32_t kApplicationCollection = 0x01;
// The kernel allows four; real descriptors use one or two. Deeper nesting is hostile input.
constexpr std::size_t kMaxGlobalStackDepth = 16;
constexpr std::size_t kReportKinds = 3;
constexpr std::size_t kReportIds = 256;
// Bit counts stop growing here, far above any size a report can have, so sums cannot wrap.
constexpr std::uint64_t kBitLimit = std::uint64_t{1} << 40;

struct Globals {
    std::uint32_t usagePage = 0;
    std::uint32_t reportSize = 0;
    std::uint32_t reportCount = 0;
    std::uint32_t reportId = 0;
};

std::uint32_t itemValue(const std::uint8_t* bytes, std::size_t length)
{
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < length; ++i)
        value |= static_cast<std::uint32_t>(bytes[i]) << (8 * i);
    return value;
}

std::uint32_t toBytes(std::uint64_t bits, bool numbered)
{
    const std::uint64_t bytes = (bits + 7) / 8 + (numbered ? 1 : 0);
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(bytes, UINT32_MAX));
}

}  // namespace

bool parseHidReportDescriptor(const std::uint8_t* data, std::size_t size, HidReportDescriptorSummary& summary)
{
    summary = HidReportDescriptorSummary();
    HidReportDescriptorSummary result;

    // Bits per report, by kind (input, output, feature) and report ID; 0 stands for unnumbered.
    std::vector<std::array<std::uint64_t, kReportIds>> bits(kReportKinds);
    std::vector<std::array<bool, kReportIds>> present(kReportKinds);
    for (auto& row : bits)
        row.fill(0);
    for (auto& row : present)
        row.fill(false);

    Globals globals;
    std::vector<Globals> stack;
    bool haveUsage = false;
    std::uint32_t usage = 0;
    std::uint32_t usagePage = 0;
    bool usageHasPage = false;
    std::size_t depth = 0;

    std::size_t position = 0;
    while (position < size) {
        const std::uint8_t prefix = data[position];
        if (prefix == kLongItemPrefix) {
            // Long items carry nothing we use: prefix, data size, tag, data.
            if (size - position < 3)
                return false;
            const std::size_t length = data[position + 1];
            if (size - position - 3 < length)
                return false;
            position += 3 + length;
            continue;
        }
        const std::size_t length = (prefix & 0x3) == 3 ? 4 : (prefix & 0x3);
        if (size - position - 1 < length)
            return false;
        const unsigned type = (prefix >> 2) & 0x3;
        const unsigned tag = prefix >> 4;
        const std::uint32_t value = itemValue(data + position + 1, length);
        position += 1 + length;

        switch (type) {
        case kTypeMain:
            if (tag == kMainInput || tag == kMainOutput || tag == kMainFeature) {
                const std::size_t kind = tag == kMainInput ? 0 : tag == kMainOutput ? 1 : 2;
                std::uint64_t& total = bits[kind][globals.reportId];
                total = std::min(kBitLimit, total + std::uint64_t{globals.reportSize} * globals.reportCount);
                present[kind][globals.reportId] = true;
            } else if (tag == kMainCollection) {
                if (depth == 0 && !result.hasUsage && (value & 0xFF) == kApplicationCollection && haveUsage) {
                    result.hasUsage = true;
                    result.usagePage = usageHasPage ? usagePage : globals.usagePage;
                    result.usage = usage;
                }
                ++depth;
            } else if (tag == kMainEndCollection) {
                if (depth == 0)
                    return false;
                --depth;
            }
            haveUsage = false;
            usageHasPage = false;
            break;
        case kTypeGlobal:
            switch (tag) {
            case kGlobalUsagePage:
                globals.usagePage = value;
                break;
            case kGlobalReportSize:
                globals.reportSize = value;
                break;
            case kGlobalReportCount:
                globals.reportCount = value;
                break;
            case kGlobalReportId:
                if (value == 0 || value >= kReportIds)
                    return false;
                globals.reportId = value;
                result.usesReportIds = true;
                break;
            case kGlobalPush:
                if (stack.size() == kMaxGlobalStackDepth)
                    return false;
                stack.push_back(globals);
                break;
            case kGlobalPop:
                if (stack.empty())
                    return false;
                globals = stack.back();
                stack.pop_back();
                break;
            default:
                break;
            }
            break;
        case kTypeLocal:
            // The collection takes the first usage declared before it.
            if (tag == kLocalUsage && !haveUsage) {
                haveUsage = true;
                usageHasPage = length == 4;
                usage = usageHasPage ? (value & 0xFFFF) : value;
                usagePage = value >> 16;
            }
            break;
        default:
            break;
        }
    }
    // A push left open at the end is harmless and some devices ship one; an open collection is not.
    if (depth != 0)
        return false;

    std::uint32_t* const maxima[kReportKinds] = {&result.maxInputReportSize, &result.maxOutputReportSize,
                                                 &result.maxFeatureReportSize};
    for (std::size_t kind = 0; kind < kReportKinds; ++kind) {
        for (std::size_t id = 0; id < kReportIds; ++id) {
            if (present[kind][id])
                *maxima[kind] = std::max(*maxima[kind], toBytes(bits[kind][id], id != 0));
        }
    }
    summary = result;
    return true;
}

}  // namespace platform
}  // namespace kel
