// Device strings through CoreFoundation's own non-lossy ASCII encoder.
#include "platform/macos/refs.h"
#include "platform/text.h"

namespace kel {
namespace platform {

bool utf16ToNonLossyAscii(const std::uint8_t* bytes, std::size_t count, char* out, std::size_t capacity)
{
    if (capacity == 0)
        return false;
    out[0] = '\0';
    // An odd last byte is no character.
    const std::size_t whole = count & ~std::size_t(1);
    const CfRef<CFStringRef> text(CFStringCreateWithBytes(kCFAllocatorDefault, bytes, static_cast<CFIndex>(whole),
                                                          kCFStringEncodingUTF16LE, false));
    if (!text)
        return false;
    if (CFStringGetCString(text.get(), out, static_cast<CFIndex>(capacity), kCFStringEncodingNonLossyASCII))
        return whole == count;
    // Too long: CFStringGetCString leaves nothing, where the documents keep the escapes that fit
    // (as on every platform), never a part of one.
    CFIndex used = 0;
    CFStringGetBytes(text.get(), CFRangeMake(0, CFStringGetLength(text.get())), kCFStringEncodingNonLossyASCII, 0,
                     false, reinterpret_cast<UInt8*>(out), static_cast<CFIndex>(capacity - 1), &used);
    out[used] = '\0';
    return false;
}

}  // namespace platform
}  // namespace kel
