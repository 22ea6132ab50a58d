#include "platform/linux/sysfs.h"

#include "platform/linux/access_hint.h"
#include "platform/linux/errno.h"

#include <cerrno>
#include <charconv>

#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace kel {
namespace platform {

namespace {

// Sysfs attributes are small; a report descriptor is at most 4096 bytes (HID_MAX_DESCRIPTOR_SIZE).
constexpr std::size_t kMaxAttributeSize = 65536;

}  // namespace

bool parseNumber(const std::string& text, int base, std::uint32_t& value)
{
    const std::size_t start = text.find_first_not_of(' ');
    if (start == std::string::npos)
        return false;
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data() + start, end, value, base);
    return result.ec == std::errc() && result.ptr == end;
}

bool listDirectory(const std::string& path, std::vector<std::string>& names)
{
    DIR* directory = ::opendir(path.c_str());
    if (directory == nullptr)
        return false;
    for (;;) {
        errno = 0;  // readdir() ends the list and fails alike, telling them apart by errno only
        const dirent* entry = ::readdir(directory);
        if (entry == nullptr)
            break;
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.emplace_back(entry->d_name);
    }
    const int error = errno;
    ::closedir(directory);
    errno = error;
    return error == 0;
}

bool readSysfsLink(const std::string& path, std::string& target)
{
    char buffer[4096];
    const ssize_t length = ::readlink(path.c_str(), buffer, sizeof buffer);
    if (length <= 0 || static_cast<std::size_t>(length) == sizeof buffer)
        return false;
    std::string joined(buffer, static_cast<std::size_t>(length));
    if (joined[0] != '/')
        joined = path.substr(0, path.find_last_of('/') + 1) + joined;
    std::vector<std::string> parts;
    for (std::size_t start = 0; start <= joined.size();) {
        std::size_t slash = joined.find('/', start);
        if (slash == std::string::npos)
            slash = joined.size();
        const std::string part = joined.substr(start, slash - start);
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = slash + 1;
    }
    target.clear();
    for (const std::string& part : parts)
        target += "/" + part;
    return true;
}

std::string baseName(const std::string& path)
{
    const std::size_t end = path.find_last_not_of('/');
    if (end == std::string::npos)
        return path.empty() ? path : "/";
    const std::size_t slash = path.rfind('/', end);
    const std::size_t start = slash == std::string::npos ? 0 : slash + 1;
    return path.substr(start, end - start + 1);
}

bool readSysfsBytes(const std::string& directory, const char* attribute, std::vector<std::uint8_t>& bytes)
{
    const std::string path = directory + "/" + attribute;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    int error = 0;
    if (fd >= 0) {
        bytes.clear();
        std::uint8_t buffer[4096];
        for (;;) {
            const ssize_t count = retryOnEintr([&] { return ::read(fd, buffer, sizeof buffer); });
            if (count > 0 && bytes.size() + static_cast<std::size_t>(count) > kMaxAttributeSize) {
                error = EFBIG;
                break;
            } else if (count > 0) {
                bytes.insert(bytes.end(), buffer, buffer + count);
            } else if (count == 0) {
                break;
            } else {
                error = errno;
                break;
            }
        }
        ::close(fd);
    } else {
        error = errno;
    }
    if (error == 0)
        return true;
    // A device that has gone takes its files with it (ENOENT), or leaves an open one
    // unreadable (ENODEV): nothing to say, its removal follows.
    if (error != ENOENT && error != ENODEV)
        reportUnreadable(path, error);
    errno = error;
    return false;
}

bool readSysfsText(const std::string& directory, const char* attribute, std::string& text)
{
    std::vector<std::uint8_t> bytes;
    if (!readSysfsBytes(directory, attribute, bytes))
        return false;
    if (!bytes.empty() && bytes.back() == '\n')
        bytes.pop_back();
    text.assign(bytes.begin(), bytes.end());
    return true;
}

namespace {

bool readSysfsNumber(const std::string& directory, const char* attribute, int base, std::uint32_t& value)
{
    std::string text;
    if (!readSysfsText(directory, attribute, text))
        return false;
    if (parseNumber(text, base, value))
        return true;
    errno = EINVAL;
    return false;
}

}  // namespace

bool readSysfsHex(const std::string& directory, const char* attribute, std::uint32_t& value)
{
    return readSysfsNumber(directory, attribute, 16, value);
}

bool readSysfsDecimal(const std::string& directory, const char* attribute, std::uint32_t& value)
{
    return readSysfsNumber(directory, attribute, 10, value);
}

}  // namespace platform
}  // namespace kel
