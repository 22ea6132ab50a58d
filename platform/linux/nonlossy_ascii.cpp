// The Linux definition of the 7-bit form of device strings: the non-lossy ASCII escapes written
// out by hand (macOS has CoreFoundation's own encoder), so that a device's strings read the
// same on either backend.
#include "platform/text.h"

#include <cstring>

namespace kel {
namespace platform {

bool utf16ToNonLossyAscii(const std::uint8_t* bytes, std::size_t count, char* out, std::size_t capacity)
{
    static const char kHex[] = "0123456789abcdef";
    if (capacity == 0) {
        return false;
    }
    std::size_t used = 0;
    bool complete = true;
    for (std::size_t i = 0; i + 1 < count; i += 2) {
        unsigned unit = unsigned(bytes[i]) | unsigned(bytes[i + 1]) << 8;
        char escape[6];
        std::size_t length = 0;
        if (unit == '\\') {
            escape[length++] = '\\';
            escape[length++] = '\\';
        } else if ((unit >= ' ' && unit <= '~') || unit == '\n' || unit == '\r' || unit == '\t') {
            escape[length++] = char(unit);
        } else if (unit < 0x100) {
            escape[length++] = '\\';
            escape[length++] = char('0' + (unit >> 6));
            escape[length++] = char('0' + ((unit >> 3) & 7));
            escape[length++] = char('0' + (unit & 7));
        } else {
            escape[length++] = '\\';
            escape[length++] = 'u';
            for (int shift = 12; shift >= 0; shift -= 4) {
                escape[length++] = kHex[(unit >> shift) & 0xF];
            }
        }
        if (used + length > capacity - 1) {
            complete = false;
            break;
        }
        std::memcpy(out + used, escape, length);
        used += length;
    }
    out[used] = '\0';
    return complete && (count % 2 == 0);
}

}  // namespace platform
}  // namespace kel
