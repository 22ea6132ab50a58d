// Parses arbitrary text as a device identifier; whatever parses must format and parse back
// to the same identifier, and whatever does not must leave it invalid.

#include <cstdint>
#include <cstdlib>
#include <string>

#include "lib/kel_usbidentifier.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);  // NUL-terminated by c_str()
    kel::UsbIdentifier identifier(1, 2, 3);
    if (!identifier.initFromString(text.c_str())) {
        if (!identifier.isInvalid())
            std::abort();
        return 0;
    }
    const std::string formatted = identifier.string();
    kel::UsbIdentifier again;
    if (formatted.size() != 18 || !again.initFromString(formatted.c_str()) ||
        again.idVendor() != identifier.idVendor() || again.idProduct() != identifier.idProduct() ||
        again.locationId() != identifier.locationId())
        std::abort();
    return 0;
}
