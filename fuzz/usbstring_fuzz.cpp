// Converts arbitrary bytes, as a device's string descriptor would carry them, into the 7-bit
// escaped form with an arbitrary capacity. The output must be 7-bit, fit, decode back to a
// prefix of the input that stops only where the next character does not fit, and be the
// whole input exactly when the conversion says it is complete. Only printable ASCII other than
// the backslash, and newline, return and tab, stand for themselves; U+0000 is an escape too,
// so the text goes on after it.
//
// Input: one byte of capacity (0-255), then the UTF-16LE text.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "lib/kel_usbdevice.h"

namespace {

bool passes(unsigned unit)
{
    return (unit >= ' ' && unit <= '~' && unit != '\\') || unit == '\n' || unit == '\r' || unit == '\t';
}

std::size_t escapeLength(unsigned unit)
{
    return unit == '\\' ? 2 : passes(unit) ? 1 : unit < 0x100 ? 4 : 6;
}

unsigned digits(const char* text, int count, int base)
{
    unsigned value = 0;
    for (int i = 0; i < count; ++i) {
        const char c = text[i];
        const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : 99;
        if (digit >= base)
            std::abort();
        value = value * unsigned(base) + unsigned(digit);
    }
    return value;
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
    const bool complete = kel::kel_Utf16ToNonLossyAscii(bytes, count, out.data(), capacity);
    if (capacity == 0) {
        if (complete || out[0] != '\x7f')
            std::abort();
        return 0;
    }
    const char* end = static_cast<const char*>(std::memchr(out.data(), '\0', capacity));
    if (!end)
        std::abort();

    std::size_t units = 0;
    for (const char* p = out.data(); p < end; ++units) {
        if (units * 2 + 1 >= count || (*p & 0x80))
            std::abort();
        const unsigned expected = unsigned(bytes[units * 2]) | unsigned(bytes[units * 2 + 1]) << 8;
        unsigned unit;
        if (*p != '\\') {
            unit = unsigned(*p++);
            if (!passes(unit))
                std::abort();
        } else if (end - p >= 2 && p[1] == '\\') {
            unit = '\\';
            p += 2;
        } else if (end - p >= 6 && p[1] == 'u') {
            unit = digits(p + 2, 4, 16);
            if (unit < 0x100)
                std::abort();
            p += 6;
        } else if (end - p >= 4) {
            unit = digits(p + 1, 3, 8);
            if (passes(unit) || unit == '\\' || unit >= 0x100)
                std::abort();
            p += 4;
        } else {
            std::abort();
        }
        if (unit != expected)
            std::abort();
    }
    const std::size_t whole = count / 2;
    if (complete != (units == whole && count % 2 == 0))
        std::abort();
    if (units < whole) {
        const unsigned next = unsigned(bytes[units * 2]) | unsigned(bytes[units * 2 + 1]) << 8;
        if (complete || std::size_t(end - out.data()) + escapeLength(next) <= capacity - 1)
            std::abort();  // cut although the next character fitted
    }
    return 0;
}
