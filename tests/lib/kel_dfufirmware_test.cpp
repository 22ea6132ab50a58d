#include "lib/kel_dfufirmware.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <new>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/test_util.h"

namespace kel {
namespace {

using Bytes = std::vector<unsigned char>;
namespace fs = std::filesystem;

// Bit-at-a-time reference, independent of the tables under test.
std::uint32_t referenceAccumulator(const unsigned char* data, std::size_t length)
{
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ ((crc & 1) ? 0xEDB88320u : 0);
    }
    return crc;
}

void putLittle(Bytes& out, std::uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

void fixCrc(Bytes& file)
{
    file.resize(file.size() - 4);
    putLittle(file, referenceAccumulator(file.data(), file.size()), 4);
}

// A DFU file as the format lays it out, with a correct CRC.
Bytes makeDfuFile(const Bytes& image, const Bytes& aux, unsigned vendor, unsigned product, unsigned release,
                  unsigned bcdDfu = 0x0100)
{
    Bytes file = image;
    file.insert(file.end(), aux.begin(), aux.end());
    for (unsigned field : {release, product, vendor, bcdDfu})
        putLittle(file, field, 2);
    file.insert(file.end(), {'U', 'F', 'D', static_cast<unsigned char>(16 + aux.size()), 0, 0, 0, 0});
    fixCrc(file);
    return file;
}

std::string write(const testing::TempDir& dir, const std::string& name, const Bytes& bytes)
{
    std::ofstream(dir.file(name), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return dir.file(name);
}

Bytes read(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::size_t entries(const testing::TempDir& dir)
{
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()));
}

bool isCleared(const DfuFirmware& firmware)
{
    return firmware.equals(DfuFirmware()) && firmware.version() == 0x0100 && firmware.idVendor() == 0xFFFF &&
           firmware.idProduct() == 0xFFFF && firmware.deviceRelease() == 0xFFFF && !firmware.data() &&
           !firmware.auxData() && firmware.size() == 0 && firmware.auxSize() == 0;
}

Bytes pattern(std::size_t length, unsigned seed = 1)
{
    std::mt19937 random(seed);
    Bytes bytes(length);
    for (auto& byte : bytes)
        byte = static_cast<unsigned char>(random());
    return bytes;
}

Bytes image(const DfuFirmware& firmware)
{
    return Bytes(firmware.data(), firmware.data() + firmware.size());
}

TEST(CRC32, MatchesTheReferenceForEveryLengthAlignmentAndPiece)
{
    CRC32 digits;
    EXPECT_EQ(0xFFFFFFFFu, digits.accumulator());
    digits.update(reinterpret_cast<const unsigned char*>("123456789"), 9);
    EXPECT_EQ(0x340BC6D9u, digits.accumulator());

    const Bytes data = pattern(4096 + 64);
    for (std::size_t offset = 0; offset < 8; ++offset) {
        for (std::size_t length : {0u, 1u, 7u, 8u, 9u, 15u, 16u, 17u, 63u, 64u, 65u, 1000u, 4096u}) {
            CRC32 bulk, bytewise;
            bulk.update(data.data() + offset, length);
            for (std::size_t i = 0; i < length; ++i)
                bytewise.update(data[offset + i]);
            ASSERT_EQ(referenceAccumulator(data.data() + offset, length), bulk.accumulator()) << offset << " " << length;
            ASSERT_EQ(bulk.accumulator(), bytewise.accumulator());
        }
    }
    CRC32 pieces;
    std::size_t done = 0;
    for (std::size_t piece : {3u, 13u, 8u, 1u, 100u, 0u, 31u})
        pieces.update(data.data() + done, piece), done += piece;
    EXPECT_EQ(referenceAccumulator(data.data(), done), pieces.accumulator());
}

TEST(DfuFirmwareBuffer, ResizeAppendAndFailedGrowth)
{
    DfuFirmware firmware;
    firmware.resize(5, true);
    EXPECT_EQ(Bytes(5, 0), image(firmware));
    const unsigned char* buffer = firmware.data();
    firmware.resize(16384, false);  // within the first capacity
    EXPECT_EQ(buffer, firmware.data());

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

    DfuFirmware grown;
    const Bytes bytes = pattern(100000);
    for (std::size_t done = 0; done < bytes.size(); done += 1017)
        grown.append(bytes.data() + done, std::min<std::size_t>(1017, bytes.size() - done));
    EXPECT_EQ(bytes, image(grown));
}

TEST(DfuFirmwareBuffer, AuxDataEraseClearCopyAndEquality)
{
    DfuFirmware a;
    const Bytes aux239(239, 0xAA), aux240(240, 0xBB);
    EXPECT_TRUE(a.setAuxData(aux239.data(), aux239.size()));
    EXPECT_FALSE(a.setAuxData(aux240.data(), aux240.size()));
    EXPECT_FALSE(a.setAuxData(nullptr, 4));
    EXPECT_EQ(aux239, Bytes(a.auxData(), a.auxData() + a.auxSize()));
    EXPECT_TRUE(a.setAuxData("x", 0));
    EXPECT_EQ(nullptr, a.auxData());

    a.setVendorId(0x1234);
    a.setData("abc", 3);
    a.setAuxData("zz", 2);
    a.erase();
    EXPECT_EQ(0u, a.size());
    EXPECT_EQ(0x1234, a.idVendor());
    EXPECT_EQ(2u, a.auxSize());
    a.clear();
    EXPECT_TRUE(isCleared(a));

    a.setData("abc", 3);
    a.setAuxData("12", 2);
    DfuFirmware b;
    b = a;
    b = b;
    const DfuFirmware copy(a);
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
}

TEST(DfuFirmwareFile, LoadsSuffixAuxDataAndImageOrOnlyTheHeader)
{
    testing::TempDir dir;
    const Bytes data = pattern(5000);
    Bytes file = makeDfuFile(data, {9, 8, 7}, 0x0A12, 0x0001, 0x0203, 0x011A);
    DfuFirmware firmware;
    ASSERT_TRUE(firmware.load(write(dir, "a.dfu", file).c_str(), false));
    EXPECT_EQ(data, image(firmware));
    EXPECT_EQ((Bytes{9, 8, 7}), Bytes(firmware.auxData(), firmware.auxData() + firmware.auxSize()));
    EXPECT_EQ((std::vector<unsigned>{0x011A, 0x0A12, 0x0001, 0x0203}),
              (std::vector<unsigned>{firmware.version(), firmware.idVendor(), firmware.idProduct(),
                                     firmware.deviceRelease()}));

    // Header only: no image, and neither the image nor the stored CRC is checked.
    for (std::size_t damaged : {std::size_t(100), file.size() - 1}) {
        file[damaged] ^= 0x80;
        DfuFirmware header;
        EXPECT_FALSE(header.load(write(dir, "d.dfu", file).c_str(), false));
        EXPECT_TRUE(isCleared(header));
        ASSERT_TRUE(header.load(dir.file("d.dfu").c_str(), true));
        EXPECT_EQ(0u, header.size());
        EXPECT_EQ(0x0203, header.deviceRelease());
        EXPECT_EQ(3u, header.auxSize());
        file[damaged] ^= 0x80;
    }
    // A suffix alone is an empty image; a second load replaces everything of the first.
    DfuFirmware empty;
    ASSERT_TRUE(empty.load(write(dir, "b.dfu", makeDfuFile({}, {}, 1, 2, 3)).c_str(), false));
    ASSERT_TRUE(firmware.load(dir.file("b.dfu").c_str(), false));
    EXPECT_TRUE(firmware.equals(empty));
    EXPECT_EQ(1, empty.idVendor());
    // Header only finds a whole 255-byte suffix, and reads a file shorter than that.
    ASSERT_TRUE(firmware.load(write(dir, "c.dfu", makeDfuFile(pattern(1000), Bytes(239, 0x5A), 8, 9, 10)).c_str(), true));
    EXPECT_EQ(239u, firmware.auxSize());
    ASSERT_TRUE(firmware.load(write(dir, "s.dfu", makeDfuFile({1, 2}, {}, 5, 6, 7)).c_str(), true));
    EXPECT_EQ(5, firmware.idVendor());
}

TEST(DfuFirmwareFile, RejectsMalformedFilesAndLeavesTheObjectCleared)
{
    testing::TempDir dir;
    const Bytes good = makeDfuFile(pattern(40), {}, 0x0A12, 1, 2);
    const auto edited = [](Bytes file, std::size_t fromEnd, unsigned char value) {
        file[file.size() - fromEnd] = value;
        fixCrc(file);
        return file;
    };
    Bytes badCrc = good;
    badCrc[0] ^= 0xFF;
    const std::vector<std::pair<Bytes, bool>> cases = {  // file, also refused header only
        {{}, true},
        {Bytes(good.end() - 15, good.end()), true},
        {edited(edited(good, 8, 'D'), 6, 'U'), true},                  // signature reversed
        {edited(good, 5, 15), true},                                   // bLength below 16
        {edited(makeDfuFile({}, {1, 2, 3}, 1, 2, 3), 5, 20), true},    // bLength beyond the file
        {makeDfuFile(pattern(40), {}, 1, 2, 3, 0x00FF), true},         // bcdDFU below 1.0
        {badCrc, false},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        for (bool headerOnly : {false, true}) {
            DfuFirmware firmware;
            firmware.setData("xyz", 3);
            firmware.setAuxData("q", 1);
            EXPECT_EQ(headerOnly && !cases[i].second,
                      firmware.load(write(dir, "bad.dfu", cases[i].first).c_str(), headerOnly)) << i << headerOnly;
            if (!headerOnly || cases[i].second) {
                EXPECT_TRUE(isCleared(firmware)) << i;
            }
        }
    }
    // bLength may be the whole file.
    DfuFirmware firmware;
    EXPECT_TRUE(firmware.load(write(dir, "ok.dfu", makeDfuFile({}, {1, 2, 3, 4}, 1, 2, 3)).c_str(), false));
}

TEST(DfuFirmwareFile, RefusesWhatIsNotAReadableRegularFileOfAtMostOneGiB)
{
    testing::TempDir dir;
    const Bytes suffix = makeDfuFile({}, {}, 1, 2, 3);
    const std::string huge = dir.file("huge.dfu");  // 1 GiB + 1 byte, sparse, with a sound suffix
    {
        std::ofstream out(huge, std::ios::binary);
        out.seekp(1073741825 - static_cast<std::streamoff>(suffix.size()));
        out.write(reinterpret_cast<const char*>(suffix.data()), static_cast<std::streamsize>(suffix.size()));
    }
    std::vector<std::string> paths = {dir.file("missing.dfu"), dir.path().string(), "/dev/null", "/dev/zero", huge};
    struct stat status;
    // A sysfs attribute claims 4096 bytes and yields a few: a short read.
    if (::stat("/sys/devices/system/cpu/online", &status) == 0 && status.st_size >= 16)
        paths.push_back("/sys/devices/system/cpu/online");
    if (geteuid() != 0) {  // root reads it anyway
        paths.push_back(write(dir, "locked.dfu", suffix));
        ::chmod(paths.back().c_str(), 0);
    }
    for (const std::string& path : paths) {
        for (bool headerOnly : {false, true}) {
            DfuFirmware firmware;
            EXPECT_FALSE(firmware.load(path.c_str(), headerOnly)) << path;
            EXPECT_TRUE(isCleared(firmware));
        }
    }
}

TEST(DfuFirmwareFile, SaveWritesTheLayoutAndReplacesThroughLinksKeepingTheMode)
{
    testing::TempDir dir;
    DfuFirmware firmware;
    firmware.setData("abc", 3);
    firmware.setAuxData("\x01\x02", 2);
    firmware.setVendorId(0x1234);
    firmware.setProductId(0x4321);
    firmware.setDeviceRelease(0x0100);
    ASSERT_TRUE(firmware.save(dir.file("out.dfu").c_str()));
    EXPECT_EQ(makeDfuFile({'a', 'b', 'c'}, {1, 2}, 0x1234, 0x4321, 0x0100), read(dir.file("out.dfu")));

    // The version is written as held; a large image goes through the bulk CRC.
    DfuFirmware big;
    const Bytes data = pattern(3 * 1024 * 1024 + 5);
    big.setData(data.data(), data.size());
    big.setVersion(0x0001);
    ASSERT_TRUE(big.save(dir.file("big.dfu").c_str()));
    EXPECT_EQ(makeDfuFile(data, {}, 0xFFFF, 0xFFFF, 0xFFFF, 0x0001), read(dir.file("big.dfu")));

    const std::string path = write(dir, "old.dfu", Bytes(5000, 0xEE));
    ASSERT_EQ(0, ::chmod(path.c_str(), 0640));
    fs::create_symlink("old.dfu", dir.file("link.dfu"));
    ASSERT_TRUE(firmware.save(dir.file("link.dfu").c_str()));
    EXPECT_TRUE(fs::is_symlink(dir.file("link.dfu")));
    EXPECT_EQ(fs::perms(0640), fs::status(path).permissions());
    EXPECT_EQ(read(dir.file("out.dfu")), read(path));
    EXPECT_EQ(4u, entries(dir));  // no temporary left behind

    EXPECT_TRUE(firmware.save("/dev/null"));  // written into, not replaced
    EXPECT_TRUE(fs::is_character_file("/dev/null"));
}

// Lowers the file size limit so that writes past it fail with EFBIG, as on a full disk.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        m_handler = ::signal(SIGXFSZ, SIG_IGN);
        ::getrlimit(RLIMIT_FSIZE, &m_previous);
        rlimit limit = m_previous;
        limit.rlim_cur = bytes;
        EXPECT_EQ(0, ::setrlimit(RLIMIT_FSIZE, &limit));
    }
    ~FileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &m_previous);
        ::signal(SIGXFSZ, m_handler);
    }

private:
    rlimit m_previous;
    sighandler_t m_handler;
};

TEST(DfuFirmwareFile, FailedSaveKeepsTheEarlierFileAndLeavesNoTemporary)
{
    testing::TempDir dir;
    const Bytes earlier = makeDfuFile(pattern(900, 7), {}, 1, 2, 3);
    const std::string path = write(dir, "backup.dfu", earlier);
    // 2000 bytes fail when the stdio buffer is flushed, 1 MiB inside fwrite; a new file is not made.
    for (const auto& target : {std::make_pair(path, 2000u), {path, 1u << 20}, {dir.file("new.dfu"), 5000u}}) {
        DfuFirmware firmware;
        const Bytes data = pattern(target.second, 9);
        firmware.setData(data.data(), data.size());
        FileSizeLimit limit(1000);
        EXPECT_FALSE(firmware.save(target.first.c_str())) << target.second;
    }
    EXPECT_EQ(earlier, read(path));
    EXPECT_EQ(1u, entries(dir));
    // A destination that can't be replaced (a directory) or a missing directory fails cleanly.
    fs::create_directory(dir.file("sub"));
    DfuFirmware firmware;
    EXPECT_FALSE(firmware.save(dir.file("sub").c_str()));
    EXPECT_FALSE(firmware.save(dir.file("missing/x.dfu").c_str()));
    EXPECT_EQ(2u, entries(dir));
}

// The description is proven through `dfufile` in tests/blackbox/test_cli.py.

}  // namespace
}  // namespace kel
