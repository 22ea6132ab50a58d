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

// A device descriptor field from the kernel's copy; without a well-formed copy, the attribute
// that the kernel publishes for it (there is none for the string indexes), else a stall.
IOReturn descriptorField(const LinuxUsbService& service, std::size_t offset, std::size_t size, const char* attribute,
                         std::uint32_t& value)
{
    const UsbKernelCopy& copy = service.kernelCopy();
    if (copy.hasDeviceDescriptor) {
        value = copy.descriptors[offset];
        if (size == 2)
            value |= std::uint32_t(copy.descriptors[offset + 1]) << 8;
        return kIOReturnSuccess;
    }
    if (attribute == nullptr || !readSysfsHex(service.syspath(), attribute, value) || value >> (8 * size) != 0)
        return usbStallStatus();
    return kIOReturnSuccess;
}

class LinuxUsbDeviceInterface final : public UsbDeviceInterface {
public:
    explicit LinuxUsbDeviceInterface(std::shared_ptr<LinuxUsbService> service) : m_service(std::move(service)) {}

    ~LinuxUsbDeviceInterface() override
    {
        if (m_fd >= 0)
            ::close(m_fd);  // also drops the lock of an open device
    }

    IOReturn USBDeviceOpen() override
    {
        if (!m_service->isAttached())
            return kIOReturnNoDevice;
        if (m_isOpen)
            return kIOReturnExclusiveAccess;
        IOReturn kr = openNode();
        if (kr == kIOReturnSuccess)
            kr = lockExclusive(m_fd);
        m_isOpen = kr == kIOReturnSuccess;
        return kr;
    }

    IOReturn USBDeviceClose() override
    {
        if (!m_isOpen)
            return m_service->isTerminated() ? kIOReturnNoDevice : kIOReturnNotOpen;
        ::flock(m_fd, LOCK_UN);
        m_isOpen = false;
        return m_service->isAttached() ? kIOReturnSuccess : kIOReturnNoDevice;
    }

    // What the kernel read at enumeration answers first; only the rest wakes the device.
    IOReturn DeviceRequest(UsbDevRequest& request) override
    {
        request.wLenDone = 0;
        if (m_service->isTerminated())
            return kIOReturnNoDevice;
        const IOReturn kr = answerFromKernelCopy(m_service->kernelCopy(), m_service->syspath(), request);
        if (kr != kIOReturnUnsupported)
            return kr;
        if (!m_service->isAttached())
            return kIOReturnNoDevice;
        return controlTransfer(request);
    }

    IOReturn GetUSBDeviceInformation(std::uint32_t* info) override
    {
        constexpr std::uint32_t kAttachedToRootHub = 1u << 1;
        constexpr std::uint32_t kConnected = 1u << 3;
        constexpr std::uint32_t kEnabled = 1u << 4;
        constexpr std::uint32_t kRootHub = 1u << 9;
        unsigned bus = 0;
        std::vector<unsigned> ports;
        if (m_service->isTerminated())
            return kIOReturnNoDevice;
        std::uint32_t word = kConnected | kEnabled;
        if (parseUsbDeviceName(baseName(m_service->syspath()), bus, ports))
            word |= ports.empty() ? kRootHub : ports.size() == 1 ? kAttachedToRootHub : 0;
        *info = word;
        return kIOReturnSuccess;
    }

    IOReturn GetLocationID(std::uint32_t* locationId) override
    {
        if (m_service->isTerminated())
            return kIOReturnNoDevice;
        return usbLocationIdOfSyspath(m_service->syspath(), m_service->devnum(), *locationId) ? kIOReturnSuccess
                                                                                              : kIOReturnUnsupported;
    }

    IOReturn GetDeviceVendor(std::uint16_t* idVendor) override { return field(8, "idVendor", idVendor); }
    IOReturn GetDeviceProduct(std::uint16_t* idProduct) override { return field(10, "idProduct", idProduct); }
    IOReturn GetDeviceReleaseNumber(std::uint16_t* bcdDevice) override { return field(12, "bcdDevice", bcdDevice); }
    IOReturn GetDeviceClass(std::uint8_t* deviceClass) override { return field(4, "bDeviceClass", deviceClass); }
    IOReturn GetDeviceSubClass(std::uint8_t* subClass) override { return field(5, "bDeviceSubClass", subClass); }
    IOReturn GetDeviceProtocol(std::uint8_t* protocol) override { return field(6, "bDeviceProtocol", protocol); }
    IOReturn USBGetManufacturerStringIndex(std::uint8_t* index) override { return field(14, nullptr, index); }
    IOReturn USBGetProductStringIndex(std::uint8_t* index) override { return field(15, nullptr, index); }
    IOReturn USBGetSerialNumberStringIndex(std::uint8_t* index) override { return field(16, nullptr, index); }

    IOReturn GetDeviceSpeed(std::uint8_t* speed) override
    {
        std::string text;
        if (m_service->isTerminated() || !readSysfsText(m_service->syspath(), "speed", text))
            return kIOReturnNoDevice;
        return usbSpeedCode(text, *speed) ? kIOReturnSuccess : kIOReturnUnsupported;
    }

    IOReturn GetConfiguration(std::uint8_t* configuration) override
    {
        UsbDevRequest request;
        request.bmRequestType = 0x80;
        request.bRequest = 8;  // GET_CONFIGURATION, answered from bConfigurationValue
        request.wLength = 1;
        request.pData = configuration;
        return DeviceRequest(request);
    }

private:
    template <typename Value>
    IOReturn field(std::size_t offset, const char* attribute, Value* out)
    {
        std::uint32_t value = 0;
        if (m_service->isTerminated())
            return kIOReturnNoDevice;
        const IOReturn kr = descriptorField(*m_service, offset, sizeof(Value), attribute, value);
        if (kr == kIOReturnSuccess)
            *out = static_cast<Value>(value);
        return kr;
    }

    IOReturn openNode()
    {
        if (m_fd >= 0)
            return kIOReturnSuccess;
        if (m_nodeError != kIOReturnSuccess)
            return m_nodeError;
        const std::string devnode = m_service->devnode();
        const int fd = devnode.empty() ? -1 : ::open(devnode.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) {
            if (!devnode.empty())
                hintOnAccessDenied(devnode, errno);
            const IOReturn kr = devnode.empty() ? kIOReturnNoDevice : ioReturnForErrno(errno);
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
        if (request.pData == nullptr && request.wLength > 0)
            return kIOReturnBadArgument;
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
        const int count = retryOnEintr([&] { return ::ioctl(m_fd, USBDEVFS_CONTROL, &transfer); });
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
        if (m_service->isTerminated())
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

std::shared_ptr<LinuxUsbService> LinuxUsbService::create(const std::string& syspath, const std::string& devnode,
                                                         std::uint32_t devnum)
{
    if (devnum == 0 && !readSysfsDecimal(syspath, "devnum", devnum) && isResourceShortage(errno))
        return nullptr;
    std::shared_ptr<LinuxUsbService> service(new LinuxUsbService(syspath, devnode, devnum));
    if (!readUsbKernelCopy(syspath, service->m_copy))
        return nullptr;
    // Read after the copy: the copy is this device's when the number is still there.
    errno = 0;
    if (!isPresent(syspath, devnum)) {
        if (isResourceShortage(errno))
            return nullptr;
        service->setTerminated();
    }
    return service;
}

std::string LinuxUsbService::devnode() const
{
    std::uint32_t busnum = 0;
    if (!m_devnode.empty() || m_devnum == 0 || !readSysfsDecimal(m_syspath, "busnum", busnum))
        return m_devnode;
    char path[32];
    std::snprintf(path, sizeof path, "/dev/bus/usb/%03u/%03u", busnum, m_devnum);
    return path;
}

bool LinuxUsbService::isAttached() const
{
    return !isTerminated() && isPresent(m_syspath, m_devnum);
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
    if (isTerminated())
        return kIOReturnNoDevice;
    plugIn.reset(new LinuxUsbPlugIn(shared_from_this()));
    return kIOReturnSuccess;
}

bool usbDeviceMatches(const UsbMatching& matching, const LinuxUsbService& service)
{
    std::uint32_t value = 0;
    if (matching.matchVendor && (descriptorField(service, 8, 2, "idVendor", value) != kIOReturnSuccess ||
                                 static_cast<std::int64_t>(value) != matching.idVendor))
        return false;
    if (matching.matchProduct && (descriptorField(service, 10, 2, "idProduct", value) != kIOReturnSuccess ||
                                  static_cast<std::int64_t>(value) != matching.idProduct))
        return false;
    return true;
}

}  // namespace platform
}  // namespace kel
