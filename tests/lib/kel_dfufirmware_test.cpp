#include "lib/kel_dfufirmware.h"

#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <new>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace kel {
namespace {

using Bytes = std::vector<unsigned char>;

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

void putU16(Bytes& out, unsigned value)
{
    out.push_back(value & 0xFF);
    out.push_back((value >> 8) & 0xFF);
}

// A DFU file as the format lays it out, with a correct CRC unless told otherwise.
Bytes makeDfuFile(const Bytes& image, const Bytes& aux, unsigned vendor, unsigned product, unsigned release,
                  unsigned bcdDfu = 0x0100)
{
    Bytes file = image;
    file.insert(file.end(), aux.begin(), aux.end());
    putU16(file, release);
    putU16(file, product);
    putU16(file, vendor);
    putU16(file, bcdDfu);
    file.push_back('U');
    file.push_back('F');
    file.push_back('D');
    file.push_back(static_cast<unsigned char>(16 + aux.size()));
    const std::uint32_t crc = referenceAccumulator(file.data(), file.size());
    for (int i = 0; i < 4; ++i)
        file.push_back((crc >> (8 * i)) & 0xFF);
    return file;
}

void fixCrc(Bytes& file)
{
    const std::uint32_t crc = referenceAccumulator(file.data(), file.size() - 4);
    for (int i = 0; i < 4; ++i)
        file[file.size() - 4 + i] = (crc >> (8 * i)) & 0xFF;
}

class TempDir {
public:
    TempDir()
    {
        char pattern[] = "/tmp/dfufirmware_test.XXXXXX";
        const char* made = mkdtemp(pattern);
        EXPECT_NE(nullptr, made);
        m_path = made ? made : "/tmp";
    }
    ~TempDir() { std::system(("rm -rf '" + m_path + "'").c_str()); }

    std::string path(const std::string& name) const { return m_path + "/" + name; }
    std::string write(const std::string& name, const Bytes& bytes) const
    {
        std::ofstream(path(name), std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        return path(name);
    }
    Bytes read(const std::string& name) const
    {
        std::ifstream in(path(name), std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::vector<std::string> entries() const
    {
        std::vector<std::string> names;
        if (DIR* dir = opendir(m_path.c_str())) {
            while (dirent* entry = readdir(dir))
                if (std::string(entry->d_name) != "." && std::string(entry->d_name) != "..")
                    names.push_back(entry->d_name);
            closedir(dir);
        }
        return names;
    }
    const std::string& root() const { return m_path; }

private:
    std::string m_path;
};

void expectDefaults(const DfuFirmware& firmware)
{
    EXPECT_EQ(0x0100, firmware.version());
    EXPECT_EQ(0xFFFF, firmware.idVendor());
    EXPECT_EQ(0xFFFF, firmware.idProduct());
    EXPECT_EQ(0xFFFF, firmware.deviceRelease());
    EXPECT_EQ(0u, firmware.size());
    EXPECT_EQ(nullptr, firmware.data());
    EXPECT_EQ(0u, firmware.auxSize());
    EXPECT_EQ(nullptr, firmware.auxData());
}

Bytes pattern(std::size_t length, unsigned seed = 1)
{
    std::mt19937 random(seed);
    Bytes bytes(length);
    for (auto& byte : bytes)
        byte = static_cast<unsigned char>(random());
    return bytes;
}

TEST(CRC32, KnownVectorsWithoutFinalInversion)
{
    CRC32 empty;
    EXPECT_EQ(0xFFFFFFFFu, empty.accumulator());

    CRC32 digits;
    digits.update(reinterpret_cast<const unsigned char*>("123456789"), 9);
    EXPECT_EQ(0x340BC6D9u, digits.accumulator());

    CRC32 abc;
    for (char c : std::string("abc"))
        abc.update(static_cast<unsigned char>(c));
    EXPECT_EQ(0xCADBBE3Du, abc.accumulator());
}

TEST(CRC32, BulkUpdateMatchesByteUpdateForEveryLengthAndAlignment)
{
    const Bytes data = pattern(4096 + 64);
    for (std::size_t offset = 0; offset < 8; ++offset) {
        for (std::size_t length : {0u, 1u, 7u, 8u, 9u, 15u, 16u, 17u, 63u, 64u, 65u, 1000u, 4096u}) {
            CRC32 bulk;
            bulk.update(data.data() + offset, length);
            CRC32 bytewise;
            for (std::size_t i = 0; i < length; ++i)
                bytewise.update(data[offset + i]);
            ASSERT_EQ(bytewise.accumulator(), bulk.accumulator()) << "offset " << offset << " length " << length;
            ASSERT_EQ(referenceAccumulator(data.data() + offset, length), bulk.accumulator());
        }
    }
    // Pieces of odd sizes continue the same accumulator.
    CRC32 pieces;
    std::size_t done = 0;
    for (std::size_t piece : {3u, 13u, 8u, 1u, 100u, 0u, 31u})
        pieces.update(data.data() + done, piece), done += piece;
    EXPECT_EQ(referenceAccumulator(data.data(), done), pieces.accumulator());
}

TEST(DfuFirmwareBuffer, ResizeGrowsInBlocksAndZeroFills)
{
    DfuFirmware firmware;
    firmware.resize(5, true);
    ASSERT_EQ(5u, firmware.size());
    for (std::size_t i = 0; i < 5; ++i)
        EXPECT_EQ(0, firmware.data()[i]);
    const unsigned char* buffer = firmware.data();
    firmware.resize(2, false);
    firmware.resize(16384, false);  // still within the first capacity of 16384
    EXPECT_EQ(buffer, firmware.data());
    EXPECT_EQ(16384u, firmware.size());

    // Shrinking and growing again inside the capacity zero-fills only what is new.
    firmware.setData("abcdef", 6);
    firmware.resize(3, false);
    firmware.resize(6, true);
    EXPECT_EQ(0, std::memcmp(firmware.data(), "abc\0\0\0", 6));

    firmware.append("XYZ", 3);
    EXPECT_EQ(9u, firmware.size());
    EXPECT_EQ(0, std::memcmp(firmware.data() + 6, "XYZ", 3));

    // A size that cannot be had throws and leaves the buffer as it was.
    EXPECT_THROW(firmware.resize(SIZE_MAX, false), std::bad_alloc);
    EXPECT_THROW(firmware.append("x", SIZE_MAX - 4), std::bad_alloc);
    EXPECT_EQ(9u, firmware.size());

    // Appending record by record keeps the contents across reallocations.
    DfuFirmware grown;
    const Bytes bytes = pattern(100000);
    for (std::size_t done = 0; done < bytes.size(); done += 1017)
        grown.append(bytes.data() + done, std::min<std::size_t>(1017, bytes.size() - done));
    ASSERT_EQ(bytes.size(), grown.size());
    EXPECT_EQ(0, std::memcmp(bytes.data(), grown.data(), bytes.size()));
}

TEST(DfuFirmwareBuffer, AuxDataRulesEraseClearAndEquality)
{
    DfuFirmware firmware;
    const Bytes aux239(239, 0xAA), aux240(240, 0xBB);
    EXPECT_TRUE(firmware.setAuxData(aux239.data(), aux239.size()));
    EXPECT_FALSE(firmware.setAuxData(aux240.data(), aux240.size()));
    EXPECT_EQ(239u, firmware.auxSize());
    EXPECT_EQ(0xAA, firmware.auxData()[238]);
    EXPECT_FALSE(firmware.setAuxData(nullptr, 4));
    EXPECT_EQ(239u, firmware.auxSize());
    EXPECT_TRUE(firmware.setAuxData("x", 0));
    EXPECT_EQ(0u, firmware.auxSize());
    EXPECT_EQ(nullptr, firmware.auxData());

    firmware.setVendorId(0x1234);
    firmware.setData("abc", 3);
    firmware.setAuxData("zz", 2);
    firmware.erase();
    EXPECT_EQ(0u, firmware.size());
    EXPECT_EQ(0x1234, firmware.idVendor());
    EXPECT_EQ(2u, firmware.auxSize());
    firmware.clear();
    expectDefaults(firmware);

    DfuFirmware a, b;
    EXPECT_TRUE(a.equals(b));
    a.setData("abc", 3);
    a.setAuxData("12", 2);
    a.setDeviceRelease(7);
    b = a;
    EXPECT_TRUE(b.equals(a));
    DfuFirmware copy(a);
    EXPECT_TRUE(copy.equals(a));
    EXPECT_NE(a.data(), copy.data());  // deep copy
    b = b;
    EXPECT_TRUE(b.equals(a));

    for (int field = 0; field < 7; ++field) {
        DfuFirmware c(a);
        switch (field) {
        case 0: c.setVersion(0x0101); break;
        case 1: c.setVendorId(1); break;
        case 2: c.setProductId(1); break;
        case 3: c.setDeviceRelease(8); break;
        case 4: c.data()[2] = 'x'; break;
        case 5: c.setAuxData("13", 2); break;
        case 6: c.append("d", 1); break;
        }
        EXPECT_FALSE(c.equals(a)) << "field " << field;
    }
}

TEST(DfuFirmwareFile, LoadsSuffixAuxDataAndImage)
{
    TempDir dir;
    const Bytes image = pattern(300);
    const Bytes aux = {1, 2, 3, 4};
    const Bytes file = makeDfuFile(image, aux, 0x0A12, 0x0001, 0x0203, 0x011A);

    DfuFirmware firmware;
    ASSERT_TRUE(firmware.load(dir.write("a.dfu", file).c_str(), false));
    EXPECT_EQ(0x011A, firmware.version());
    EXPECT_EQ(0x0A12, firmware.idVendor());
    EXPECT_EQ(0x0001, firmware.idProduct());
    EXPECT_EQ(0x0203, firmware.deviceRelease());
    ASSERT_EQ(file.size() - 20, firmware.size());
    EXPECT_EQ(0, std::memcmp(image.data(), firmware.data(), image.size()));
    ASSERT_EQ(4u, firmware.auxSize());
    EXPECT_EQ(0, std::memcmp(aux.data(), firmware.auxData(), 4));

    // A suffix alone is an empty image.
    DfuFirmware empty;
    ASSERT_TRUE(empty.load(dir.write("b.dfu", makeDfuFile({}, {}, 1, 2, 3)).c_str(), false));
    EXPECT_EQ(0u, empty.size());
    EXPECT_EQ(0u, empty.auxSize());
    EXPECT_EQ(1, empty.idVendor());
    // A second load replaces everything of the first.
    ASSERT_TRUE(firmware.load(dir.path("b.dfu").c_str(), false));
    EXPECT_TRUE(firmware.equals(empty));
}

TEST(DfuFirmwareFile, HeaderOnlySkipsCrcAndImage)
{
    TempDir dir;
    Bytes file = makeDfuFile(pattern(5000), {9, 8, 7}, 0x1111, 0x2222, 0x3333);
    file[100] ^= 0x01;  // image damaged: CRC no longer matches
    const std::string damagedImage = dir.write("image.dfu", file);
    file[100] ^= 0x01;
    file[file.size() - 1] ^= 0x80;  // stored CRC damaged
    const std::string damagedCrc = dir.write("crc.dfu", file);

    for (const std::string& path : {damagedImage, damagedCrc}) {
        DfuFirmware firmware;
        EXPECT_FALSE(firmware.load(path.c_str(), false)) << path;
        expectDefaults(firmware);
        ASSERT_TRUE(firmware.load(path.c_str(), true)) << path;
        EXPECT_EQ(0u, firmware.size());
        EXPECT_EQ(0x1111, firmware.idVendor());
        EXPECT_EQ(0x2222, firmware.idProduct());
        EXPECT_EQ(0x3333, firmware.deviceRelease());
        ASSERT_EQ(3u, firmware.auxSize());
        EXPECT_EQ(7, firmware.auxData()[2]);
    }

    // Header-only on a file shorter than the 255 bytes it reads at most.
    DfuFirmware small;
    ASSERT_TRUE(small.load(dir.write("small.dfu", makeDfuFile({1, 2}, {}, 5, 6, 7)).c_str(), true));
    EXPECT_EQ(5, small.idVendor());
    // A 255-byte suffix (239 aux bytes) is still found whole in header-only mode.
    const Bytes aux(239, 0x5A);
    ASSERT_TRUE(small.load(dir.write("maxaux.dfu", makeDfuFile(pattern(1000), aux, 8, 9, 10)).c_str(), true));
    ASSERT_EQ(239u, small.auxSize());
    EXPECT_EQ(0x5A, small.auxData()[0]);
}

TEST(DfuFirmwareFile, RejectsMalformedFilesAndLeavesObjectCleared)
{
    TempDir dir;
    const Bytes good = makeDfuFile(pattern(40), {}, 0x0A12, 1, 2);
    std::vector<std::pair<std::string, Bytes>> cases;
    cases.push_back({"empty", {}});
    cases.push_back({"15 bytes", Bytes(good.end() - 15, good.end())});
    Bytes reversed = good;
    reversed[reversed.size() - 8] = 'D';
    reversed[reversed.size() - 6] = 'U';
    fixCrc(reversed);
    cases.push_back({"reversed signature", reversed});
    Bytes short_bLength = good;
    short_bLength[short_bLength.size() - 5] = 15;
    fixCrc(short_bLength);
    cases.push_back({"bLength 15", short_bLength});
    Bytes long_bLength = makeDfuFile({}, {1, 2, 3}, 1, 2, 3);  // 19 bytes
    long_bLength[long_bLength.size() - 5] = 20;
    fixCrc(long_bLength);
    cases.push_back({"bLength beyond the file", long_bLength});
    cases.push_back({"bcdDFU 0x00FF", makeDfuFile(pattern(40), {}, 1, 2, 3, 0x00FF)});
    Bytes badCrc = good;
    badCrc[0] ^= 0xFF;
    cases.push_back({"bad CRC", badCrc});

    for (const auto& c : cases) {
        for (bool headerOnly : {false, true}) {
            if (headerOnly && c.first == "bad CRC")
                continue;
            DfuFirmware firmware;
            firmware.setData("xyz", 3);
            firmware.setAuxData("q", 1);
            firmware.setVendorId(0x4444);
            EXPECT_FALSE(firmware.load(dir.write("bad.dfu", c.second).c_str(), headerOnly)) << c.first;
            expectDefaults(firmware);
        }
    }

    // Boundary values that must still be accepted.
    Bytes version0100 = makeDfuFile({}, {}, 1, 2, 3, 0x0100);
    DfuFirmware firmware;
    EXPECT_TRUE(firmware.load(dir.write("ok.dfu", version0100).c_str(), false));
    Bytes bLengthWholeFile = makeDfuFile({}, {1, 2, 3, 4}, 1, 2, 3);  // bLength == file length
    EXPECT_TRUE(firmware.load(dir.write("ok.dfu", bLengthWholeFile).c_str(), false));
    EXPECT_EQ(4u, firmware.auxSize());
}

TEST(DfuFirmwareFile, RejectsWhatIsNotAReadableRegularFileOfAtMostOneGiB)
{
    TempDir dir;
    DfuFirmware firmware;
    EXPECT_FALSE(firmware.load(dir.path("missing.dfu").c_str(), false));
    EXPECT_FALSE(firmware.load(dir.root().c_str(), false));
    EXPECT_FALSE(firmware.load(dir.root().c_str(), true));
    EXPECT_FALSE(firmware.load("/dev/null", false));
    EXPECT_FALSE(firmware.load("/dev/zero", false));  // endless, never read
    expectDefaults(firmware);

    // 1 GiB + 1 byte, sparse: rejected from its length alone, with a valid suffix at the end.
    const Bytes suffix = makeDfuFile({}, {}, 1, 2, 3);
    const std::string huge = dir.path("huge.dfu");
    {
        std::ofstream out(huge, std::ios::binary);
        out.seekp(1073741825 - static_cast<std::streamoff>(suffix.size()));
        out.write(reinterpret_cast<const char*>(suffix.data()), suffix.size());
    }
    struct stat status;
    ASSERT_EQ(0, ::stat(huge.c_str(), &status));
    ASSERT_EQ(1073741825, status.st_size);
    EXPECT_FALSE(firmware.load(huge.c_str(), true));
    EXPECT_FALSE(firmware.load(huge.c_str(), false));
    expectDefaults(firmware);

    // A sysfs attribute claims 4096 bytes and yields a few: a short read.
    if (::stat("/sys/devices/system/cpu/online", &status) == 0 && status.st_size >= 16) {
        EXPECT_FALSE(firmware.load("/sys/devices/system/cpu/online", false));
        expectDefaults(firmware);
    }

    if (geteuid() != 0) {  // root reads it anyway
        const std::string locked = dir.write("locked.dfu", suffix);
        ASSERT_EQ(0, ::chmod(locked.c_str(), 0));
        EXPECT_FALSE(firmware.load(locked.c_str(), false));
        expectDefaults(firmware);
    }
}

TEST(DfuFirmwareFile, SaveWritesTheSuffixAndRoundTrips)
{
    TempDir dir;
    DfuFirmware firmware;
    firmware.setData("abc", 3);
    firmware.setAuxData("\x01\x02", 2);
    firmware.setVendorId(0x1234);
    firmware.setProductId(0x4321);
    firmware.setDeviceRelease(0x0100);
    firmware.setVersion(0x0100);
    ASSERT_TRUE(firmware.save(dir.path("out.dfu").c_str()));

    const Bytes file = dir.read("out.dfu");
    const Bytes expected = makeDfuFile({'a', 'b', 'c'}, {1, 2}, 0x1234, 0x4321, 0x0100);
    EXPECT_EQ(expected, file);
    ASSERT_EQ(21u, file.size());
    EXPECT_EQ(18, file[16]);
    EXPECT_EQ('U', file[13]);
    EXPECT_EQ('F', file[14]);
    EXPECT_EQ('D', file[15]);

    DfuFirmware loaded;
    ASSERT_TRUE(loaded.load(dir.path("out.dfu").c_str(), false));
    EXPECT_TRUE(loaded.equals(firmware));

    // An empty object saves as a bare suffix; the version is written as held, not enforced.
    DfuFirmware bare;
    bare.setVersion(0x0001);
    ASSERT_TRUE(bare.save(dir.path("bare.dfu").c_str()));
    EXPECT_EQ(makeDfuFile({}, {}, 0xFFFF, 0xFFFF, 0xFFFF, 0x0001), dir.read("bare.dfu"));

    // A large image round-trips through the bulk CRC.
    DfuFirmware big;
    const Bytes image = pattern(3 * 1024 * 1024 + 5);
    big.setData(image.data(), image.size());
    ASSERT_TRUE(big.save(dir.path("big.dfu").c_str()));
    ASSERT_TRUE(loaded.load(dir.path("big.dfu").c_str(), false));
    EXPECT_TRUE(loaded.equals(big));

    // No temporary file is left next to the results.
    EXPECT_EQ(3u, dir.entries().size());
}

TEST(DfuFirmwareFile, SaveReplacesAnExistingFileKeepingItsMode)
{
    TempDir dir;
    const std::string path = dir.write("out.dfu", Bytes(5000, 0xEE));
    ASSERT_EQ(0, ::chmod(path.c_str(), 0640));
    const std::string link = dir.path("link.dfu");
    ASSERT_EQ(0, ::symlink("out.dfu", link.c_str()));

    DfuFirmware firmware;
    firmware.setData("new", 3);
    ASSERT_TRUE(firmware.save(link.c_str()));
    struct stat status;
    ASSERT_EQ(0, ::lstat(link.c_str(), &status));
    EXPECT_TRUE(S_ISLNK(status.st_mode)) << "the link itself must stay";
    ASSERT_EQ(0, ::stat(path.c_str(), &status));
    EXPECT_EQ(0640u, status.st_mode & 07777);
    EXPECT_EQ(makeDfuFile({'n', 'e', 'w'}, {}, 0xFFFF, 0xFFFF, 0xFFFF), dir.read("out.dfu"));
    EXPECT_EQ(2u, dir.entries().size());

    // Writing to something that is not a regular file writes into it.
    EXPECT_TRUE(firmware.save("/dev/null"));
    struct stat null;
    ASSERT_EQ(0, ::stat("/dev/null", &null));
    EXPECT_TRUE(S_ISCHR(null.st_mode));
}

// Lowers the file size limit so that writes past it fail with EFBIG, as on a full disk.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        m_previousHandler = ::signal(SIGXFSZ, SIG_IGN);
        ::getrlimit(RLIMIT_FSIZE, &m_previous);
        rlimit limit = m_previous;
        limit.rlim_cur = bytes;
        m_active = ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    ~FileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &m_previous);
        ::signal(SIGXFSZ, m_previousHandler);
    }
    bool active() const { return m_active; }

private:
    rlimit m_previous;
    sighandler_t m_previousHandler;
    bool m_active = false;
};

TEST(DfuFirmwareFile, FailedSaveKeepsTheEarlierFileAndLeavesNoTemporary)
{
    TempDir dir;
    const Bytes earlier = makeDfuFile(pattern(900, 7), {}, 1, 2, 3);
    const std::string path = dir.write("backup.dfu", earlier);

    // 2000 bytes fit in the stdio buffer, so the failure shows when it is flushed; 1 MiB fails
    // inside fwrite itself.
    for (std::size_t size : {2000u, 1024u * 1024u}) {
        DfuFirmware firmware;
        const Bytes image = pattern(size, 9);
        firmware.setData(image.data(), image.size());
        bool saved;
        {
            FileSizeLimit limit(1000);
            ASSERT_TRUE(limit.active());
            saved = firmware.save(path.c_str());
        }
        EXPECT_FALSE(saved) << size;
        EXPECT_EQ(earlier, dir.read("backup.dfu")) << size;
        EXPECT_EQ(std::vector<std::string>{"backup.dfu"}, dir.entries()) << size;
    }

    // Nothing is created when the file did not exist before.
    DfuFirmware firmware;
    const Bytes image = pattern(5000);
    firmware.setData(image.data(), image.size());
    {
        FileSizeLimit limit(1000);
        EXPECT_FALSE(firmware.save(dir.path("new.dfu").c_str()));
    }
    EXPECT_EQ(std::vector<std::string>{"backup.dfu"}, dir.entries());

    // A destination that cannot be replaced (a directory) or a missing directory fails cleanly.
    ASSERT_EQ(0, ::mkdir(dir.path("sub").c_str(), 0755));
    EXPECT_FALSE(firmware.save(dir.path("sub").c_str()));
    EXPECT_FALSE(firmware.save(dir.path("missing/x.dfu").c_str()));
    EXPECT_EQ(2u, dir.entries().size());
}

// What `print` writes to a stream.
template <typename Print>
std::string capture(Print print)
{
    char* buffer = nullptr;
    std::size_t length = 0;
    FILE* stream = open_memstream(&buffer, &length);
    print(stream);
    std::fclose(stream);
    std::string text(buffer, length);
    std::free(buffer);
    return text;
}

std::string describe(const DfuFirmware& firmware, std::size_t maxRows = 8, std::size_t bytesPerRow = 32)
{
    return capture([&](FILE* stream) { firmware.printDescription(stream, "title.dfu", maxRows, bytesPerRow); });
}

std::string dump(const Bytes& data, std::size_t maxRows, std::size_t bytesPerRow)
{
    const DfuFirmware firmware;
    return capture([&](FILE* stream) {
        firmware.printDescriptionData(stream, "Label", data.empty() ? nullptr : data.data(), data.size(), maxRows,
                                      bytesPerRow);
    });
}

std::string header(const DfuFirmware& firmware)
{
    char line[128];
    std::snprintf(line, sizeof line, "Firmware object @ %p: title.dfu\n", static_cast<const void*>(&firmware));
    return line;
}

TEST(DfuFirmwareDescription, SummaryAndCompactAuxData)
{
    DfuFirmware firmware;
    firmware.setVendorId(0x0A12);
    firmware.setProductId(0x0001);
    firmware.setDeviceRelease(0x0100);
    EXPECT_EQ(header(firmware) +
                  "  VendorID:        0x0a12\n"
                  "  ProductID:       0x0001\n"
                  "  DeviceRelease:   0x0100\n"
                  "  Aux data size:   0 bytes\n"
                  "  Firmware size:   0 bytes\n",
              describe(firmware));

    firmware.setAuxData("\x01\x02\x41\x42", 4);
    firmware.setData("\x00\x7f\x80\xff~ ", 6);
    EXPECT_EQ(header(firmware) +
                  "  VendorID:        0x0a12\n"
                  "  ProductID:       0x0001\n"
                  "  DeviceRelease:   0x0100\n"
                  "  Aux data size:   4 bytes\n"
                  "    AuxData:  01 02 41 42 : ..AB\n"
                  "  Firmware size:   6 bytes\n"
                  "    Firmware:  00 7f 80 ff 7e 20 : ....~ \n",
              describe(firmware));
}

TEST(DfuFirmwareDescription, CompactAndWideLayouts)
{
    EXPECT_EQ("", dump({}, 8, 32));
    EXPECT_EQ("", dump({1}, 0, 32));
    EXPECT_EQ("", dump({1}, 8, 0));

    // Compact: rows follow the label, then start at the beginning of a line.
    EXPECT_EQ("    Label:  41 42 43 : ABC\n"
              ":  44 45 46 : DEF\n"
              ":  47 : G\n",
              dump({'A', 'B', 'C', 'D', 'E', 'F', 'G'}, 8, 3));
    EXPECT_EQ("    Label:  41 42 : AB\n"
              "        (1 of 3 bytes not shown)\n",
              dump({'A', 'B', 'C'}, 1, 2));

    // 543 / 32 = 16 stays compact, 544 / 32 = 17 is wide.
    const std::string compact = dump(Bytes(543, 'a'), 8, 32);
    EXPECT_EQ(0u, compact.find("    Label:  61"));
    EXPECT_NE(std::string::npos, compact.find("        (287 of 543 bytes not shown)\n"));
    const std::string wide = dump(Bytes(544, 'a'), 8, 32);
    EXPECT_EQ(0u, wide.find("    Label\n        00000000:  61"));

    // Wide: offsets, and padding of a short last row so that the characters line up.
    const std::string rows = dump(Bytes(35, 'a'), 18, 2);
    EXPECT_EQ(0u, rows.find("    Label\n        00000000:  61 61 : aa\n        00000002:  61 61 : aa\n"));
    const std::string last = "        00000022:  61    : a\n";
    ASSERT_GE(rows.size(), last.size());
    EXPECT_EQ(last, rows.substr(rows.size() - last.size()));
    EXPECT_EQ(19, std::count(rows.begin(), rows.end(), '\n'));

    // 8 rows of 32 show 256 bytes whole; 257 leave one.
    const std::string whole = dump(Bytes(256, 1), 8, 32);
    EXPECT_EQ(std::string::npos, whole.find("not shown"));
    EXPECT_EQ(8, std::count(whole.begin(), whole.end(), '\n'));
    const std::string cut = dump(Bytes(1000, 1), 8, 32);
    EXPECT_NE(std::string::npos, cut.find("        000000e0: "));
    EXPECT_EQ(std::string::npos, cut.find("        00000100: "));
    EXPECT_NE(std::string::npos, cut.find("        (744 of 1000 bytes not shown)\n"));
    EXPECT_NE(std::string::npos, dump(Bytes(257, 1), 8, 32).find("(1 of 257 bytes not shown)"));
}

TEST(DfuFirmwareDescription, CsrHeaderLinesAndAuxAlwaysUpToThirtyTwoRows)
{
    Bytes image(100, 0);
    std::memcpy(image.data(), "CSR-dfu\x01", 8);
    image[8] = 0x02;
    image[9] = 0x01;
    image[10] = 100;  // file length 100: matches
    image[14] = 0x64;
    std::memcpy(image.data() + 16, "Widget firmware\x7f", 16);
    DfuFirmware firmware;
    firmware.setData(image.data(), image.size());
    const std::string csr = "  CSR file id:     CSR-dfu.\n"
                            "  CSR file vers:   0x0102\n"
                            "  CSR file len:    0x0064\n"
                            "  CSR hdr len:     0x0064\n"
                            "  CSR file desc:   Widget firmware." +
                            std::string(48, '.') + "\n";
    std::string text = describe(firmware);
    ASSERT_GE(text.size(), csr.size());
    EXPECT_EQ(csr, text.substr(text.size() - csr.size()));

    image[10] = 101;
    firmware.setData(image.data(), image.size());
    EXPECT_NE(std::string::npos,
              describe(firmware).find("  CSR file len:    0x0065 Note: does not match firmware data size\n"));

    firmware.setData(image.data(), 99);
    EXPECT_EQ(std::string::npos, describe(firmware).find("CSR file"));
    image[0] = 'c';
    firmware.setData(image.data(), image.size());
    EXPECT_EQ(std::string::npos, describe(firmware).find("CSR file"));

    // Aux data is dumped with 32 rows whatever the caller asks for the image.
    DfuFirmware aux;
    const Bytes auxBytes(239, 'x');
    aux.setAuxData(auxBytes.data(), auxBytes.size());
    const std::string auxText = describe(aux, 1, 2);
    EXPECT_NE(std::string::npos, auxText.find("        (175 of 239 bytes not shown)\n"));
}

}  // namespace
}  // namespace kel
