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
    while (const dirent* entry = ::readdir(directory)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.emplace_back(entry->d_name);
    }
    ::closedir(directory);
    return true;
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
    if (fd < 0) {
        hintOnAccessDenied(path, errno);
        return false;
    }
    bytes.clear();
    std::uint8_t buffer[4096];
    bool ok = true;
    for (;;) {
        const ssize_t count = retryOnEintr([&] { return ::read(fd, buffer, sizeof buffer); });
        if (count > 0 && bytes.size() + static_cast<std::size_t>(count) > kMaxAttributeSize) {
            ok = false;
            break;
        } else if (count > 0) {
            bytes.insert(bytes.end(), buffer, buffer + count);
        } else if (count == 0) {
            break;
        } else {
            ok = false;  // ENODEV once the device has been unplugged under an open file
            break;
        }
    }
    ::close(fd);
    return ok;
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

bool readSysfsHex(const std::string& directory, const char* attribute, std::uint32_t& value)
{
    std::string text;
    return readSysfsText(directory, attribute, text) && parseNumber(text, 16, value);
}

bool readSysfsDecimal(const std::string& directory, const char* attribute, std::uint32_t& value)
{
    std::string text;
    return readSysfsText(directory, attribute, text) && parseNumber(text, 10, value);
}

}  // namespace platform
}  // namespace kel
