// A USB device of the Linux backend: a registry node for one sysfs usb_device directory, with
// what the kernel read from the device at enumeration, and the device interface that answers
// from that copy and sends only what the kernel does not hold to the device through usbfs.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/linux/usb_sysfs.h"
#include "platform/usb.h"

namespace kel {
namespace platform {

class LinuxUsbService : public UsbService, public std::enable_shared_from_this<LinuxUsbService> {
public:
    // `syspath` is the device's sysfs directory, `devnode` its usbfs node (empty: made from
    // busnum and devnum when needed), `devnum` its device number (0: read from sysfs). The
    // kernel's copy is read now, and the device number again after it: a device that has
    // gone, or that another one has replaced at the same port, is terminated from the start.
    // Null, with errno set, when a read failed for want of descriptors or memory (said on
    // standard error): nothing can be told of the device then.
    static std::shared_ptr<LinuxUsbService> create(const std::string& syspath, const std::string& devnode,
                                                   std::uint32_t devnum = 0);

    IOReturn createPlugInInterface(std::unique_ptr<UsbPlugInInterface>& plugIn) override;

    const std::string& syspath() const { return m_syspath; }
    // Made from busnum and devnum when the creator did not know it; empty when unknown.
    std::string devnode() const;
    // Zero when the kernel gave none; the kernel numbers devices from 1.
    std::uint32_t devnum() const { return m_devnum; }
    const UsbKernelCopy& kernelCopy() const { return m_copy; }

    // Removed, or gone when it was created. Costs no file access.
    bool isTerminated() const { return m_terminated.load(std::memory_order_relaxed); }
    // Still this device: not terminated, and its directory holds the same device number.
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
    UsbKernelCopy m_copy;  // written only by create()
    std::atomic<bool> m_terminated{false};
};

// Whether the device passes the vendor and product narrowing.
bool usbDeviceMatches(const UsbMatching& matching, const LinuxUsbService& service);

}  // namespace platform
}  // namespace kel
