#include "lib/kel_usbidentifier.h"

#include <cctype>
#include <cstdio>

namespace kel {

bool UsbIdentifier::initFromString(const char* text)
{
    while (*text && std::isspace(static_cast<unsigned char>(*text)))
        ++text;

    // The widths bound each field; sscanf's hex conversion still takes a sign, so the
    // range checks catch what "-1" converts to.
    unsigned long long vendor = 0, product = 0, location = 0;
    if (std::sscanf(text, "%04llx-%04llx-%08llx", &vendor, &product, &location) == 3 && vendor < 0x10000 &&
        product < 0x10000 && location < 0x100000000ull) {
        init(static_cast<unsigned short>(vendor), static_cast<unsigned short>(product),
             static_cast<unsigned int>(location));
        return true;
    }
    invalidate();
    return false;
}

std::string UsbIdentifier::string() const
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%04x-%04x-%08x", m_idVendor, m_idProduct, m_locationId);
    return buffer;
}

}  // namespace kel
