// The macOS USB backend's parts: device nodes, their matching, notifications and the registry.
#pragma once

#include "platform/macos/refs.h"
#include "platform/usb.h"

#include <memory>

namespace kel {
namespace platform {

// A USB device node; its one registry reference goes with the last UsbServiceRef.
class MacUsbService final : public UsbService {
public:
    explicit MacUsbService(io_service_t service) : m_service(service) {}
    io_service_t service() const { return m_service.get(); }
    IOReturn createPlugInInterface(std::unique_ptr<UsbPlugInInterface>& plugIn) override;

private:
    const IoObject m_service;
};

// The class of USB device nodes on this system: "IOUSBHostDevice" since macOS 10.11, whose
// USB stack no longer has "IOUSBDevice" nodes, and "IOUSBDevice" before.
const char* usbDeviceClassName();
// A new matching dictionary for USB device nodes and `matching`; null when none can be made.
CFMutableDictionaryRef createUsbMatchingDictionary(const UsbMatching& matching);

// Null when no port can be made.
std::unique_ptr<UsbNotificationPort> createMacUsbNotificationPort();
// The root of the registry, seen through its "IOUSB" plane; null when it cannot be read.
std::shared_ptr<UsbRegistryEntry> macUsbRegistryRoot();

}  // namespace platform
}  // namespace kel
