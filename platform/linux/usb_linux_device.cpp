#include "platform/linux/usb_linux_device.h"

#include <cerrno>
#include <cstdio>
#include <vector>

#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "platform/linux/access_hint.h"
#include "platform/linux/errno.h"
#include "platform/linux/location.h"
#include "platform/linux/usb_sysfs.h"

namespace kel {
namespace platform {

namespace {

std::string baseName(const std::string& path)
{
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

class LinuxUsbDeviceInterface final : public UsbDeviceInterface {
public:
    explicit LinuxUsbDeviceInterface(std::shared_ptr<LinuxUsbService> service) : m_service(std::move(service)) {}

    ~LinuxUsbDeviceInterface() override
    {
        if (m_fd >= 0)
            ::close(m_fd);  // also drops the lock of an open device
    }

    // Exclusive among the programs that lock the node too: usbfs has no seize, so this is an
    // advisory lock on the node that another hiddfu (or any flock user) respects.
    IOReturn USBDeviceOpen() override
    {
        if (!m_service->isAttached())
            return kIOReturnNoDevice;
        if (m_isOpen)
            return kIOReturnExclusiveAccess;
        const IOReturn kr = openNode();
        if (kr != kIOReturnSuccess) {
            hintOnAccessDenied(m_service->devnode(), kr == kIOReturnNotPrivileged ? EACCES : 0);
            return kr;
        }
        if (::flock(m_fd, LOCK_EX | LOCK_NB) != 0)
            return errno == EWOULDBLOCK ? kIOReturnExclusiveAccess : ioReturnForErrno(errno);
        m_isOpen = true;
        return kIOReturnSuccess;
    }

    IOReturn USBDeviceClose() override
    {
        if (!m_isOpen)
            return m_service->isAttached() ? kIOReturnNotOpen : kIOReturnNoDevice;
        ::flock(m_fd, LOCK_UN);
        m_isOpen = false;
        return m_service->isAttached() ? kIOReturnSuccess : kIOReturnNoDevice;
    }

    IOReturn DeviceRequest(UsbDevRequest& request) override
    {
        request.wLenDone = 0;
        if (!m_service->isAttached())
            return kIOReturnNoDevice;
        if (request.pData == nullptr && request.wLength > 0)
            return kIOReturnBadArgument;
        const IOReturn kr = controlTransfer(request);
        if (kr == kIOReturnSuccess)
            return kr;
        // Without access to the node, or when the device refuses, what the kernel read at
        // enumeration still answers the standard descriptor requests.
        std::uint32_t done = 0;
        const IOReturn fallback =
            sysfsDescriptorRequest(m_service->syspath(), request.bmRequestType, request.bRequest, request.wValue,
                                   request.wLength, request.pData, done);
        if (fallback == kIOReturnSuccess && m_service->isAttached()) {
            request.wLenDone = done;
            return kIOReturnSuccess;
        }
        if (kr == kIOReturnNotPrivileged && m_service->isAttached())  // neither could answer
            hintOnAccessDenied(m_service->devnode(), EACCES);
        if (fallback == kIOReturnNoDevice || !m_service->isAttached())
            return kIOReturnNoDevice;
        return kr;
    }

    IOReturn GetUSBDeviceInformation(std::uint32_t* info) override
    {
        constexpr std::uint32_t kAttachedToRootHub = 1u << 1;
        constexpr std::uint32_t kConnected = 1u << 3;
        constexpr std::uint32_t kEnabled = 1u << 4;
        constexpr std::uint32_t kRootHub = 1u << 9;
        unsigned bus = 0;
        std::vector<unsigned> ports;
        if (!m_service->isAttached())
            return kIOReturnNoDevice;
        std::uint32_t word = kConnected | kEnabled;
        if (parseUsbDeviceName(baseName(m_service->syspath()), bus, ports))
            word |= ports.empty() ? kRootHub : ports.size() == 1 ? kAttachedToRootHub : 0;
        *info = word;
        return kIOReturnSuccess;
    }

    IOReturn GetLocationID(std::uint32_t* locationId) override
    {
        unsigned bus = 0;
        std::vector<unsigned> ports;
        if (!parseUsbDeviceName(baseName(m_service->syspath()), bus, ports))
            return m_service->isAttached() ? kIOReturnUnsupported : kIOReturnNoDevice;
        if (!m_service->isAttached())
            return kIOReturnNoDevice;
        *locationId = usbLocationId(bus, ports, m_service->devnum());
        return kIOReturnSuccess;
    }

    IOReturn GetDeviceVendor(std::uint16_t* idVendor) override { return hex16("idVendor", idVendor); }
    IOReturn GetDeviceProduct(std::uint16_t* idProduct) override { return hex16("idProduct", idProduct); }
    IOReturn GetDeviceReleaseNumber(std::uint16_t* bcdDevice) override { return hex16("bcdDevice", bcdDevice); }
    IOReturn GetDeviceClass(std::uint8_t* deviceClass) override { return hex8("bDeviceClass", deviceClass); }
    IOReturn GetDeviceSubClass(std::uint8_t* subClass) override { return hex8("bDeviceSubClass", subClass); }
    IOReturn GetDeviceProtocol(std::uint8_t* protocol) override { return hex8("bDeviceProtocol", protocol); }

    IOReturn GetDeviceSpeed(std::uint8_t* speed) override
    {
        std::string text;
        std::uint8_t code = 0;
        const bool read = readSysfsText(m_service->syspath(), "speed", text);
        if (!read || !m_service->isAttached())
            return kIOReturnNoDevice;
        if (!usbSpeedCode(text, code))
            return kIOReturnUnsupported;
        *speed = code;
        return kIOReturnSuccess;
    }

    IOReturn GetConfiguration(std::uint8_t* configuration) override
    {
        // Empty while the device is not configured.
        std::string text;
        std::uint32_t value = 0;
        if (!readSysfsText(m_service->syspath(), "bConfigurationValue", text) || !m_service->isAttached())
            return kIOReturnNoDevice;
        if (!text.empty() && (!readSysfsDecimal(m_service->syspath(), "bConfigurationValue", value) || value > 0xFF))
            return kIOReturnError;
        *configuration = static_cast<std::uint8_t>(value);
        return kIOReturnSuccess;
    }

    IOReturn USBGetManufacturerStringIndex(std::uint8_t* index) override { return stringIndex(14, index); }
    IOReturn USBGetProductStringIndex(std::uint8_t* index) override { return stringIndex(15, index); }
    IOReturn USBGetSerialNumberStringIndex(std::uint8_t* index) override { return stringIndex(16, index); }

private:
    // The attribute is read before the identity check, so a value from a successor at the
    // same port is never returned.
    IOReturn hex(const char* attribute, std::uint32_t maximum, std::uint32_t& value)
    {
        const bool read = readSysfsHex(m_service->syspath(), attribute, value);
        if (!m_service->isAttached())
            return kIOReturnNoDevice;
        if (!read)
            return kIOReturnNoDevice;  // these attributes exist for every USB device
        return value <= maximum ? kIOReturnSuccess : kIOReturnError;
    }

    IOReturn hex16(const char* attribute, std::uint16_t* out)
    {
        std::uint32_t value = 0;
        const IOReturn kr = hex(attribute, 0xFFFF, value);
        if (kr == kIOReturnSuccess)
            *out = static_cast<std::uint16_t>(value);
        return kr;
    }

    IOReturn hex8(const char* attribute, std::uint8_t* out)
    {
        std::uint32_t value = 0;
        const IOReturn kr = hex(attribute, 0xFF, value);
        if (kr == kIOReturnSuccess)
            *out = static_cast<std::uint8_t>(value);
        return kr;
    }

    // An index byte of the device descriptor at the head of the `descriptors` attribute.
    IOReturn stringIndex(std::size_t offset, std::uint8_t* index)
    {
        std::vector<std::uint8_t> descriptors;
        const bool read = readSysfsBytes(m_service->syspath(), "descriptors", descriptors);
        if (!read || !m_service->isAttached())
            return kIOReturnNoDevice;
        if (descriptors.size() < 18)
            return kIOReturnError;
        *index = descriptors[offset];
        return kIOReturnSuccess;
    }

    IOReturn openNode()
    {
        if (m_fd >= 0)
            return kIOReturnSuccess;
        if (m_nodeError != kIOReturnSuccess)
            return m_nodeError;
        const int fd = ::open(m_service->devnode().c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) {
            const IOReturn kr = ioReturnForErrno(errno);
            if (kr == kIOReturnNotPrivileged)
                m_nodeError = kr;  // permissions do not change under us; don't try again
            return kr;
        }
        m_fd = fd;
        return kIOReturnSuccess;
    }

    IOReturn controlTransfer(UsbDevRequest& request)
    {
        constexpr unsigned kTimeoutMilliseconds = 5000;
        const IOReturn kr = openNode();
        if (kr != kIOReturnSuccess)
            return kr;
        usbdevfs_ctrltransfer transfer{};
        transfer.bRequestType = request.bmRequestType;
        transfer.bRequest = request.bRequest;
        transfer.wValue = request.wValue;
        transfer.wIndex = request.wIndex;
        transfer.wLength = request.wLength;
        transfer.timeout = kTimeoutMilliseconds;
        transfer.data = request.pData;
        int count;
        do {
            count = ::ioctl(m_fd, USBDEVFS_CONTROL, &transfer);
        } while (count < 0 && errno == EINTR);
        if (count < 0)
            return ioReturnForErrno(errno);
        request.wLenDone = static_cast<std::uint32_t>(count);
        return kIOReturnSuccess;
    }

    const std::shared_ptr<LinuxUsbService> m_service;
    int m_fd = -1;
    bool m_isOpen = false;
    IOReturn m_nodeError = kIOReturnSuccess;
};

class LinuxUsbPlugIn final : public UsbPlugInInterface {
public:
    explicit LinuxUsbPlugIn(std::shared_ptr<LinuxUsbService> service) : m_service(std::move(service)) {}

    IOReturn queryDeviceInterface(std::unique_ptr<UsbDeviceInterface>& deviceInterface) override
    {
        if (!m_service->isAttached())
            return kIOReturnNoDevice;
        deviceInterface.reset(new LinuxUsbDeviceInterface(m_service));
        return kIOReturnSuccess;
    }

private:
    const std::shared_ptr<LinuxUsbService> m_service;
};

}  // namespace

LinuxUsbService::LinuxUsbService(const std::string& syspath, const std::string& devnode, std::uint32_t devnum)
    : m_syspath(syspath), m_devnode(devnode), m_devnum(devnum)
{
}

std::shared_ptr<LinuxUsbService> LinuxUsbService::create(const std::string& syspath, const std::string& devnode)
{
    std::uint32_t devnum = 0;
    std::uint32_t busnum = 0;
    readSysfsDecimal(syspath, "devnum", devnum);
    std::string node = devnode;
    if (node.empty() && devnum != 0 && readSysfsDecimal(syspath, "busnum", busnum)) {
        char path[32];
        std::snprintf(path, sizeof path, "/dev/bus/usb/%03u/%03u", busnum, devnum);
        node = path;
    }
    return std::shared_ptr<LinuxUsbService>(new LinuxUsbService(syspath, node, devnum));
}

bool LinuxUsbService::isAttached() const
{
    return !m_terminated.load(std::memory_order_relaxed) && isPresent(m_syspath, m_devnum);
}

bool LinuxUsbService::isPresent(const std::string& syspath, std::uint32_t devnum)
{
    if (devnum == 0)
        return ::access(syspath.c_str(), F_OK) == 0;
    std::uint32_t current = 0;
    return readSysfsDecimal(syspath, "devnum", current) && current == devnum;
}

IOReturn LinuxUsbService::createPlugInInterface(std::unique_ptr<UsbPlugInInterface>& plugIn)
{
    if (!isAttached())
        return kIOReturnNoDevice;
    plugIn.reset(new LinuxUsbPlugIn(shared_from_this()));
    return kIOReturnSuccess;
}

}  // namespace platform
}  // namespace kel
