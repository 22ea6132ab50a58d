#include "lib/kel_dfufirmware.h"

#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <new>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/test_util.h"

// The suffix rules, the CRC and the load-save round trip are the property of
// fuzz/dfufirmware_fuzz.cpp; describing and refusing files, and the backup destinations, are
// proven through the binary in tests/blackbox. Here: the buffer, equality, and the file
// failures neither reaches cheaply.

namespace kel {
namespace {

using Bytes = std::vector<unsigned char>;
namespace fs = std::filesystem;

Bytes image(const DfuFirmware& firmware)
{
    return Bytes(firmware.data(), firmware.data() + firmware.size());
}

TEST(DfuFirmwareBuffer, ResizeAppendAndFailedGrowth)
{
    DfuFirmware firmware;
    firmware.resize(5, true);
    EXPECT_EQ(Bytes(5, 0), image(firmware));

    // Shrinking and growing again zero-fills only what is new.
    firmware.setData("abcdef", 6);
    firmware.resize(3, false);
    firmware.resize(6, true);
    firmware.append("XYZ", 3);
    EXPECT_EQ((Bytes{'a', 'b', 'c', 0, 0, 0, 'X', 'Y', 'Z'}), image(firmware));

    // A size that cannot be had throws and leaves the buffer as it was.
    EXPECT_THROW(firmware.resize(SIZE_MAX, false), std::bad_alloc);
    EXPECT_THROW(firmware.append("x", SIZE_MAX - 4), std::bad_alloc);
    EXPECT_EQ(9u, firmware.size());

    // Appended record by record, as a backup reads them, far past the first capacity.
    DfuFirmware grown;
    Bytes bytes(100000);
    std::generate(bytes.begin(), bytes.end(), std::mt19937());
    for (std::size_t done = 0; done < bytes.size(); done += 1017)
        grown.append(bytes.data() + done, std::min<std::size_t>(1017, bytes.size() - done));
    EXPECT_EQ(bytes, image(grown));
}

TEST(DfuFirmwareBuffer, AuxDataCopiesAndEquality)
{
    DfuFirmware a;
    const Bytes aux239(239, 0xAA), aux240(240, 0xBB);
    EXPECT_TRUE(a.setAuxData(aux239.data(), aux239.size()));
    EXPECT_FALSE(a.setAuxData(aux240.data(), aux240.size()));
    EXPECT_FALSE(a.setAuxData(nullptr, 4));
    EXPECT_EQ(aux239, Bytes(a.auxData(), a.auxData() + a.auxSize()));
    EXPECT_TRUE(a.setAuxData("x", 0));
    EXPECT_EQ(nullptr, a.auxData());

    a.setData("abc", 3);
    a.setAuxData("12", 2);
    DfuFirmware b;
    b = a;
    const DfuFirmware& self = b;
    b = self;
    const DfuFirmware copy(b);
    EXPECT_TRUE(b.equals(a) && copy.equals(a));
    EXPECT_NE(a.data(), copy.data());  // deep copy
    const std::vector<void (*)(DfuFirmware&)> changes = {
        [](DfuFirmware& c) { c.setVersion(0x0101); }, [](DfuFirmware& c) { c.setVendorId(1); },
        [](DfuFirmware& c) { c.setProductId(1); },    [](DfuFirmware& c) { c.setDeviceRelease(8); },
        [](DfuFirmware& c) { c.data()[2] = 'x'; },    [](DfuFirmware& c) { c.setAuxData("13", 2); },
        [](DfuFirmware& c) { c.append("d", 1); },
    };
    for (std::size_t i = 0; i < changes.size(); ++i) {
        DfuFirmware c(a);
        changes[i](c);
        EXPECT_FALSE(c.equals(a)) << i;
    }
    a.setVendorId(0x1234);
    a.erase();  // the image only
    EXPECT_TRUE(a.size() == 0 && a.auxSize() == 2 && a.idVendor() == 0x1234);
}

TEST(DfuFirmwareFile, RefusesAFileOverOneGiB)
{
    testing::TempDir dir;
    // 1 GiB and one byte, sparse, ending in a suffix that a header-only read alone would take.
    const std::string huge = dir.file("huge.dfu");
    std::ofstream(huge).seekp(1073741825 - 16).write("\3\0\2\0\1\0\0\1UFD\20crc!", 16);
    EXPECT_FALSE(DfuFirmware().load(huge.c_str(), true));
    EXPECT_FALSE(DfuFirmware().load(huge.c_str(), false));
}

TEST(DfuFirmwareFile, SaveKeepsTheEarlierFileOnFailureAndWritesTheVersionHeld)
{
    testing::TempDir dir;
    const std::string path = dir.file("backup.dfu");
    std::ofstream(path) << "earlier";
    // Under a file size limit writes fail with EFBIG, as on a full disk: 2000 bytes when the
    // stdio buffer is flushed, 1 MiB inside fwrite.
    rlimit previous;
    ::getrlimit(RLIMIT_FSIZE, &previous);
    rlimit limit = previous;
    limit.rlim_cur = 1000;
    void (*const handler)(int) = ::signal(SIGXFSZ, SIG_IGN);
    for (const auto& [target, size] : {std::make_pair(path, 2000u), {path, 1u << 20}, {dir.file("new.dfu"), 5000u}}) {
        DfuFirmware firmware;
        firmware.resize(size, true);
        EXPECT_EQ(0, ::setrlimit(RLIMIT_FSIZE, &limit));
        EXPECT_FALSE(firmware.save(target.c_str())) << size;
        ::setrlimit(RLIMIT_FSIZE, &previous);
    }
    ::signal(SIGXFSZ, handler);
    const auto contents = [&] {
        std::ifstream in(path);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    EXPECT_EQ("earlier", contents());
    DfuFirmware held;
    held.setVersion(0x0001);  // below what load takes, written all the same
    EXPECT_TRUE(held.save(path.c_str()));
    EXPECT_EQ(std::string("\xFF\xFF\xFF\xFF\xFF\xFF\x01\x00UFD\x10", 12), contents().substr(0, 12));

    // A destination that cannot be replaced fails; no temporary is left behind, nor new.dfu.
    fs::create_directory(dir.file("sub"));
    EXPECT_FALSE(DfuFirmware().save(dir.file("sub").c_str()));
    EXPECT_EQ(2, std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()));
    // Not a regular file: written into, not replaced (a pipe behind a /proc/self/fd link in
    // tests/platform/linux/).
    EXPECT_TRUE(DfuFirmware().save("/dev/null"));
    EXPECT_TRUE(fs::is_character_file("/dev/null"));
}

}  // namespace
}  // namespace kel
