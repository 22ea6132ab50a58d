// USB devices as libudev lists them, and the hot-plug events of a netlink monitor: udev's
// when udevd runs, else the kernel's own.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kel {
namespace platform {

// A USB device as enumeration and hot-plug events name it.
struct UsbDeviceEvent {
    // kLost: the source dropped events (its buffer overflowed); the rest is unset.
    enum class Action { kAdd, kRemove, kLost, kOther };
    Action action = Action::kOther;
    std::string syspath;
    std::string devnode;       // empty: made from the device's bus and device numbers
    std::uint32_t devnum = 0;  // 0 when the event does not carry it
};

// Where a notification port learns of devices: a netlink monitor, or a test's script.
class UsbEventSource {
public:
    virtual ~UsbEventSource() = default;
    // Readable while events wait; -1 for a source that hears of no changes.
    virtual int fd() = 0;
    // The next waiting event; false when none waits.
    virtual bool receive(UsbDeviceEvent& event) = 0;
    // The USB devices attached now, in a stable order. False when they cannot be listed (said
    // on standard error). Any thread, also while another one is in receive().
    virtual bool enumerate(std::vector<UsbDeviceEvent>& devices) = 0;
    // Says on standard error, once, how it hears of changes where a watching user should know.
    virtual void announce() {}
};

// A monitor of usb_devices with libudev's enumeration. The monitor listens to udev when
// /run/udev/control exists and to the kernel otherwise; HIDDFU_USB_EVENTS=udev or =kernel
// chooses instead (the test harness needs that: an emulated tree has no udevd of its own).
// Says on standard error when it can make no monitor at all (then the source only
// enumerates), and, once announced, when it follows the kernel.
std::unique_ptr<UsbEventSource> createUsbEventSource();

// The USB devices in /sys/bus/usb/devices, ordered by bus and port chain; no device number or
// node. False when the directory cannot be read, which is named on standard error with the
// error; says once, and lists none, when the machine has no USB bus.
bool enumerateUsbDevices(std::vector<UsbDeviceEvent>& devices);

}  // namespace platform
}  // namespace kel
