// Converts arbitrary bytes, as a device's string descriptor would carry them, into the 7-bit
// escaped form with an arbitrary capacity, and compares the result with the rule spelled out one
// UTF-16 unit at a time: only printable ASCII other than the backslash, and newline, return and
// tab, stand for themselves; the backslash is doubled; other units below U+0100 (U+0000
// included, so the text goes on after it) are three octal digits, the rest four hex digits. The
// output holds the longest prefix of whole escapes that fits, and is complete exactly when that
// is every unit and no odd byte was left over.
//
// Input: one byte of capacity (0-255), then the UTF-16LE text.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/text.h"

namespace {

std::string escape(unsigned unit)
{
    if (unit == '\\')
        return "\\\\";
    if ((unit >= ' ' && unit <= '~') || unit == '\n' || unit == '\r' || unit == '\t')
        return std::string(1, char(unit));
    char text[8];
    std::snprintf(text, sizeof text, unit < 0x100 ? "\\%03o" : "\\u%04x", unit);
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::size_t capacity = data[0];
    const std::uint8_t* bytes = data + 1;
    const std::size_t count = size - 1;
    std::vector<char> out(capacity + 1, '\x7f');
    const bool complete = kel::platform::utf16ToNonLossyAscii(bytes, count, out.data(), capacity);
    if (capacity == 0) {
        if (complete || out[0] != '\x7f')
            std::abort();
        return 0;
    }

    std::string expected;
    bool fits = true;
    for (std::size_t i = 0; i + 1 < count && fits; i += 2) {
        const std::string next = escape(unsigned(bytes[i]) | unsigned(bytes[i + 1]) << 8);
        fits = expected.size() + next.size() <= capacity - 1;
        if (fits)
            expected += next;
    }
    if (!std::memchr(out.data(), '\0', capacity) || out[capacity] != '\x7f' || expected != out.data() ||
        complete != (fits && count % 2 == 0))
        std::abort();
    return 0;
}
