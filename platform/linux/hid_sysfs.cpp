#include "platform/linux/hid_sysfs.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cctype>

#include "platform/linux/hid_report_descriptor.h"
#include "platform/linux/location.h"

namespace kel {
namespace platform {

namespace {

// Sysfs attributes are small; a report descriptor is at most 4096 bytes (HID_MAX_DESCRIPTOR_SIZE).
constexpr std::size_t kMaxAttributeSize = 65536;

bool readFile(const std::string& path, std::string& contents)
{
    contents.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char chunk[4096];
    bool ok = true;
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || contents.size() + static_cast<std::size_t>(n) > kMaxAttributeSize) {
            ok = false;
            break;
        }
        if (n == 0)
            break;
        contents.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return ok;
}

std::string baseName(const std::string& path)
{
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/')
        trimmed.pop_back();
    const std::size_t slash = trimmed.rfind('/');
    return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

int retryIoctl(int fd, unsigned long request, void* argument)
{
    int result;
    do
        result = ::ioctl(fd, request, argument);
    while (result < 0 && errno == EINTR);
    return result;
}

}  // namespace

bool readSysfsText(const std::string& directory, const char* attribute, std::string& value)
{
    if (!readFile(directory + "/" + attribute, value))
        return false;
    while (!value.empty() && (value.back() == '\n' || value.back() == ' '))
        value.pop_back();
    return true;
}

bool readSysfsNumber(const std::string& directory, const char* attribute, int base, std::int64_t& value)
{
    std::string text;
    if (!readSysfsText(directory, attribute, text) || text.empty() || text.size() > 15)
        return false;
    // Digits only: no sign, blanks or "0x", which sysfs never writes.
    std::int64_t result = 0;
    for (const char c : text) {
        const int digit = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                          : std::isxdigit(static_cast<unsigned char>(c))
                              ? std::tolower(static_cast<unsigned char>(c)) - 'a' + 10
                              : base;
        if (digit >= base)
            return false;
        result = result * base + digit;
    }
    value = result;
    return true;
}

bool readSysfsBinary(const std::string& directory, const char* attribute, std::vector<std::uint8_t>& bytes)
{
    std::string contents;
    if (!readFile(directory + "/" + attribute, contents))
        return false;
    bytes.assign(contents.begin(), contents.end());
    return true;
}

bool readUsbDeviceProperties(const std::string& usbDevicePath, HidMatching& properties)
{
    std::int64_t vendor = 0;
    std::int64_t product = 0;
    std::int64_t version = 0;
    if (!readSysfsNumber(usbDevicePath, "idVendor", 16, vendor) || vendor > 0xFFFF ||
        !readSysfsNumber(usbDevicePath, "idProduct", 16, product) || product > 0xFFFF ||
        !readSysfsNumber(usbDevicePath, "bcdDevice", 16, version) || version > 0xFFFF)
        return false;
    properties[kHidVendorIdKey] = vendor;
    properties[kHidProductIdKey] = product;
    properties[kHidVersionNumberKey] = version;

    unsigned bus = 0;
    std::vector<unsigned> ports;
    std::int64_t deviceNumber = 0;
    if (parseUsbDeviceName(baseName(usbDevicePath), bus, ports) &&
        readSysfsNumber(usbDevicePath, "devnum", 10, deviceNumber) && deviceNumber <= 0xFFFF)
        properties[kHidLocationIdKey] = usbLocationId(bus, ports, static_cast<unsigned>(deviceNumber));
    return true;
}

bool readReportDescriptorProperties(const std::string& hidDevicePath, const std::string& node,
                                    HidMatching& properties, bool& usesReportIds)
{
    std::vector<std::uint8_t> descriptor;
    if (!readSysfsBinary(hidDevicePath, "report_descriptor", descriptor) || descriptor.empty()) {
        descriptor.clear();
        const int fd = node.empty() ? -1 : ::open(node.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd >= 0) {
            int size = 0;
            hidraw_report_descriptor raw;
            if (retryIoctl(fd, HIDIOCGRDESCSIZE, &size) == 0 && size > 0 &&
                size <= static_cast<int>(sizeof raw.value)) {
                raw.size = static_cast<__u32>(size);
                if (retryIoctl(fd, HIDIOCGRDESC, &raw) == 0)
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
