#include "platform/linux/usb_linux.h"

#include "platform/linux/usb_linux_device.h"
#include "platform/linux/usb_linux_events.h"
#include "platform/linux/usb_linux_notify.h"
#include "platform/linux/usb_linux_registry.h"

namespace kel {
namespace platform {

namespace {

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
        if (!enumerateUsbDevices(devices))
            return kIOReturnNoResources;
        std::vector<UsbServiceRef> services;
        for (const UsbDeviceEvent& device : devices) {
            auto service = LinuxUsbService::create(device.syspath, device.devnode, device.devnum);
            if (!service)
                return kIOReturnNoResources;
            if (!service->isTerminated() && usbDeviceMatches(matching, *service))
                services.push_back(std::move(service));
        }
        iterator.reset(new LinuxUsbServiceIterator(std::move(services)));
        return kIOReturnSuccess;
    }

    std::unique_ptr<UsbNotificationPort> createNotificationPort() override
    {
        return createUsbNotificationPort(createUsbEventSource());
    }

    std::shared_ptr<UsbRegistryEntry> registryRoot() override { return sysfsUsbRegistry("/sys/bus/usb/devices"); }
};

}  // namespace

UsbBackend& linuxUsbBackend()
{
    static LinuxUsbBackend backend;
    return backend;
}

}  // namespace platform
}  // namespace kel
