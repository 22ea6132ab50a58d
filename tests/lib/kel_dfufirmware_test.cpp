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
