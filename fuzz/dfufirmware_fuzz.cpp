// Feeds arbitrary bytes to DfuFirmware::load as a file, in both modes, and checks what a
// successful load promises.

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "lib/kel_dfufirmware.h"

namespace {

int inputFile()
{
    static const int fd = memfd_create("dfufirmware_fuzz", 0);
    return fd;
}

FILE* sink()
{
    static FILE* const file = std::fopen("/dev/null", "w");
    return file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const int fd = inputFile();
    if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size))
        std::abort();
    const std::string path = "/proc/self/fd/" + std::to_string(fd);

    // The bulk CRC must agree with the byte form on every input.
    kel::CRC32 bulk, bytewise;
    bulk.update(data, size);
    for (std::size_t i = 0; i < size; ++i)
        bytewise.update(data[i]);
    if (bulk.accumulator() != bytewise.accumulator())
        std::abort();

    for (bool headerOnly : {false, true}) {
        kel::DfuFirmware firmware;
        if (!firmware.load(path.c_str(), headerOnly)) {
            if (firmware.size() != 0 || firmware.auxSize() != 0 || firmware.idVendor() != 0xFFFF)
                std::abort();  // a rejected file leaves the object cleared
            continue;
        }
        const std::size_t suffix = firmware.auxSize() + 16;
        if (firmware.auxSize() > 239 || firmware.version() < 0x0100 ||
            (!headerOnly && firmware.size() + suffix != size) || (headerOnly && firmware.size() != 0))
            std::abort();
        firmware.printDescription(sink(), "fuzz", 8, 32);
        const kel::DfuFirmware copy(firmware);
        if (!copy.equals(firmware))
            std::abort();
    }
    return 0;
}
