// Device strings in the platform's 7-bit non-lossy ASCII form.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kel {
namespace platform {

// UTF-16LE text (`count` bytes; an odd last byte is dropped) into the 7-bit form in which
// only ' '..'~', '\n', '\r' and '\t' stand for themselves and everything else is a backslash
// escape: "\\\\" for the backslash, "\\ooo" (three octal digits) for the other characters
// below 0x100 (the C0 controls, U+0000 and DEL included), "\\uxxxx" (lower-case hex) for each
// UTF-16 unit above, surrogates included. Writes at most `capacity - 1` bytes and a NUL,
// never splitting an escape; returns false when the text had to be cut.
bool utf16ToNonLossyAscii(const std::uint8_t* bytes, std::size_t count, char* out, std::size_t capacity);

}  // namespace platform
}  // namespace kel
