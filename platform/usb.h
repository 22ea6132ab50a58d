// USB devices as registry nodes: matching and iteration, a device interface for
// descriptors and control requests, arrival and termination notifications, and the
// registry tree that names each device's drivers.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/ioreturn.h"

namespace kel {
namespace platform {

class RunLoop;

// A standard control request. `wLenDone` is the count actually transferred.
struct UsbDevRequest {
    std::uint8_t bmRequestType = 0;
    std::uint8_t bRequest = 0;
    std::uint16_t wValue = 0;
    std::uint16_t wIndex = 0;
    std::uint16_t wLength = 0;
    void* pData = nullptr;
    std::uint32_t wLenDone = 0;
};

// The user-space interface to one USB device.
class UsbDeviceInterface {
public:
    virtual ~UsbDeviceInterface() = default;

    virtual IOReturn USBDeviceOpen() = 0;  // exclusive
    virtual IOReturn USBDeviceClose() = 0;
    virtual IOReturn DeviceRequest(UsbDevRequest& request) = 0;

    virtual IOReturn GetUSBDeviceInformation(std::uint32_t* info) = 0;
    virtual IOReturn GetLocationID(std::uint32_t* locationId) = 0;
    virtual IOReturn GetDeviceVendor(std::uint16_t* idVendor) = 0;
    virtual IOReturn GetDeviceProduct(std::uint16_t* idProduct) = 0;
    virtual IOReturn GetDeviceReleaseNumber(std::uint16_t* bcdDevice) = 0;
    virtual IOReturn GetDeviceClass(std::uint8_t* deviceClass) = 0;
    virtual IOReturn GetDeviceSubClass(std::uint8_t* deviceSubClass) = 0;
    virtual IOReturn GetDeviceProtocol(std::uint8_t* deviceProtocol) = 0;
    virtual IOReturn GetDeviceSpeed(std::uint8_t* speed) = 0;  // 0 low, 1 full, 2 high, 3 super...
    virtual IOReturn GetConfiguration(std::uint8_t* configuration) = 0;
    virtual IOReturn USBGetManufacturerStringIndex(std::uint8_t* index) = 0;
    virtual IOReturn USBGetProductStringIndex(std::uint8_t* index) = 0;
    virtual IOReturn USBGetSerialNumberStringIndex(std::uint8_t* index) = 0;
};

// The step between a registry node and its device interface.
class UsbPlugInInterface {
public:
    virtual ~UsbPlugInInterface() = default;
    // One new device interface, or a failure.
    virtual IOReturn queryDeviceInterface(std::unique_ptr<UsbDeviceInterface>& deviceInterface) = 0;
};

// A registry node of a USB device. References are shared; the node outlives the device's
// removal, after which its device interface calls fail with kIOReturnNoDevice.
class UsbService {
public:
    virtual ~UsbService() = default;
    virtual IOReturn createPlugInInterface(std::unique_ptr<UsbPlugInInterface>& plugIn) = 0;
};
using UsbServiceRef = std::shared_ptr<UsbService>;

// Which devices to match: every USB device, narrowed by vendor and product where set.
struct UsbMatching {
    bool matchVendor = false;
    std::int32_t idVendor = 0;
    bool matchProduct = false;
    std::int32_t idProduct = 0;
};

// Yields one node at a time; null at the end.
class UsbIterator {
public:
    virtual ~UsbIterator() = default;
    virtual UsbServiceRef next() = 0;
};

// One registered notification; destroying it unregisters it.
class UsbNotification {
public:
    virtual ~UsbNotification() = default;
};

// Delivers arrival and interest notifications on the run loop it is scheduled on.
class UsbNotificationPort {
public:
    // Arrivals: drain `iterator` (the arrivals since the last drain). Nothing more is
    // delivered for it until the iterator handed out at registration has been drained once.
    using MatchingCallback = void (*)(void* refCon, UsbIterator* iterator);
    // Interest: kIOMessageServiceIsTerminated when the device goes away.
    using InterestCallback = void (*)(void* refCon, UsbService* service, std::uint32_t messageType,
                                      void* messageArgument);

    virtual ~UsbNotificationPort() = default;  // unregisters what is still registered

    // Delivers this port's notifications on `loop`'s thread from now on, until unscheduled.
    // False for a port that can hear of no change: it lists what is attached and notifies
    // nothing more.
    virtual bool scheduleWithRunLoop(RunLoop* loop) = 0;
    // After it returns no callback runs any more.
    virtual void unscheduleFromRunLoop(RunLoop* loop) = 0;

    // First-match notifications for `matching`. On success `iterator` yields the devices
    // already attached, and later the arrivals; destroying it unregisters the notification.
    virtual IOReturn addMatchingNotification(const UsbMatching& matching, MatchingCallback callback, void* refCon,
                                             std::unique_ptr<UsbIterator>& iterator) = 0;
    // General-interest notifications for one device.
    virtual IOReturn addInterestNotification(const UsbServiceRef& service, InterestCallback callback, void* refCon,
                                             std::unique_ptr<UsbNotification>& notification) = 0;
};

// A node of the registry's USB plane: the root, USB devices (class "IOUSBDevice") and the
// interfaces below them, whose "CFBundleIdentifier" names the bound driver.
class UsbRegistryEntry {
public:
    virtual ~UsbRegistryEntry() = default;
    virtual std::string className() = 0;
    virtual bool nameInPlane(std::string& name) = 0;
    virtual bool numberProperty(const std::string& key, std::int64_t& value) = 0;
    virtual bool stringProperty(const std::string& key, std::string& value) = 0;
    virtual std::vector<std::shared_ptr<UsbRegistryEntry>> children() = 0;
};

// Registry keys of USB device nodes.
constexpr const char* kUsbVendorIdKey = "idVendor";
constexpr const char* kUsbProductIdKey = "idProduct";
constexpr const char* kUsbLocationIdKey = "locationID";
constexpr const char* kUsbBundleIdentifierKey = "CFBundleIdentifier";
constexpr const char* kUsbDeviceClassName = "IOUSBDevice";

class UsbBackend {
public:
    virtual ~UsbBackend() = default;

    virtual IOReturn getMatchingServices(const UsbMatching& matching, std::unique_ptr<UsbIterator>& iterator) = 0;
    // Null when no port can be made.
    virtual std::unique_ptr<UsbNotificationPort> createNotificationPort() = 0;
    // Null when the registry cannot be read.
    virtual std::shared_ptr<UsbRegistryEntry> registryRoot() = 0;
};

// The backend the build chose (HIDDFU_BACKEND); each backend defines it.
UsbBackend& defaultUsbBackend();
// The backend in use: the default one unless another was installed.
UsbBackend& usbBackend();
// Installs `backend` (not owned); null goes back to the default one.
void setUsbBackend(UsbBackend* backend);

}  // namespace platform
}  // namespace kel
