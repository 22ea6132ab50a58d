#include "platform/linux/usb_linux.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <libudev.h>

#include "platform/linux/access_hint.h"
#include "platform/linux/location.h"
#include "platform/linux/usb_linux_device.h"
#include "platform/linux/usb_sysfs.h"

namespace kel {
namespace platform {

namespace {

std::uint32_t devnumOf(udev_device* device)
{
    const char* value = udev_device_get_property_value(device, "DEVNUM");
    if (value == nullptr)
        value = udev_device_get_sysattr_value(device, "devnum");
    return value ? static_cast<std::uint32_t>(std::strtoul(value, nullptr, 10)) : 0;
}

// Interfaces share the subsystem. A device without DEVTYPE (some emulated trees leave it
// out) is told apart by its sysfs name: interfaces are named "1-2:1.0".
bool isUsbDevice(udev_device* device)
{
    const char* devtype = udev_device_get_devtype(device);
    if (devtype != nullptr)
        return std::strcmp(devtype, "usb_device") == 0;
    const char* sysname = udev_device_get_sysname(device);
    unsigned bus = 0;
    std::vector<unsigned> ports;
    return sysname != nullptr && parseUsbDeviceName(sysname, bus, ports);
}

UsbDeviceEvent eventOf(udev_device* device)
{
    UsbDeviceEvent event;
    const char* action = udev_device_get_action(device);
    if (action == nullptr || std::strcmp(action, "add") == 0)
        event.action = UsbDeviceEvent::Action::kAdd;  // enumerated devices carry no action
    else if (std::strcmp(action, "remove") == 0)
        event.action = UsbDeviceEvent::Action::kRemove;
    const char* syspath = udev_device_get_syspath(device);
    const char* devnode = udev_device_get_devnode(device);
    event.syspath = syspath ? syspath : "";
    event.devnode = devnode ? devnode : "";
    event.devnum = devnumOf(device);
    return event;
}

// Bus, then port chain: a hub before the devices behind it, port 2 before port 10.
bool busOrderLess(const UsbDeviceEvent& a, const UsbDeviceEvent& b)
{
    const auto key = [](const UsbDeviceEvent& event, unsigned& bus, std::vector<unsigned>& ports) {
        const std::size_t slash = event.syspath.find_last_of('/');
        return parseUsbDeviceName(event.syspath.substr(slash == std::string::npos ? 0 : slash + 1), bus, ports);
    };
    unsigned busA = 0;
    unsigned busB = 0;
    std::vector<unsigned> portsA;
    std::vector<unsigned> portsB;
    const bool parsedA = key(a, busA, portsA);
    const bool parsedB = key(b, busB, portsB);
    if (parsedA != parsedB)
        return parsedA;
    if (parsedA && (busA != busB || portsA != portsB))
        return busA != busB ? busA < busB : portsA < portsB;
    return a.syspath < b.syspath;
}

bool enumerateWith(udev* context, std::vector<UsbDeviceEvent>& devices)
{
    devices.clear();
    udev_enumerate* enumeration = udev_enumerate_new(context);
    if (enumeration == nullptr)
        return false;
    int scanned = udev_enumerate_add_match_subsystem(enumeration, "usb");
    if (scanned >= 0)
        scanned = udev_enumerate_scan_devices(enumeration);
    hintOnAccessDenied("/sys/bus/usb/devices", -scanned);
    bool ok = scanned >= 0;
    if (ok) {
        udev_list_entry* entry;
        udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumeration))
        {
            udev_device* device = udev_device_new_from_syspath(context, udev_list_entry_get_name(entry));
            if (device == nullptr)
                continue;  // gone since the scan
            if (isUsbDevice(device))
                devices.push_back(eventOf(device));
            udev_device_unref(device);
        }
        std::sort(devices.begin(), devices.end(), busOrderLess);
    }
    udev_enumerate_unref(enumeration);
    return ok;
}

class UdevEventSource final : public UsbEventSource {
public:
    UdevEventSource(udev* context, udev_monitor* monitor) : m_udev(context), m_monitor(monitor) {}

    ~UdevEventSource() override
    {
        udev_monitor_unref(m_monitor);
        udev_unref(m_udev);
    }

    int fd() override { return udev_monitor_get_fd(m_monitor); }

    bool receive(UsbDeviceEvent& event) override
    {
        errno = 0;
        udev_device* device = udev_monitor_receive_device(m_monitor);
        if (device == nullptr) {
            if (errno != ENOBUFS)
                return false;
            event = UsbDeviceEvent();
            event.action = UsbDeviceEvent::Action::kLost;
            return true;
        }
        event = eventOf(device);
        if (udev_device_get_action(device) == nullptr || !isUsbDevice(device))
            event.action = UsbDeviceEvent::Action::kOther;
        udev_device_unref(device);
        return true;
    }

    // Called on the registering thread while the port's thread may be receiving: libudev
    // contexts are not thread-safe, so the enumeration has a context of its own.
    std::vector<UsbDeviceEvent> enumerate() override
    {
        std::vector<UsbDeviceEvent> devices;
        enumerateUdevUsbDevices(devices);
        return devices;
    }

private:
    udev* const m_udev;
    udev_monitor* const m_monitor;
};

class LinuxUsbServiceIterator final : public UsbIterator {
public:
    explicit LinuxUsbServiceIterator(std::vector<UsbServiceRef> services) : m_services(std::move(services)) {}

    UsbServiceRef next() override { return m_next < m_services.size() ? m_services[m_next++] : nullptr; }

private:
    std::vector<UsbServiceRef> m_services;
    std::size_t m_next = 0;
};

class LinuxUsbBackend final : public UsbBackend {
public:
    IOReturn getMatchingServices(const UsbMatching& matching, std::unique_ptr<UsbIterator>& iterator) override
    {
        std::vector<UsbDeviceEvent> devices;
        if (!enumerateUdevUsbDevices(devices))
            return kIOReturnNoResources;
        std::vector<UsbServiceRef> services;
        for (const UsbDeviceEvent& device : devices) {
            if (usbDeviceMatches(matching, device.syspath))
                services.push_back(LinuxUsbService::create(device.syspath, device.devnode));
        }
        iterator.reset(new LinuxUsbServiceIterator(std::move(services)));
        return kIOReturnSuccess;
    }

    std::unique_ptr<UsbNotificationPort> createNotificationPort() override
    {
        return createUsbNotificationPort(createUdevEventSource());
    }

    std::shared_ptr<UsbRegistryEntry> registryRoot() override { return sysfsUsbRegistry("/sys/bus/usb/devices"); }
};

}  // namespace

UsbBackend& linuxUsbBackend()
{
    static LinuxUsbBackend backend;
    return backend;
}

bool usbDeviceMatches(const UsbMatching& matching, const std::string& syspath)
{
    std::uint32_t value = 0;
    if (matching.matchVendor &&
        (!readSysfsHex(syspath, "idVendor", value) || static_cast<std::int64_t>(value) != matching.idVendor))
        return false;
    if (matching.matchProduct &&
        (!readSysfsHex(syspath, "idProduct", value) || static_cast<std::int64_t>(value) != matching.idProduct))
        return false;
    return true;
}

bool enumerateUdevUsbDevices(std::vector<UsbDeviceEvent>& devices)
{
    udev* context = udev_new();
    if (context == nullptr)
        return false;
    const bool ok = enumerateWith(context, devices);
    udev_unref(context);
    return ok;
}

std::unique_ptr<UsbEventSource> createUdevEventSource()
{
    udev* context = udev_new();
    if (context == nullptr)
        return nullptr;
    udev_monitor* monitor = udev_monitor_new_from_netlink(context, "udev");
    if (monitor == nullptr || udev_monitor_filter_add_match_subsystem_devtype(monitor, "usb", nullptr) < 0 ||
        udev_monitor_enable_receiving(monitor) < 0) {
        if (monitor != nullptr)
            udev_monitor_unref(monitor);
        udev_unref(context);
        return nullptr;
    }
    // Drained until empty on every wake-up, so it must never block.
    const int fd = udev_monitor_get_fd(monitor);
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        udev_monitor_unref(monitor);
        udev_unref(context);
        return nullptr;
    }
    return std::unique_ptr<UsbEventSource>(new UdevEventSource(context, monitor));
}

}  // namespace platform
}  // namespace kel
