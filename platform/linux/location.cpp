#include "platform/linux/location.h"

#include <charconv>

#include "platform/linux/sysfs.h"

namespace kel {
namespace platform {

namespace {

// A decimal number of at most 0xFFFF at `position`, advancing past it.
bool parsePart(const std::string& text, std::size_t& position, unsigned& value)
{
    const char* begin = text.data() + position;
    const auto result = std::from_chars(begin, text.data() + text.size(), value, 10);
    if (result.ec != std::errc() || value > 0xFFFF)
        return false;
    position += static_cast<std::size_t>(result.ptr - begin);
    return true;
}

}  // namespace

bool parseUsbDeviceName(const std::string& name, unsigned& bus, std::vector<unsigned>& ports)
{
    ports.clear();
    std::size_t position = 0;
    if (name.compare(0, 3, "usb") == 0) {
        position = 3;
        return parsePart(name, position, bus) && position == name.size();
    }
    if (!parsePart(name, position, bus) || position == name.size() || name[position] != '-')
        return false;
    do {
        ++position;  // past '-' or '.'
        unsigned port = 0;
        if (!parsePart(name, position, port) || port == 0)
            return false;
        ports.push_back(port);
    } while (position < name.size() && name[position] == '.');
    return position == name.size();
}

std::uint32_t usbLocationId(unsigned bus, const std::vector<unsigned>& ports, unsigned deviceNumber)
{
    const std::uint32_t busBits = (bus & 0xFFu) << 24;

    bool fitsNibbles = ports.size() <= 6;
    for (unsigned port : ports)
        fitsNibbles = fitsNibbles && port >= 1 && port <= 15;
    if (fitsNibbles) {
        std::uint32_t location = busBits;
        unsigned shift = 20;
        for (unsigned port : ports) {
            location |= static_cast<std::uint32_t>(port) << shift;
            shift -= 4;
        }
        return location;
    }

    // Bits 23-20 stay zero from here on; a first five-bit field of zero marks the fallback.
    bool fitsFiveBits = ports.size() <= 4;
    for (unsigned port : ports)
        fitsFiveBits = fitsFiveBits && port >= 1 && port <= 31;
    if (fitsFiveBits) {
        std::uint32_t location = busBits;
        unsigned shift = 15;
        for (unsigned port : ports) {
            location |= static_cast<std::uint32_t>(port) << shift;
            shift -= 5;
        }
        return location;
    }
    return busBits | (deviceNumber & 0x7FFFu);
}

bool usbLocationIdOfSyspath(const std::string& syspath, unsigned deviceNumber, std::uint32_t& locationId)
{
    unsigned bus = 0;
    std::vector<unsigned> ports;
    if (!parseUsbDeviceName(baseName(syspath), bus, ports))
        return false;
    locationId = usbLocationId(bus, ports, deviceNumber);
    return true;
}

}  // namespace platform
}  // namespace kel
