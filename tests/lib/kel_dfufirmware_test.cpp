#include "lib/kel_dfufirmware.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <new>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/test_util.h"

// Loading and saving sound files, and refusing missing, unreadable or damaged ones, is proven
// through `dfufile`, `update` and `backup` in tests/blackbox; these are the edges the binary
// cannot reach cheaply.

namespace kel {
namespace {

using Bytes = std::vector<unsigned char>;
namespace fs = std::filesystem;

// Byte at a time: the table itself is proven by the check value, the bulk form against this.
std::uint32_t bytewiseAccumulator(const unsigned char* data, std::size_t length)
{
    CRC32 crc;
    for (std::size_t i = 0; i < length; ++i)
        crc.update(data[i]);
    return crc.accumulator();
}

void putLittle(Bytes& out, std::uint32_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

void fixCrc(Bytes& file)
{
    file.resize(file.size() - 4);
    putLittle(file, bytewiseAccumulator(file.data(), file.size()), 4);
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

Bytes image(const DfuFirmware& firmware) { return Bytes(firmware.data(), firmware.data() + firmware.size()); }
Bytes aux(const DfuFirmware& firmware) { return Bytes(firmware.auxData(), firmware.auxData() + firmware.auxSize()); }

TEST(CRC32, MatchesTheReferenceForEveryLengthAlignmentAndPiece)
{
    EXPECT_EQ(0x340BC6D9u, bytewiseAccumulator(reinterpret_cast<const unsigned char*>("123456789"), 9));

    const Bytes data = pattern(4096 + 64);
    for (std::size_t offset = 0; offset < 8; ++offset) {
        for (std::size_t length : {0u, 1u, 7u, 8u, 9u, 15u, 16u, 17u, 63u, 64u, 65u, 1000u, 4096u}) {
            CRC32 bulk;
            bulk.update(data.data() + offset, length);
            ASSERT_EQ(bytewiseAccumulator(data.data() + offset, length), bulk.accumulator()) << offset << " " << length;
        }
    }
    CRC32 pieces;
    std::size_t done = 0;
    for (std::size_t piece : {3u, 13u, 8u, 1u, 100u, 0u, 31u}) {
        pieces.update(data.data() + done, piece);
        done += piece;
    }
    EXPECT_EQ(bytewiseAccumulator(data.data(), done), pieces.accumulator());
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
    EXPECT_EQ(aux239, aux(a));
    EXPECT_TRUE(a.setAuxData("x", 0));
    EXPECT_EQ(nullptr, a.auxData());

    a.setVendorId(0x1234);
    a.setData("abc", 3);
    a.setAuxData("zz", 2);
    a.erase();  // the image only
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

TEST(DfuFirmwareFile, LoadReplacesEverythingAndHeaderOnlyLeavesTheImageOut)
{
    testing::TempDir dir;
    const Bytes data = pattern(5000), longest(239, 0x5A);  // a whole 255-byte suffix
    const std::string path = write(dir, "a.dfu", makeDfuFile(data, longest, 0x0A12, 0x0001, 0x0203, 0x011A));
    for (bool headerOnly : {false, true}) {
        DfuFirmware firmware;
        firmware.setData("xyz", 3);
        firmware.setAuxData("q", 1);
        ASSERT_TRUE(firmware.load(path.c_str(), headerOnly));
        EXPECT_EQ(headerOnly ? Bytes() : data, image(firmware));
        EXPECT_EQ(longest, aux(firmware));
        EXPECT_EQ((std::vector<unsigned>{0x011A, 0x0A12, 0x0001, 0x0203}),
                  (std::vector<unsigned>{firmware.version(), firmware.idVendor(), firmware.idProduct(),
                                         firmware.deviceRelease()}));
    }
}

TEST(DfuFirmwareFile, SuffixEdgesAndWhatHeaderOnlyDoesNotCheck)
{
    testing::TempDir dir;
    const Bytes good = makeDfuFile(pattern(40), {}, 1, 2, 3);
    const auto edited = [](Bytes file, std::size_t fromEnd, unsigned char value) {
        file[file.size() - fromEnd] = value;
        fixCrc(file);
        return file;
    };
    const auto damaged = [](Bytes file, std::size_t at) {
        file[at] ^= 0x80;
        return file;
    };
    const struct {
        Bytes file;
        bool loads, loadsHeaderOnly;
    } cases[] = {
        {{}, false, false},
        {Bytes(good.end() - 15, good.end()), false, false},
        {edited(edited(good, 8, 'D'), 6, 'U'), false, false},                // signature reversed
        {edited(good, 5, 15), false, false},                                 // bLength below 16
        {edited(makeDfuFile({}, {1, 2, 3}, 1, 2, 3), 5, 20), false, false},  // bLength beyond the file
        {makeDfuFile(pattern(40), {}, 1, 2, 3, 0x00FF), false, false},       // bcdDFU below 1.0
        {damaged(good, 0), false, true},                                     // image
        {damaged(good, good.size() - 1), false, true},                       // stored CRC
        {makeDfuFile({}, {1, 2, 3, 4}, 1, 2, 3), true, true},                // bLength is the whole file
        {makeDfuFile({1, 2}, {}, 1, 2, 3), true, true},                      // shorter than a whole suffix
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const std::string path = write(dir, "f.dfu", cases[i].file);
        for (bool headerOnly : {false, true}) {
            DfuFirmware firmware;
            firmware.setData("xyz", 3);
            firmware.setAuxData("q", 1);
            const bool loads = headerOnly ? cases[i].loadsHeaderOnly : cases[i].loads;
            EXPECT_EQ(loads, firmware.load(path.c_str(), headerOnly)) << i << headerOnly;
            EXPECT_TRUE(loads ? firmware.idVendor() == 1 : isCleared(firmware)) << i << headerOnly;
        }
    }
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
    std::vector<std::string> paths = {"/dev/null", "/dev/zero", huge};
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

TEST(DfuFirmwareFile, SaveWritesWhatIsHeldOrKeepsTheEarlierFile)
{
    testing::TempDir dir;
    // The version is written as held; a large image goes through the bulk CRC.
    DfuFirmware big;
    const Bytes data = pattern(3 * 1024 * 1024 + 5);
    big.setData(data.data(), data.size());
    big.setAuxData("\x01\x02", 2);
    big.setVersion(0x0001);
    big.setVendorId(0x1234);
    ASSERT_TRUE(big.save(dir.file("big.dfu").c_str()));
    EXPECT_EQ(makeDfuFile(data, {1, 2}, 0x1234, 0xFFFF, 0xFFFF, 0x0001), read(dir.file("big.dfu")));
    EXPECT_TRUE(big.save("/dev/null"));  // written into, not replaced
    EXPECT_TRUE(fs::is_character_file("/dev/null"));

    const Bytes earlier = makeDfuFile(pattern(900, 7), {}, 1, 2, 3);
    const std::string path = write(dir, "backup.dfu", earlier);
    // 2000 bytes fail when the stdio buffer is flushed, 1 MiB inside fwrite; a new file is not made.
    for (const auto& target : {std::make_pair(path, 2000u), {path, 1u << 20}, {dir.file("new.dfu"), 5000u}}) {
        DfuFirmware firmware;
        const Bytes bytes = pattern(target.second, 9);
        firmware.setData(bytes.data(), bytes.size());
        FileSizeLimit limit(1000);
        EXPECT_FALSE(firmware.save(target.first.c_str())) << target.second;
    }
    EXPECT_EQ(earlier, read(path));
    // A destination that can't be replaced fails cleanly; no temporary is left behind.
    fs::create_directory(dir.file("sub"));
    EXPECT_FALSE(big.save(dir.file("sub").c_str()));
    EXPECT_EQ(3, std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()));
}

}  // namespace
}  // namespace kel
