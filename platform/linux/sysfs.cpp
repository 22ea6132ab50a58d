#include "platform/linux/sysfs.h"

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

namespace kel {
namespace platform {

namespace {

// Sysfs attributes are small; a report descriptor is at most 4096 bytes (HID_MAX_DESCRIPTOR_SIZE).
constexpr std::size_t kMaxAttributeSize = 65536;

bool parseNumber(const std::string& text, int base, std::uint32_t& value)
{
    std::size_t position = text.find_first_not_of(' ');  // the kernel pads some fields
    if (position == std::string::npos)
        return false;
    std::uint64_t result = 0;
    const std::size_t start = position;
    for (; position < text.size(); ++position) {
        const char c = text[position];
        unsigned digit;
        if (c >= '0' && c <= '9')
            digit = static_cast<unsigned>(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = static_cast<unsigned>(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = static_cast<unsigned>(c - 'A' + 10);
        else
            return false;
        result = result * static_cast<unsigned>(base) + digit;
        if (result > 0xFFFFFFFFu)
            return false;
    }
    if (position == start)
        return false;
    value = static_cast<std::uint32_t>(result);
    return true;
}

}  // namespace

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
        const ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count > 0 && bytes.size() + static_cast<std::size_t>(count) > kMaxAttributeSize) {
            ok = false;
            break;
        } else if (count > 0) {
            bytes.insert(bytes.end(), buffer, buffer + count);
        } else if (count == 0) {
            break;
        } else if (errno != EINTR) {
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
