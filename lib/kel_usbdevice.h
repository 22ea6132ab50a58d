// One USB device node with its device interface: binding by vendor, product and location,
// exclusive open, descriptors and strings, the driver look-up and the USB name tables.
#pragma once

#include <cassert>
#include <cstdint>
#include <list>
#include <memory>
#include <string>

#include "lib/kel_usbidentifier.h"
#include "platform/ioreturn.h"
#include "platform/usb.h"

namespace kel {

class UsbDevice {
public:
    UsbDevice();
    ~UsbDevice();
    UsbDevice(const UsbDevice&) = delete;
    UsbDevice& operator=(const UsbDevice&) = delete;

    IOReturn bind2(int idVendor, int idProduct, unsigned int locationId);
    IOReturn bind(const UsbIdentifier& identifier);
    IOReturn bind(unsigned short idVendor, unsigned short idProduct, unsigned int locationId);
    IOReturn bindLocation(unsigned int locationId);
    // Takes over `service` whether or not binding succeeds.
    IOReturn bindService(platform::UsbServiceRef service);
    void unbind();

    IOReturn open2(int idVendor, int idProduct, unsigned int locationId);
    IOReturn open(const UsbIdentifier& identifier);
    IOReturn open(unsigned short idVendor, unsigned short idProduct, unsigned int locationId);
    IOReturn openLocation(unsigned int locationId);
    void close();

    bool isBound() const { return m_isBound; }
    bool isOpen() const { return m_isOpen; }
    const platform::UsbServiceRef& service() const { return m_service; }
    platform::UsbDeviceInterface* deviceInterface() const { return m_deviceInterface.get(); }

    IOReturn getDescriptor(void* buffer, unsigned long length, unsigned char type, unsigned char index);
    unsigned short chooseStringDescriptorLanguageId();
    IOReturn getStringDescriptor(std::string& text, unsigned char index, unsigned short languageId);
    bool isConfigured();

    IOReturn USBDeviceOpen()
    {
        assert(isBound() && m_deviceInterface);
        return m_deviceInterface->USBDeviceOpen();
    }
    IOReturn USBDeviceClose()
    {
        assert(isBound() && m_deviceInterface);
        return m_deviceInterface->USBDeviceClose();
    }
    IOReturn GetDeviceVendor(unsigned short* idVendor)
    {
        assert(isBound() && m_deviceInterface);
        return m_deviceInterface->GetDeviceVendor(idVendor);
    }
    IOReturn GetDeviceProduct(unsigned short* idProduct)
    {
        assert(isBound() && m_deviceInterface);
        return m_deviceInterface->GetDeviceProduct(idProduct);
    }

    IOReturn getDriverInfo(std::string& name, std::list<std::string>& drivers);
    static IOReturn getDriverInfo(std::string& name, std::list<std::string>& drivers, unsigned short idVendor,
                                  unsigned short idProduct, unsigned int locationId);

    static const char* lookupVendorName(unsigned int idVendor);
    static const char* lookupClassName(unsigned int deviceClass);
    static const char* lookupSpeedName(unsigned int speed);

private:
    IOReturn bind3(platform::UsbServiceRef sr, std::unique_ptr<platform::UsbPlugInInterface> pi,
                   std::unique_ptr<platform::UsbDeviceInterface> di);

    bool m_isBound;
    bool m_isOpen;
    platform::UsbServiceRef m_service;
    std::unique_ptr<platform::UsbPlugInInterface> m_plugInInterface;
    std::unique_ptr<platform::UsbDeviceInterface> m_deviceInterface;
};

}  // namespace kel
