// Writes a DFU file for demonstrations and benchmarks: an image that starts with a CSR firmware
// file header, followed by reproducible pseudo-random bytes, and a short auxiliary block.
//
//   mkdfu <output> [imageSize [idVendor [idProduct [bcdDevice]]]]

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "lib/kel_dfufirmware.h"
#include "lib/kel_endian.h"

namespace {

bool parseNumber(const char* text, unsigned long long maximum, unsigned long long& value)
{
    char* end = nullptr;
    value = std::strtoull(text, &end, 0);
    return *text && !*end && value <= maximum;
}

}  // namespace

int main(int argc, char** argv)
{
    unsigned long long size = 4096, vendor = 0x0A12, product = 0x0001, release = 0x0100;
    if (argc < 2 || argc > 6 || (argc > 2 && !parseNumber(argv[2], 1ull << 30, size)) ||
        (argc > 3 && !parseNumber(argv[3], 0xFFFF, vendor)) || (argc > 4 && !parseNumber(argv[4], 0xFFFF, product)) ||
        (argc > 5 && !parseNumber(argv[5], 0xFFFF, release))) {
        std::fprintf(stderr, "usage: %s <output> [imageSize [idVendor [idProduct [bcdDevice]]]]\n", argv[0]);
        return 2;
    }

    std::vector<unsigned char> image(size);
    std::uint32_t state = 0x2545F491u;
    for (std::size_t i = 0; i + 4 <= image.size(); i += 4) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        kel::kel_EndianWriteLittleU32(image.data(), static_cast<unsigned>(i), state);
    }
    constexpr std::size_t kHeaderLength = 100;
    if (image.size() >= kHeaderLength) {
        std::memcpy(image.data(), "CSR-dfu2", 8);
        kel::kel_EndianWriteLittleU16(image.data(), 8, 0x0100);
        kel::kel_EndianWriteLittleU32(image.data(), 10, static_cast<std::uint32_t>(image.size()));
        kel::kel_EndianWriteLittleU16(image.data(), 14, kHeaderLength);
        char description[64];
        std::memset(description, ' ', sizeof description);
        const char text[] = "hiddfu example firmware";
        std::memcpy(description, text, sizeof text - 1);
        std::memcpy(image.data() + 16, description, sizeof description);
    }

    kel::DfuFirmware firmware;
    firmware.setVendorId(static_cast<unsigned short>(vendor));
    firmware.setProductId(static_cast<unsigned short>(product));
    firmware.setDeviceRelease(static_cast<unsigned short>(release));
    firmware.setData(image.data(), image.size());
    image = std::vector<unsigned char>();  // the copy in firmware is enough
    const unsigned char aux[] = {'h', 'i', 'd', 'd', 'f', 'u', 0, 1};
    firmware.setAuxData(aux, sizeof aux);
    if (!firmware.save(argv[1])) {
        std::fprintf(stderr, "mkdfu: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
