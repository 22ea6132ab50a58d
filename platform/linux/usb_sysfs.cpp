#include "platform/linux/usb_sysfs.h"

#include <cerrno>
#include <cstring>

#include "platform/linux/errno.h"

namespace kel {
namespace platform {

namespace {

constexpr std::uint8_t kDescriptorTypeDevice = 1;
constexpr std::uint8_t kDescriptorTypeConfiguration = 2;
constexpr std::uint8_t kDescriptorTypeString = 3;
constexpr std::size_t kDeviceDescriptorLength = 18;

std::uint16_t readLittle16(const std::uint8_t* bytes)
{
    return static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8);
}

// The configuration descriptor set with the given index, walked by each set's wTotalLength.
bool findConfiguration(const std::vector<std::uint8_t>& descriptors, unsigned index, std::size_t& offset,
                       std::size_t& length)
{
    const unsigned count = descriptors[17];  // bNumConfigurations
    std::size_t position = descriptors[0];
    for (unsigned i = 0; i < count && position + 9 <= descriptors.size(); ++i) {
        if (descriptors[position + 1] != kDescriptorTypeConfiguration)
            return false;
        std::size_t total = readLittle16(&descriptors[position + 2]);
        if (total < 9)
            total = 9;
        if (total > descriptors.size() - position)
            total = descriptors.size() - position;  // a short set as the kernel stored it
        if (i == index) {
            offset = position;
            length = total;
            return true;
        }
        position += total;
    }
    return false;
}

void appendUnit(std::vector<std::uint8_t>& descriptor, std::uint32_t unit)
{
    descriptor.push_back(static_cast<std::uint8_t>(unit & 0xFF));
    descriptor.push_back(static_cast<std::uint8_t>(unit >> 8));
}

// Decodes one UTF-8 sequence at `position`, advancing past it; U+FFFD for an invalid one,
// which consumes the lead byte and any continuation bytes that were valid so far.
std::uint32_t decodeUtf8(const std::string& text, std::size_t& position)
{
    constexpr std::uint32_t kReplacement = 0xFFFD;
    const auto lead = static_cast<std::uint8_t>(text[position++]);
    if (lead < 0x80)
        return lead;
    unsigned extra;
    std::uint32_t codePoint;
    std::uint32_t minimum;
    if ((lead & 0xE0) == 0xC0) {
        extra = 1, codePoint = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        extra = 2, codePoint = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        extra = 3, codePoint = lead & 0x07, minimum = 0x10000;
    } else {
        return kReplacement;
    }
    for (unsigned i = 0; i < extra; ++i) {
        if (position >= text.size() || (static_cast<std::uint8_t>(text[position]) & 0xC0) != 0x80)
            return kReplacement;
        codePoint = codePoint << 6 | (static_cast<std::uint8_t>(text[position++]) & 0x3F);
    }
    if (codePoint < minimum || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF))
        return kReplacement;
    return codePoint;
}

IOReturn answer(const std::uint8_t* bytes, std::size_t length, UsbDevRequest& request)
{
    const std::size_t count = length < request.wLength ? length : request.wLength;
    if (count > 0)
        std::memcpy(request.pData, bytes, count);
    request.wLenDone = static_cast<std::uint32_t>(count);
    return kIOReturnSuccess;
}

}  // namespace

bool usbSpeedCode(const std::string& speed, std::uint8_t& code)
{
    static const struct {
        const char* text;
        std::uint8_t code;
    } kSpeeds[] = {{"1.5", 0}, {"12", 1}, {"480", 2}, {"53.3-480", 2}, {"5000", 3}, {"10000", 4}, {"20000", 5}};
    for (const auto& entry : kSpeeds) {
        if (speed == entry.text) {
            code = entry.code;
            return true;
        }
    }
    return false;
}

std::vector<std::uint8_t> stringDescriptorFromUtf8(const std::string& text)
{
    constexpr std::size_t kMaxUnits = 126;  // 2 + 2 * 126 bytes: the largest even bLength
    std::vector<std::uint8_t> descriptor{0, kDescriptorTypeString};
    std::size_t units = 0;
    for (std::size_t position = 0; position < text.size();) {
        const std::uint32_t codePoint = decodeUtf8(text, position);
        if (codePoint >= 0x10000) {
            if (units + 2 > kMaxUnits)
                break;
            const std::uint32_t offset = codePoint - 0x10000;
            appendUnit(descriptor, 0xD800 | offset >> 10);
            appendUnit(descriptor, 0xDC00 | (offset & 0x3FF));
            units += 2;
        } else {
            if (units + 1 > kMaxUnits)
                break;
            appendUnit(descriptor, codePoint);
            units += 1;
        }
    }
    descriptor[0] = static_cast<std::uint8_t>(descriptor.size());
    return descriptor;
}

bool readUsbKernelCopy(const std::string& syspath, UsbKernelCopy& copy)
{
    static const char* const kStrings[3] = {"manufacturer", "product", "serial"};
    const std::vector<std::uint8_t>& d = copy.descriptors;
    if (!readSysfsBytes(syspath, "descriptors", copy.descriptors))
        return !isResourceShortage(errno);
    copy.hasDeviceDescriptor =
        d.size() >= kDeviceDescriptorLength && d[0] >= kDeviceDescriptorLength && d[1] == kDescriptorTypeDevice;
    for (std::size_t i = 0; i < 3; ++i) {
        // A device without the string has no attribute; don't look for it.
        if (copy.hasDeviceDescriptor && d[14 + i] != 0) {
            copy.held[i] = readSysfsText(syspath, kStrings[i], copy.strings[i]);
            if (!copy.held[i] && isResourceShortage(errno))
                return false;
        }
    }
    return true;
}

IOReturn usbStallStatus()
{
    return ioReturnForErrno(EPIPE);
}

IOReturn answerFromKernelCopy(const UsbKernelCopy& copy, const std::string& syspath, UsbDevRequest& request)
{
    constexpr std::uint8_t kDeviceToHostStandardDevice = 0x80;
    constexpr std::uint8_t kGetConfiguration = 8;
    constexpr std::uint8_t kGetDescriptor = 6;
    constexpr std::uint16_t kUsEnglish = 0x0409;
    request.wLenDone = 0;
    if (request.bmRequestType != kDeviceToHostStandardDevice)
        return kIOReturnUnsupported;
    if (request.pData == nullptr && request.wLength > 0)
        return kIOReturnBadArgument;

    if (request.bRequest == kGetConfiguration) {
        std::string text;
        std::uint32_t value = 0;  // empty while the device is not configured
        if (!readSysfsText(syspath, "bConfigurationValue", text) ||
            (!text.empty() && (!parseNumber(text, 10, value) || value > 0xFF)))
            return usbStallStatus();
        const std::uint8_t configuration = static_cast<std::uint8_t>(value);
        return answer(&configuration, 1, request);
    }
    if (request.bRequest != kGetDescriptor)
        return kIOReturnUnsupported;

    const std::uint8_t type = static_cast<std::uint8_t>(request.wValue >> 8);
    const std::uint8_t index = static_cast<std::uint8_t>(request.wValue & 0xFF);
    const std::vector<std::uint8_t>& d = copy.descriptors;
    switch (type) {
    case kDescriptorTypeDevice:
        if (!copy.hasDeviceDescriptor)
            return usbStallStatus();
        return answer(d.data(), kDeviceDescriptorLength, request);
    case kDescriptorTypeConfiguration: {
        std::size_t offset = 0;
        std::size_t length = 0;
        if (!copy.hasDeviceDescriptor || !findConfiguration(d, index, offset, length))
            return usbStallStatus();
        return answer(d.data() + offset, length, request);
    }
    case kDescriptorTypeString: {
        if (index == 0) {
            const std::uint8_t languages[] = {4, kDescriptorTypeString, kUsEnglish & 0xFF, kUsEnglish >> 8};
            return answer(languages, sizeof languages, request);
        }
        if (!copy.hasDeviceDescriptor || request.wIndex != kUsEnglish)
            return kIOReturnUnsupported;
        for (std::size_t i = 0; i < 3; ++i) {
            if (index != d[14 + i])
                continue;
            if (!copy.held[i])
                return usbStallStatus();
            const std::vector<std::uint8_t> descriptor = stringDescriptorFromUtf8(copy.strings[i]);
            return answer(descriptor.data(), descriptor.size(), request);
        }
        return kIOReturnUnsupported;  // a string the kernel did not read
    }
    default:
        return kIOReturnUnsupported;
    }
}

}  // namespace platform
}  // namespace kel
