#include "platform/linux/usb_linux_events.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include <fcntl.h>
#include <libudev.h>
#include <unistd.h>

#include "platform/linux/access_hint.h"
#include "platform/linux/location.h"
#include "platform/linux/sysfs.h"

namespace kel {
namespace platform {

namespace {

std::uint32_t devnumOf(udev_device* device)
{
    const char* value = udev_device_get_property_value(device, "DEVNUM");
    std::uint32_t devnum = 0;
    return value != nullptr && parseNumber(value, 10, devnum) ? devnum : 0;
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
    unsigned busA = 0;
    unsigned busB = 0;
    std::vector<unsigned> portsA;
    std::vector<unsigned> portsB;
    const bool parsedA = parseUsbDeviceName(baseName(a.syspath), busA, portsA);
    const bool parsedB = parseUsbDeviceName(baseName(b.syspath), busB, portsB);
    if (parsedA != parsedB)
        return parsedA;
    if (parsedA && (busA != busB || portsA != portsB))
        return busA != busB ? busA < busB : portsA < portsB;
    return a.syspath < b.syspath;
}

class MonitorEventSource final : public UsbEventSource {
public:
    MonitorEventSource(udev* context, udev_monitor* monitor, bool followsKernel)
        : m_udev(context), m_monitor(monitor), m_followsKernel(followsKernel)
    {
    }

    ~MonitorEventSource() override
    {
        if (m_monitor != nullptr)
            udev_monitor_unref(m_monitor);
        udev_unref(m_udev);
    }

    int fd() override { return m_monitor != nullptr ? udev_monitor_get_fd(m_monitor) : -1; }

    bool receive(UsbDeviceEvent& event) override
    {
        if (m_monitor == nullptr)
            return false;
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

    // Reads sysfs only, never the monitor's context: safe beside receive() on another thread.
    bool enumerate(std::vector<UsbDeviceEvent>& devices) override { return enumerateUsbDevices(devices); }

    // Without udev's events, nodes may not yet have the permissions the rules give them.
    void announce() override
    {
        if (m_followsKernel && !m_announced)
            std::fprintf(stderr, "USB hot-plug: following the kernel's uevents, not udev's\n");
        m_announced = true;
    }

private:
    udev* const m_udev;
    udev_monitor* const m_monitor;  // null: enumeration only
    const bool m_followsKernel;
    bool m_announced = false;
};

// A non-blocking monitor of usb devices on one netlink group; null when it cannot be made.
udev_monitor* openMonitor(udev* context, const char* group)
{
    udev_monitor* monitor = udev_monitor_new_from_netlink(context, group);
    if (monitor == nullptr)
        return nullptr;
    // Drained until empty on every wake-up, so it must never block.
    const int fd = udev_monitor_get_fd(monitor);
    const int flags = ::fcntl(fd, F_GETFL);
    if (udev_monitor_filter_add_match_subsystem_devtype(monitor, "usb", nullptr) < 0 ||
        udev_monitor_enable_receiving(monitor) < 0 || flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        udev_monitor_unref(monitor);
        return nullptr;
    }
    return monitor;
}

// Without udevd, libudev quietly gives a udev-group monitor that never hears anything.
bool followUdev()
{
    const char* choice = std::getenv("HIDDFU_USB_EVENTS");
    if (choice != nullptr && (std::strcmp(choice, "udev") == 0 || std::strcmp(choice, "kernel") == 0))
        return std::strcmp(choice, "udev") == 0;
    return ::access("/run/udev/control", F_OK) == 0;
}

}  // namespace

// Straight from sysfs: libudev would resolve every path component and look for a udev
// database entry of each device, which listing needs none of.
bool enumerateUsbDevices(std::vector<UsbDeviceEvent>& devices)
{
    static const std::string kDevices = "/sys/bus/usb/devices";
    static std::once_flag noBus;
    devices.clear();
    std::vector<std::string> names;
    if (!listDirectory(kDevices, names)) {
        const int error = errno;
        if (::access("/sys/bus/usb", F_OK) == 0) {
            reportUnreadable(kDevices, error);
            return false;
        }
        std::call_once(noBus, [] { std::fprintf(stderr, "No USB bus to list: /sys/bus/usb is missing\n"); });
        return true;
    }
    for (const std::string& name : names) {
        unsigned bus = 0;
        std::vector<unsigned> ports;
        UsbDeviceEvent device;
        device.action = UsbDeviceEvent::Action::kAdd;
        // Interfaces ("1-2:1.0") share the directory; a link that has gone was a device that has.
        if (parseUsbDeviceName(name, bus, ports) && readSysfsLink(kDevices + "/" + name, device.syspath))
            devices.push_back(std::move(device));
    }
    std::sort(devices.begin(), devices.end(), busOrderLess);
    return true;
}

std::unique_ptr<UsbEventSource> createUsbEventSource()
{
    udev* context = udev_new();
    if (context == nullptr)
        return nullptr;
    const bool udevFirst = followUdev();
    const char* group = udevFirst ? "udev" : "kernel";
    udev_monitor* monitor = openMonitor(context, group);
    if (monitor == nullptr && udevFirst) {
        group = "kernel";
        monitor = openMonitor(context, group);
    }
    if (monitor == nullptr)
        std::fprintf(stderr, "No USB hot-plug events: can't open a netlink monitor (%s)\n",
                     std::strerror(errno != 0 ? errno : EPERM));
    const bool followsKernel = monitor != nullptr && std::strcmp(group, "kernel") == 0;
    return std::unique_ptr<UsbEventSource>(new MonitorEventSource(context, monitor, followsKernel));
}

}  // namespace platform
}  // namespace kel
