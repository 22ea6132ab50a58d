// USB device nodes and their user-space device interface (version 320), and the backend.
#include "platform/macos/usb_macos.h"

#include <IOKit/IOCFPlugIn.h>
#include <IOKit/usb/IOUSBLib.h>

namespace kel {
namespace platform {

namespace {

class MacUsbDeviceInterface final : public UsbDeviceInterface {
public:
    explicit MacUsbDeviceInterface(IOUSBDeviceInterface320** device) : m_device(device) {}
    ~MacUsbDeviceInterface() override { (*m_device)->Release(m_device); }
    MacUsbDeviceInterface(const MacUsbDeviceInterface&) = delete;
    MacUsbDeviceInterface& operator=(const MacUsbDeviceInterface&) = delete;

    IOReturn USBDeviceOpen() override { return (*m_device)->USBDeviceOpen(m_device); }
    IOReturn USBDeviceClose() override { return (*m_device)->USBDeviceClose(m_device); }

    IOReturn DeviceRequest(UsbDevRequest& request) override
    {
        IOUSBDevRequest platformRequest{};
        platformRequest.bmRequestType = request.bmRequestType;
        platformRequest.bRequest = request.bRequest;
        platformRequest.wValue = request.wValue;
        platformRequest.wIndex = request.wIndex;
        platformRequest.wLength = request.wLength;
        platformRequest.pData = request.pData;
        const IOReturn result = (*m_device)->DeviceRequest(m_device, &platformRequest);
        request.wLenDone = platformRequest.wLenDone;
        return result;
    }

    IOReturn GetUSBDeviceInformation(std::uint32_t* info) override
    {
        return (*m_device)->GetUSBDeviceInformation(m_device, info);
    }
    IOReturn GetLocationID(std::uint32_t* locationId) override
    {
        return (*m_device)->GetLocationID(m_device, locationId);
    }
    IOReturn GetDeviceVendor(std::uint16_t* idVendor) override
    {
        return (*m_device)->GetDeviceVendor(m_device, idVendor);
    }
    IOReturn GetDeviceProduct(std::uint16_t* idProduct) override
    {
        return (*m_device)->GetDeviceProduct(m_device, idProduct);
    }
    IOReturn GetDeviceReleaseNumber(std::uint16_t* bcdDevice) override
    {
        return (*m_device)->GetDeviceReleaseNumber(m_device, bcdDevice);
    }
    IOReturn GetDeviceClass(std::uint8_t* deviceClass) override
    {
        return (*m_device)->GetDeviceClass(m_device, deviceClass);
    }
    IOReturn GetDeviceSubClass(std::uint8_t* deviceSubClass) override
    {
        return (*m_device)->GetDeviceSubClass(m_device, deviceSubClass);
    }
    IOReturn GetDeviceProtocol(std::uint8_t* deviceProtocol) override
    {
        return (*m_device)->GetDeviceProtocol(m_device, deviceProtocol);
    }
    IOReturn GetDeviceSpeed(std::uint8_t* speed) override { return (*m_device)->GetDeviceSpeed(m_device, speed); }
    IOReturn GetConfiguration(std::uint8_t* configuration) override
    {
        return (*m_device)->GetConfiguration(m_device, configuration);
    }
    IOReturn USBGetManufacturerStringIndex(std::uint8_t* index) override
    {
        return (*m_device)->USBGetManufacturerStringIndex(m_device, index);
    }
    IOReturn USBGetProductStringIndex(std::uint8_t* index) override
    {
        return (*m_device)->USBGetProductStringIndex(m_device, index);
    }
    IOReturn USBGetSerialNumberStringIndex(std::uint8_t* index) override
    {
        return (*m_device)->USBGetSerialNumberStringIndex(m_device, index);
    }

private:
    IOUSBDeviceInterface320** const m_device;  // one reference
};

class MacUsbPlugIn final : public UsbPlugInInterface {
public:
    explicit MacUsbPlugIn(IOCFPlugInInterface** plugIn) : m_plugIn(plugIn) {}
    ~MacUsbPlugIn() override { IODestroyPlugInInterface(m_plugIn); }
    MacUsbPlugIn(const MacUsbPlugIn&) = delete;
    MacUsbPlugIn& operator=(const MacUsbPlugIn&) = delete;

    IOReturn queryDeviceInterface(std::unique_ptr<UsbDeviceInterface>& deviceInterface) override
    {
        void* device = nullptr;
        const HRESULT result =
            (*m_plugIn)->QueryInterface(m_plugIn, CFUUIDGetUUIDBytes(kIOUSBDeviceInterfaceID320), &device);
        if (result != S_OK || !device)
            return kIOReturnError;  // a COM result is no IOReturn
        deviceInterface.reset(new MacUsbDeviceInterface(static_cast<IOUSBDeviceInterface320**>(device)));
        return kIOReturnSuccess;
    }

private:
    IOCFPlugInInterface** const m_plugIn;
};

class MacServiceIterator final : public UsbIterator {
public:
    explicit MacServiceIterator(io_iterator_t iterator) : m_iterator(iterator) {}
    UsbServiceRef next() override
    {
        const io_service_t service = IOIteratorNext(m_iterator.get());
        return service ? std::make_shared<MacUsbService>(service) : nullptr;
    }

private:
    const IoObject m_iterator;
};

bool addNumber(CFMutableDictionaryRef dictionary, const char* key, std::int32_t value)
{
    const CfRef<CFStringRef> name = cfString(key);
    const SInt32 number = value;
    const CfRef<CFNumberRef> object(CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt32Type, &number));
    if (!name || !object)
        return false;
    CFDictionaryAddValue(dictionary, name.get(), object.get());
    return true;
}

class MacUsbBackend final : public UsbBackend {
public:
    IOReturn getMatchingServices(const UsbMatching& matching, std::unique_ptr<UsbIterator>& iterator) override
    {
        CFMutableDictionaryRef dictionary = createUsbMatchingDictionary(matching);
        if (!dictionary)
            return kIOReturnNoResources;
        io_iterator_t services = IO_OBJECT_NULL;
        const IOReturn result = IOServiceGetMatchingServices(kDefaultMainPort, dictionary, &services);  // consumes it
        if (result != kIOReturnSuccess)
            return result;
        iterator.reset(new MacServiceIterator(services));
        return kIOReturnSuccess;
    }

    std::unique_ptr<UsbNotificationPort> createNotificationPort() override { return createMacUsbNotificationPort(); }

    std::shared_ptr<UsbRegistryEntry> registryRoot() override { return macUsbRegistryRoot(); }
};

}  // namespace

IOReturn MacUsbService::createPlugInInterface(std::unique_ptr<UsbPlugInInterface>& plugIn)
{
    IOCFPlugInInterface** created = nullptr;
    SInt32 score = 0;
    const IOReturn result = IOCreatePlugInInterfaceForService(m_service.get(), kIOUSBDeviceUserClientTypeID,
                                                              kIOCFPlugInInterfaceID, &created, &score);
    if (result == kIOReturnSuccess && created)
        plugIn.reset(new MacUsbPlugIn(created));
    return result;
}

const char* usbDeviceClassName()
{
    // Decided once: the kernel knows a class when it can name its superclass.
    static const char* const s_name = [] {
        const CfRef<CFStringRef> host = cfString("IOUSBHostDevice");
        const CfRef<CFStringRef> superclass(host ? IOObjectCopySuperclassForClass(host.get()) : nullptr);
        return superclass ? "IOUSBHostDevice" : kUsbDeviceClassName;
    }();
    return s_name;
}

CFMutableDictionaryRef createUsbMatchingDictionary(const UsbMatching& matching)
{
    CfRef<CFMutableDictionaryRef> dictionary(IOServiceMatching(usbDeviceClassName()));
    if (!dictionary)
        return nullptr;
    if (matching.matchVendor && !addNumber(dictionary.get(), kUsbVendorIdKey, matching.idVendor))
        return nullptr;
    if (matching.matchProduct && !addNumber(dictionary.get(), kUsbProductIdKey, matching.idProduct))
        return nullptr;
    return dictionary.release();
}

UsbBackend& defaultUsbBackend()
{
    static MacUsbBackend backend;
    return backend;
}

}  // namespace platform
}  // namespace kel
