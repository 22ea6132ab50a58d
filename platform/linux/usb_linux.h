// The Linux USB backend: libudev usb_devices as registry nodes, their attributes from sysfs,
// control requests through usbfs, hot-plug from a udev monitor and the registry tree from sysfs.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/usb.h"

namespace kel {
namespace platform {

UsbBackend& linuxUsbBackend();

// A USB device as enumeration and hot-plug events name it.
struct UsbDeviceEvent {
    // kLost: the source dropped events (its buffer overflowed); the rest is unset.
    enum class Action { kAdd, kRemove, kLost, kOther };
    Action action = Action::kOther;
    std::string syspath;
    std::string devnode;      // empty: made from the device's bus and device numbers
    std::uint32_t devnum = 0;  // 0 when the event does not carry it
};

// Where a notification port learns of devices: a udev monitor, or a test's script.
class UsbEventSource {
public:
    virtual ~UsbEventSource() = default;
    // Readable while events wait.
    virtual int fd() = 0;
    // The next waiting event; false when none waits.
    virtual bool receive(UsbDeviceEvent& event) = 0;
    // The USB devices attached now, in a stable order. Any thread, also while another one
    // is in receive().
    virtual std::vector<UsbDeviceEvent> enumerate() = 0;
};

// A udev monitor of usb_devices, and libudev's enumeration. Null when no monitor can be made.
std::unique_ptr<UsbEventSource> createUdevEventSource();
// The usb_devices that libudev lists, ordered by bus and port chain. False when libudev fails.
bool enumerateUdevUsbDevices(std::vector<UsbDeviceEvent>& devices);

// A notification port fed by `source`. Null when its run-loop source cannot be made.
std::unique_ptr<UsbNotificationPort> createUsbNotificationPort(std::unique_ptr<UsbEventSource> source);

// Whether the device at `syspath` passes the vendor and product narrowing.
bool usbDeviceMatches(const UsbMatching& matching, const std::string& syspath);

// The registry tree of the USB devices in `devicesDirectory` (/sys/bus/usb/devices): the
// root, every device below it, and each device's interfaces below the device. Null when
// the directory cannot be read.
std::shared_ptr<UsbRegistryEntry> sysfsUsbRegistry(const std::string& devicesDirectory);

}  // namespace platform
}  // namespace kel
