#include "platform/linux/sysfs.h"

#include "platform/linux/errno.h"

#include <cerrno>
#include <charconv>

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

std::string baseName(const std::string& path)
{
    const std::size_t end = path.find_last_not_of('/');
    if (end == std::string::npos)
        return path.empty() ? path : "/";
    const std::size_t slash = path.rfind('/', end);
    return path.substr(slash == std::string::npos ? 0 : slash + 1, end - (slash == std::string::npos ? 0 : slash + 1) + 1);
}

bool readSysfsBytes(const std::string& directory, const char* attribute, std::vector<std::uint8_t>& bytes)
{
    const std::string path = directory + "/" + attribute;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
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
