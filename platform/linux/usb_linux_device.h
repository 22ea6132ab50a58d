// A USB device of the Linux backend: a registry node for one sysfs usb_device directory,
// and the device interface that reads its attributes and sends control requests through usbfs.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/usb.h"

namespace kel {
namespace platform {

class LinuxUsbService : public UsbService, public std::enable_shared_from_this<LinuxUsbService> {
public:
    // `syspath` is the device's sysfs directory, `devnode` its usbfs node; an empty devnode
    // is made from busnum and devnum (/dev/bus/usb/BBB/DDD). The device number read now
    // tells this device from a later one that the kernel puts at the same port.
    static std::shared_ptr<LinuxUsbService> create(const std::string& syspath, const std::string& devnode);

    IOReturn createPlugInInterface(std::unique_ptr<UsbPlugInInterface>& plugIn) override;

    const std::string& syspath() const { return m_syspath; }
    const std::string& devnode() const { return m_devnode; }
    // Zero when the kernel gave none; the kernel numbers devices from 1.
    std::uint32_t devnum() const { return m_devnum; }

    // Still this device: not reported removed, and its directory holds the same device number.
    bool isAttached() const;
    // The directory exists and, when `devnum` is not 0, holds that device number.
    static bool isPresent(const std::string& syspath, std::uint32_t devnum);
    // The removal has been seen; every call from now on fails with kIOReturnNoDevice.
    void setTerminated() { m_terminated.store(true, std::memory_order_relaxed); }

private:
    LinuxUsbService(const std::string& syspath, const std::string& devnode, std::uint32_t devnum);

    const std::string m_syspath;
    const std::string m_devnode;
    const std::uint32_t m_devnum;
    std::atomic<bool> m_terminated{false};
};

}  // namespace platform
}  // namespace kel
