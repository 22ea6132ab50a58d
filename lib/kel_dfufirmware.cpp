#include "lib/kel_dfufirmware.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cassert>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "lib/kel_endian.h"

namespace kel {

void CRC32::update(const unsigned char* data, std::size_t length)
{
    // zlib inverts on the way in and out; the accumulator is the value between the two. An
    // empty update must not reach it: for a null buffer it returns its initial value instead.
    if (length)
        m_accumulator = ~static_cast<std::uint32_t>(crc32_z(~m_accumulator, data, length));
}

namespace {

constexpr std::size_t kMinTrailerLength = 16;
constexpr std::size_t kMaxAuxSize = 255 - kMinTrailerLength;
constexpr std::uint16_t kDefaultVersion = 0x0100;
constexpr std::uint16_t kDefaultId = 0xFFFF;

// Closes a FILE* on every way out.
struct FileCloser {
    FILE* file;
    ~FileCloser()
    {
        if (file)
            std::fclose(file);
    }
};

}  // namespace

DfuFirmware::DfuFirmware()
    : m_version(kDefaultVersion),
      m_idVendor(kDefaultId),
      m_idProduct(kDefaultId),
      m_deviceRelease(kDefaultId),
      m_data(nullptr),
      m_size(0),
      m_allocSize(0),
      m_auxData(nullptr),
      m_auxSize(0)
{
}

DfuFirmware::DfuFirmware(const DfuFirmware& other) : DfuFirmware()
{
    *this = other;
}

DfuFirmware& DfuFirmware::operator=(const DfuFirmware& other)
{
    if (this == &other)
        return *this;  // clear() would free what is about to be copied
    clear();
    m_version = other.m_version;
    m_idVendor = other.m_idVendor;
    m_idProduct = other.m_idProduct;
    m_deviceRelease = other.m_deviceRelease;
    setData(other.m_data, other.m_size);
    if (other.m_auxSize)
        setAuxData(other.m_auxData, other.m_auxSize);
    return *this;
}

DfuFirmware::~DfuFirmware()
{
    m_version = m_idVendor = m_idProduct = m_deviceRelease = 0;
    std::free(m_data);
    std::free(m_auxData);
}

void DfuFirmware::erase()
{
    std::free(m_data);
    m_data = nullptr;
    m_size = 0;
    m_allocSize = 0;
}

void DfuFirmware::clear()
{
    erase();
    std::free(m_auxData);
    m_auxData = nullptr;
    m_auxSize = 0;
    m_version = kDefaultVersion;
    m_idVendor = m_idProduct = m_deviceRelease = kDefaultId;
}

void DfuFirmware::resize(std::size_t newSize, bool zeroFill)
{
    constexpr std::size_t kBlockSize = 8192;
    if (newSize > m_size) {
        if (newSize > m_allocSize) {
            if (newSize > SIZE_MAX - 2 * kBlockSize)
                throw std::bad_alloc();
            const std::size_t newAllocSize = (newSize / kBlockSize + (newSize % kBlockSize ? 1 : 0) + 1) * kBlockSize;
            assert(newAllocSize >= newSize);
            assert(newAllocSize > m_size);
            void* grown = std::realloc(m_data, newAllocSize);
            if (!grown)
                throw std::bad_alloc();
            m_data = static_cast<unsigned char*>(grown);
            m_allocSize = newAllocSize;
        }
        if (zeroFill)
            std::memset(m_data + m_size, 0, newSize - m_size);
    }
    m_size = newSize;
}

void DfuFirmware::setData(const void* data, std::size_t length)
{
    resize(length, true);
    if (length)
        std::memmove(m_data, data, length);
}

void DfuFirmware::append(const void* data, std::size_t length)
{
    const std::size_t oldSize = m_size;
    if (length > SIZE_MAX - m_size)
        throw std::bad_alloc();
    resize(m_size + length, false);
    if (length)
        std::memcpy(m_data + oldSize, data, length);
}

bool DfuFirmware::setAuxData(const void* data, std::size_t length)
{
    if (!data || length > kMaxAuxSize)
        return false;
    unsigned char* copy = nullptr;
    if (length) {
        copy = static_cast<unsigned char*>(std::malloc(length));
        if (!copy)
            throw std::bad_alloc();
        std::memcpy(copy, data, length);
    }
    std::free(m_auxData);
    m_auxData = copy;
    m_auxSize = length;
    return true;
}

bool DfuFirmware::equals(const DfuFirmware& other) const
{
    return m_version == other.m_version && m_idVendor == other.m_idVendor && m_idProduct == other.m_idProduct &&
           m_deviceRelease == other.m_deviceRelease && m_size == other.m_size && m_auxSize == other.m_auxSize &&
           (m_size == 0 || std::memcmp(m_data, other.m_data, m_size) == 0) &&
           (m_auxSize == 0 || std::memcmp(m_auxData, other.m_auxData, m_auxSize) == 0);
}

namespace {

template <typename... Args>
std::string kel_Format(const char* format, Args... args)
{
    char text[80];
    std::snprintf(text, sizeof text, format, args...);
    return text;
}

}  // namespace

bool DfuFirmware::load(const char* path, bool headerOnly, std::string* reason)
{
    constexpr off_t kMaxFileLength = 1073741824;  // 1 GiB
    constexpr std::size_t kMaxHeaderRead = 255;

    const auto reject = [this, reason](std::string why) {
        clear();
        if (reason)
            *reason = std::move(why);
        return false;
    };

    clear();
    // Without O_NONBLOCK a FIFO would hold the open until a writer came along; a terminal
    // given by mistake must not become the controlling one.
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return reject(std::strerror(errno));
    FileCloser file{::fdopen(fd, "rb")};
    if (!file.file) {
        const std::string why = std::strerror(errno);
        ::close(fd);
        return reject(why);
    }
    // Only regular files have a length worth trusting: a directory opens fine and reports
    // whatever its file system likes, a pipe none at all.
    struct stat status;
    if (::fstat(fd, &status) != 0)
        return reject(std::strerror(errno));
    if (!S_ISREG(status.st_mode))
        return reject("not a regular file");
    const off_t length = status.st_size;
    if (length < static_cast<off_t>(kMinTrailerLength))
        return reject(kel_Format("too short for a DFU suffix (%lld bytes)", static_cast<long long>(length)));
    if (length > kMaxFileLength)
        return reject(kel_Format("larger than 1 GiB (%lld bytes)", static_cast<long long>(length)));

    std::size_t count = static_cast<std::size_t>(length);
    if (headerOnly && count > kMaxHeaderRead)
        count = kMaxHeaderRead;
    if (fseeko(file.file, length - static_cast<off_t>(count), SEEK_SET) != 0)
        return reject(std::strerror(errno));
    resize(count, false);
    if (std::fread(m_data, 1, count, file.file) != count)
        return reject(std::ferror(file.file) ? std::strerror(errno) : "cut short while being read");

    const unsigned char* buffer = m_data;
    const std::size_t n = count;
    const std::uint32_t dwCRC = kel_EndianReadLittleU32(buffer, n - 4);
    const std::size_t bLength = buffer[n - 5];
    const std::uint16_t bcdDFU = kel_EndianReadLittleU16(buffer, n - 10);
    if (buffer[n - 8] != 'U' || buffer[n - 7] != 'F' || buffer[n - 6] != 'D')
        return reject("no DFU suffix");
    if (bLength < kMinTrailerLength || bLength > n)
        return reject(kel_Format("DFU suffix length %zu out of range", bLength));
    if (bcdDFU < 0x0100)
        return reject(kel_Format("bcdDFU 0x%04x below 0x0100", static_cast<unsigned>(bcdDFU)));
    if (!headerOnly) {
        CRC32 crc;
        crc.update(buffer, n - 4);
        if (crc.accumulator() != dwCRC)
            return reject(kel_Format("CRC mismatch (file 0x%08x, computed 0x%08x)", static_cast<unsigned>(dwCRC),
                                     static_cast<unsigned>(crc.accumulator())));
    }

    m_version = bcdDFU;
    m_idVendor = kel_EndianReadLittleU16(buffer, n - 12);
    m_idProduct = kel_EndianReadLittleU16(buffer, n - 14);
    m_deviceRelease = kel_EndianReadLittleU16(buffer, n - 16);
    setAuxData(buffer + n - bLength, bLength - kMinTrailerLength);
    resize(headerOnly ? 0 : n - bLength, false);
    return true;
}

namespace {

// Writes `length` bytes; false on a short write.
bool kel_WriteAll(FILE* file, const void* data, std::size_t length)
{
    return length == 0 || std::fwrite(data, 1, length, file) == length;
}

// Makes a rename in `directory` durable. Best effort: the file itself is already synced.
void kel_SyncDirectory(const std::string& directory)
{
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

std::string kel_DirectoryOf(const std::string& path)
{
    const std::string::size_type slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// Follows symbolic links in the last component of `path`, as opening it would, to a name
// that is not a link (possibly one that does not exist yet). False, with errno, on a loop.
bool kel_ResolveLinks(std::string& path)
{
    constexpr int kMaxLinks = 40;  // the kernel's own limit
    for (int hop = 0; hop <= kMaxLinks; ++hop) {
        struct stat status;
        if (::lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode))
            return true;
        std::string link(status.st_size > 0 ? static_cast<std::size_t>(status.st_size) + 1 : 4096, '\0');
        const ssize_t length = ::readlink(path.c_str(), &link[0], link.size());
        if (length < 0)
            return false;
        if (static_cast<std::size_t>(length) >= link.size()) {
            errno = ENAMETOOLONG;
            return false;
        }
        link.resize(static_cast<std::size_t>(length));
        path = link[0] == '/' ? link : kel_DirectoryOf(path) + "/" + link;
    }
    errno = ELOOP;
    return false;
}

// What a save meets at its destination.
struct Destination {
    std::string path;  // a regular file's or a new one's with the links followed
    bool exists;
    struct stat status;
};

// False, with errno, when the links cannot be followed.
bool kel_FindDestination(const char* path, Destination& destination)
{
    // Something that is not a regular file is written through the path as given, with the links
    // followed by the system: a /proc/self/fd link to a pipe names no path to follow by hand.
    destination.path = path;
    destination.exists = ::stat(path, &destination.status) == 0;
    if (destination.exists && !S_ISREG(destination.status.st_mode))
        return true;
    if (!kel_ResolveLinks(destination.path))
        return false;
    destination.exists = ::stat(destination.path.c_str(), &destination.status) == 0;
    return true;
}

// Creates the file that is renamed over `target` once written, next to it under a name short
// enough to fit wherever the target's does. The descriptor, or -1 with errno.
int kel_CreateBeside(const std::string& target, std::string& temporary)
{
    const std::string directory = kel_DirectoryOf(target);
    int fd = -1;
    for (unsigned attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        temporary = directory + "/.hiddfu-" + std::to_string(::getpid()) + "-" + std::to_string(attempt);
        // 0666 under the umask, as a newly created destination would get.
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    return fd;
}

// Whether a failure to create or rename beside an existing file leaves writing it in place:
// a directory the user may not write, or a sticky one where only the file's owner may replace it.
bool kel_InPlaceInstead(int error)
{
    return error == EACCES || error == EPERM;
}

}  // namespace

bool DfuFirmware::writeTo(std::FILE* file) const
{
    unsigned char suffix[kMinTrailerLength] = {};
    assert(m_auxSize + kMinTrailerLength <= 255);
    suffix[11] = static_cast<unsigned char>(m_auxSize + kMinTrailerLength);
    suffix[8] = 'U';
    suffix[9] = 'F';
    suffix[10] = 'D';
    kel_EndianWriteLittleU16(suffix, 6, m_version);
    kel_EndianWriteLittleU16(suffix, 4, m_idVendor);
    kel_EndianWriteLittleU16(suffix, 2, m_idProduct);
    kel_EndianWriteLittleU16(suffix, 0, m_deviceRelease);
    CRC32 crc;
    if (m_size)
        crc.update(m_data, m_size);
    if (m_auxSize)
        crc.update(m_auxData, m_auxSize);
    crc.update(suffix, 12);
    kel_EndianWriteLittleU32(suffix, 12, crc.accumulator());
    return kel_WriteAll(file, m_data, m_size) && kel_WriteAll(file, m_auxData, m_auxSize) &&
           kel_WriteAll(file, suffix, sizeof suffix) && std::fflush(file) == 0;
}

bool DfuFirmware::canSave(const char* path)
{
    Destination destination;
    if (!kel_FindDestination(path, destination))
        return false;
    const char* target = destination.path.c_str();
    if (destination.exists && S_ISDIR(destination.status.st_mode)) {
        errno = EISDIR;
        return false;
    }
    if (destination.exists && ::faccessat(AT_FDCWD, target, W_OK, AT_EACCESS) != 0)
        return false;
    // Opening anything else to try it could block (a FIFO) or act (a tape drive rewinds).
    if (destination.exists && !S_ISREG(destination.status.st_mode))
        return true;
    std::string temporary;
    const int fd = kel_CreateBeside(destination.path, temporary);
    if (fd < 0)
        return destination.exists && kel_InPlaceInstead(errno);
    ::close(fd);
    ::unlink(temporary.c_str());
    return true;
}

bool DfuFirmware::save(const char* path) const
{
    // A symbolic link, dangling or not, is written through to its target.
    Destination destination;
    if (!kel_FindDestination(path, destination))
        return false;
    const std::string& target = destination.path;
    const struct stat& status = destination.status;
    const bool exists = destination.exists;

    // Something that is not a regular file (a terminal, a pipe, /dev/null) is written in place:
    // there is no earlier file to protect, and replacing it would be wrong.
    if (exists && !S_ISREG(status.st_mode)) {
        FileCloser file{std::fopen(target.c_str(), "wb")};
        return file.file && writeTo(file.file);
    }
    // A rename would replace a file that the user may not write; refuse it as opening would.
    if (exists && ::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0)
        return false;

    // The new file is written next to the destination and renamed over it only once every byte
    // is on disk, so a failed write never destroys an earlier file.
    std::string temporary;
    const int fd = kel_CreateBeside(target, temporary);
    if (fd < 0)
        return exists && kel_InPlaceInstead(errno) && saveInPlace(target.c_str(), status);
    if (exists) {
        // The owner and group stay where the process may keep them (as root). The special bits
        // never carry over: they were granted to the earlier content, not to this one.
        // Where the owner may not be kept, the group still may be (one the user belongs to).
        if (::fchown(fd, status.st_uid, status.st_gid) != 0)
            [[maybe_unused]] const int kept = ::fchown(fd, static_cast<uid_t>(-1), status.st_gid);
        ::fchmod(fd, status.st_mode & 0777);
    }

    FILE* file = ::fdopen(fd, "wb");
    if (!file) {
        ::close(fd);
        ::unlink(temporary.c_str());
        return false;
    }
    bool written = writeTo(file) && ::fsync(fd) == 0;
    written = std::fclose(file) == 0 && written;
    if (!written) {
        ::unlink(temporary.c_str());
        return false;
    }
    if (::rename(temporary.c_str(), target.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        return exists && kel_InPlaceInstead(error) && saveInPlace(target.c_str(), status);
    }
    kel_SyncDirectory(kel_DirectoryOf(target));
    return true;
}

bool DfuFirmware::saveInPlace(const char* path, const struct stat& status) const
{
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    if (status.st_mode & 07000)
        ::fchmod(fd, status.st_mode & 0777);
    FileCloser file{::fdopen(fd, "wb")};
    if (!file.file) {
        ::close(fd);
        return false;
    }
    // Overwritten first and cut afterwards, so that a failure leaves as much as it can.
    return writeTo(file.file) && ::ftruncate(fd, ftello(file.file)) == 0 && ::fsync(fd) == 0;
}

// ---------------------------------------------------------------------------------------------
// Description

namespace {

void kel_PrintCharacters(FILE* stream, const unsigned char* data, std::size_t length)
{
    for (std::size_t i = 0; i < length; ++i)
        std::fputc(data[i] >= 0x20 && data[i] <= 0x7E ? data[i] : '.', stream);
}

}  // namespace

void DfuFirmware::printDescription(FILE* stream, const char* title, std::size_t maxRows,
                                   std::size_t bytesPerRow) const
{
    std::fprintf(stream, "Firmware object @ %p: %s\n", static_cast<const void*>(this), title);
    std::fprintf(stream, "  VendorID:        0x%04x\n", idVendor());
    std::fprintf(stream, "  ProductID:       0x%04x\n", idProduct());
    std::fprintf(stream, "  DeviceRelease:   0x%04x\n", deviceRelease());
    std::fprintf(stream, "  Aux data size:   %u bytes\n", static_cast<unsigned>(auxSize()));
    printDescriptionData(stream, "AuxData", auxData(), auxSize(), 32, bytesPerRow);
    std::fprintf(stream, "  Firmware size:   %u bytes\n", static_cast<unsigned>(size()));
    printDescriptionData(stream, "Firmware", data(), size(), maxRows, bytesPerRow);

    constexpr std::size_t kCsrHeaderLength = 100;
    if (m_size >= kCsrHeaderLength && std::memcmp(m_data, "CSR-dfu", 7) == 0) {
        std::fprintf(stream, "  CSR file id:     ");
        kel_PrintCharacters(stream, m_data, 8);
        std::fprintf(stream, "\n");
        std::fprintf(stream, "  CSR file vers:   0x%04x\n", kel_EndianReadLittleU16(m_data, 8));
        const std::uint32_t fileLength = kel_EndianReadLittleU32(m_data, 10);
        std::fprintf(stream, "  CSR file len:    0x%04x%s\n", fileLength,
                     fileLength != m_size ? " Note: does not match firmware data size" : "");
        std::fprintf(stream, "  CSR hdr len:     0x%04x\n", kel_EndianReadLittleU16(m_data, 14));
        std::fprintf(stream, "  CSR file desc:   ");
        kel_PrintCharacters(stream, m_data + 16, 64);
        std::fprintf(stream, "\n");
    }
}

void DfuFirmware::printDescriptionData(FILE* stream, const char* label, const unsigned char* data,
                                       std::size_t length, std::size_t maxRows, std::size_t bytesPerRow) const
{
    if (!data || length == 0 || bytesPerRow == 0 || maxRows == 0)
        return;
    const bool wide = length / bytesPerRow > 16;

    std::fprintf(stream, "    %s", label);
    if (wide)
        std::fprintf(stream, "\n");
    std::size_t offset = 0;
    for (std::size_t row = 0; row < maxRows && offset < length; ++row) {
        const std::size_t n = length - offset < bytesPerRow ? length - offset : bytesPerRow;
        if (wide)
            std::fprintf(stream, "        %08x: ", static_cast<unsigned>(row * bytesPerRow));
        else
            std::fprintf(stream, ": ");
        for (std::size_t i = 0; i < n; ++i)
            std::fprintf(stream, " %02x", data[offset + i]);
        if (wide)
            for (std::size_t i = n; i < bytesPerRow; ++i)
                std::fprintf(stream, "   ");
        std::fprintf(stream, " : ");
        kel_PrintCharacters(stream, data + offset, n);
        std::fprintf(stream, "\n");
        offset += n;
    }
    if (offset < length)
        std::fprintf(stream, "        (%u of %u bytes not shown)\n", static_cast<unsigned>(length - offset),
                     static_cast<unsigned>(length));
}

}  // namespace kel
