#include "platform/linux/location.h"

#include <cstdlib>

namespace kel {
namespace platform {

namespace {

bool parseNumber(const std::string& text, std::size_t& position, unsigned& value)
{
    const std::size_t start = position;
    unsigned long result = 0;
    while (position < text.size() && text[position] >= '0' && text[position] <= '9') {
        result = result * 10 + static_cast<unsigned>(text[position] - '0');
        if (result > 0xFFFF)
            return false;
        ++position;
    }
    value = static_cast<unsigned>(result);
    return position > start;
}

}  // namespace

bool parseUsbDeviceName(const std::string& name, unsigned& bus, std::vector<unsigned>& ports)
{
    ports.clear();
    std::size_t position = 0;
    if (name.compare(0, 3, "usb") == 0) {
        position = 3;
        return parseNumber(name, position, bus) && position == name.size();
    }
    if (!parseNumber(name, position, bus) || position == name.size() || name[position] != '-')
        return false;
    do {
        ++position;  // past '-' or '.'
        unsigned port = 0;
        if (!parseNumber(name, position, port) || port == 0)
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

}  // namespace platform
}  // namespace kel
