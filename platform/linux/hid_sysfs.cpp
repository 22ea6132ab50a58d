#include "platform/linux/hid_sysfs.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <unistd.h>


#include "platform/linux/hid_report_descriptor.h"
#include "platform/linux/errno.h"
#include "platform/linux/location.h"
#include "platform/linux/sysfs.h"

namespace kel {
namespace platform {

bool readUsbDeviceProperties(const std::string& usbDevicePath, HidMatching& properties)
{
    std::uint32_t vendor = 0;
    std::uint32_t product = 0;
    std::uint32_t version = 0;
    if (!readSysfsHex(usbDevicePath, "idVendor", vendor) || vendor > 0xFFFF ||
        !readSysfsHex(usbDevicePath, "idProduct", product) || product > 0xFFFF ||
        !readSysfsHex(usbDevicePath, "bcdDevice", version) || version > 0xFFFF)
        return false;
    properties[kHidVendorIdKey] = vendor;
    properties[kHidProductIdKey] = product;
    properties[kHidVersionNumberKey] = version;

    std::uint32_t deviceNumber = 0;
    std::uint32_t locationId = 0;
    if (readSysfsDecimal(usbDevicePath, "devnum", deviceNumber) &&
        usbLocationIdOfSyspath(usbDevicePath, deviceNumber, locationId))
        properties[kHidLocationIdKey] = locationId;
    return true;
}

bool readReportDescriptorProperties(const std::string& hidDevicePath, const std::string& node,
                                    HidMatching& properties, bool& usesReportIds)
{
    std::vector<std::uint8_t> descriptor;
    if (!readSysfsBytes(hidDevicePath, "report_descriptor", descriptor) || descriptor.empty()) {
        descriptor.clear();
        const int fd = node.empty() ? -1 : ::open(node.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd >= 0) {
            int size = 0;
            hidraw_report_descriptor raw;
            if (retryOnEintr([&] { return ::ioctl(fd, HIDIOCGRDESCSIZE, &size); }) == 0 && size > 0 &&
                size <= static_cast<int>(sizeof raw.value)) {
                raw.size = static_cast<__u32>(size);
                if (retryOnEintr([&] { return ::ioctl(fd, HIDIOCGRDESC, &raw); }) == 0)
                    descriptor.assign(raw.value, raw.value + size);
            }
            ::close(fd);
        }
    }
    HidReportDescriptorSummary summary;
    if (descriptor.empty() || !parseHidReportDescriptor(descriptor.data(), descriptor.size(), summary))
        return false;
    properties[kHidMaxInputReportSizeKey] = summary.maxInputReportSize;
    properties[kHidMaxOutputReportSizeKey] = summary.maxOutputReportSize;
    properties[kHidMaxFeatureReportSizeKey] = summary.maxFeatureReportSize;
    if (summary.hasUsage) {
        properties[kHidPrimaryUsagePageKey] = summary.usagePage;
        properties[kHidPrimaryUsageKey] = summary.usage;
    }
    usesReportIds = summary.usesReportIds;
    return true;
}

bool hidPropertiesMatch(const HidMatching& matching, const HidMatching& properties)
{
    for (const auto& wanted : matching) {
        const auto found = properties.find(wanted.first);
        if (found == properties.end() || found->second != wanted.second)
            return false;
    }
    return true;
}

bool sysfsPathLess(const std::string& a, const std::string& b)
{
    std::size_t i = 0;
    std::size_t j = 0;
    const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            std::size_t endA = i;
            std::size_t endB = j;
            while (endA < a.size() && isDigit(a[endA]))
                ++endA;
            while (endB < b.size() && isDigit(b[endB]))
                ++endB;
            // Compare the runs as numbers without converting them: skip leading zeros, then
            // the longer run is larger, then the first differing digit decides.
            std::size_t startA = i;
            std::size_t startB = j;
            while (startA + 1 < endA && a[startA] == '0')
                ++startA;
            while (startB + 1 < endB && b[startB] == '0')
                ++startB;
            if (endA - startA != endB - startB)
                return endA - startA < endB - startB;
            const int order = a.compare(startA, endA - startA, b, startB, endB - startB);
            if (order != 0)
                return order < 0;
            i = endA;
            j = endB;
            continue;
        }
        if (a[i] != b[j])
            return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
        ++i;
        ++j;
    }
    if (a.size() - i != b.size() - j)
        return a.size() - i < b.size() - j;
    return a < b;  // equal up to zero padding: any strict order will do
}

}  // namespace platform
}  // namespace kel
