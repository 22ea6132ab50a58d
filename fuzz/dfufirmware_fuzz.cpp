// Feeds arbitrary bytes to DfuFirmware::load as a file, in both modes, into an object that
// already holds something. The suffix rules are spelled out once more below, byte by byte: a
// load must succeed exactly when they hold, yield the fields, auxiliary data and image they
// name, and otherwise leave the object cleared and say why. What loads in full saves back to
// the very same bytes. The CRC, in bulk fed in two pieces and byte by byte, must agree on every
// input with the checksum worked out bit by bit as its definition reads.

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "lib/kel_dfufirmware.h"

namespace {

unsigned little16(const std::uint8_t* bytes)
{
    return bytes[0] | unsigned(bytes[1]) << 8;
}

// The reflected CRC-32 of IEEE 802.3, one bit per step, without the final inversion.
std::uint32_t crcBit(std::uint32_t accumulator, std::uint8_t byte)
{
    accumulator ^= byte;
    for (int bit = 0; bit < 8; ++bit)
        accumulator = (accumulator & 1) ? (accumulator >> 1) ^ 0xEDB88320u : accumulator >> 1;
    return accumulator;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const int fd = memfd_create("dfufirmware_fuzz", 0);
    if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size))
        std::abort();
    const std::string path = "/proc/self/fd/" + std::to_string(fd);

    kel::CRC32 bulk, bytewise;
    std::uint32_t reference = 0xFFFFFFFFu, covered = reference;  // covered: all but the stored CRC
    const std::size_t split = size ? data[0] % size : 0;
    bulk.update(data, split);
    bulk.update(data + split, size - split);
    for (std::size_t i = 0; i < size; ++i) {
        if (i + 4 == size)
            covered = reference;
        reference = crcBit(reference, data[i]);
        bytewise.update(data[i]);
    }
    if (bulk.accumulator() != reference || bytewise.accumulator() != reference)
        std::abort();

    const std::uint8_t* const end = data + size;
    for (bool headerOnly : {false, true}) {
        const std::size_t bLength = size >= 16 ? end[-5] : 0;
        const bool valid = bLength >= 16 && bLength <= (headerOnly ? std::min<std::size_t>(size, 255) : size) &&
                           std::equal(end - 8, end - 5, "UFD") && little16(end - 10) >= 0x0100 &&
                           (headerOnly || covered == (little16(end - 4) | little16(end - 2) << 16));
        kel::DfuFirmware firmware;
        firmware.setData("held", 4);
        firmware.setAuxData("aux", 3);
        firmware.setVendorId(1);
        std::string reason;
        if (firmware.load(path.c_str(), headerOnly, &reason) != valid || reason.empty() == !valid)
            std::abort();
        kel::DfuFirmware expected;
        if (valid) {
            expected.setData(data, headerOnly ? 0 : size - bLength);
            expected.setAuxData(end - bLength, bLength - 16);
            expected.setVersion(static_cast<unsigned short>(little16(end - 10)));
            expected.setVendorId(static_cast<unsigned short>(little16(end - 12)));
            expected.setProductId(static_cast<unsigned short>(little16(end - 14)));
            expected.setDeviceRelease(static_cast<unsigned short>(little16(end - 16)));
        }
        if (!firmware.equals(expected) || (!valid && (firmware.data() || firmware.auxData())))
            std::abort();
        if (valid && !headerOnly) {
            static const std::string saved = std::filesystem::temp_directory_path() /
                                             ("dfufirmware_fuzz." + std::to_string(getpid()));
            const bool written = firmware.save(saved.c_str());
            std::ifstream in(saved, std::ios::binary);
            std::remove(saved.c_str());
            const std::vector<std::uint8_t> bytes(std::istreambuf_iterator<char>(in), {});
            if (!written || bytes != std::vector<std::uint8_t>(data, end))
                std::abort();
        }
        static FILE* const sink = std::fopen("/dev/null", "w");
        firmware.printDescription(sink, "fuzz", 8, 32);
    }
    return 0;
}
