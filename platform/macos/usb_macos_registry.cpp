// The registry seen through its "IOUSB" plane, for the driver look-up. Entries are read live;
// each holds one registry reference.
#include "platform/macos/usb_macos.h"

#include <IOKit/IOKitKeys.h>
#include <IOKit/usb/USBSpec.h>

#include <cassert>
#include <cstring>
#include <vector>

namespace kel {
namespace platform {

namespace {

class MacRegistryEntry final : public UsbRegistryEntry {
public:
    explicit MacRegistryEntry(io_registry_entry_t entry) : m_entry(entry) {}

    // The driver look-up tells device nodes by the class name "IOUSBDevice": a device that is
    // not the one sought is not searched below, while hubs ("IOUSBHubDevice", a subclass) and
    // controllers are. Since macOS 10.11 devices and hubs alike are "IOUSBHostDevice"; such a
    // node is reported as a device unless it is a hub, so that the devices behind hubs are
    // still reached.
    std::string className() override
    {
        io_name_t name = {};
        const kern_return_t kr = IOObjectGetClass(m_entry.get(), name);
        assert(kr == KERN_SUCCESS);
        (void)kr;
        std::int64_t deviceClass = -1;
        if (std::strcmp(name, "IOUSBHostDevice") == 0 &&
            !(numberProperty(kUSBDeviceClass, deviceClass) && deviceClass == kUSBHubClass))
            return kUsbDeviceClassName;
        return name;
    }

    bool nameInPlane(std::string& name) override
    {
        io_name_t text = {};
        if (IORegistryEntryGetNameInPlane(m_entry.get(), kIOUSBPlane, text) != KERN_SUCCESS)
            return false;
        name = text;
        return true;
    }

    bool numberProperty(const std::string& key, std::int64_t& value) override
    {
        const CfRef<CFTypeRef> property = copyProperty(key);
        return cfNumberValue(property.get(), value);
    }

    bool stringProperty(const std::string& key, std::string& value) override
    {
        const CfRef<CFTypeRef> property = copyProperty(key);
        if (!property || CFGetTypeID(property.get()) != CFStringGetTypeID())
            return false;
        const CFStringRef text = static_cast<CFStringRef>(property.get());
        const CFIndex size =
            CFStringGetMaximumSizeForEncoding(CFStringGetLength(text), kCFStringEncodingUTF8) + 1;
        if (size <= 0)
            return false;
        std::vector<char> buffer(static_cast<std::size_t>(size));
        if (!CFStringGetCString(text, buffer.data(), size, kCFStringEncodingUTF8))
            return false;
        value = buffer.data();
        return true;
    }

    std::vector<std::shared_ptr<UsbRegistryEntry>> children() override
    {
        std::vector<std::shared_ptr<UsbRegistryEntry>> entries;
        io_iterator_t iterator = IO_OBJECT_NULL;
        if (IORegistryEntryGetChildIterator(m_entry.get(), kIOUSBPlane, &iterator) != KERN_SUCCESS)
            return entries;
        const IoObject owned(iterator);
        while (const io_registry_entry_t child = IOIteratorNext(iterator))
            entries.push_back(std::make_shared<MacRegistryEntry>(child));
        return entries;
    }

private:
    CfRef<CFTypeRef> copyProperty(const std::string& key)
    {
        const CfRef<CFStringRef> name = cfString(key);
        if (!name)
            return CfRef<CFTypeRef>();
        return CfRef<CFTypeRef>(IORegistryEntryCreateCFProperty(m_entry.get(), name.get(), kCFAllocatorDefault, 0));
    }

    const IoObject m_entry;
};

}  // namespace

std::shared_ptr<UsbRegistryEntry> macUsbRegistryRoot()
{
    const io_registry_entry_t root = IORegistryGetRootEntry(kDefaultMainPort);
    if (root == IO_OBJECT_NULL)
        return nullptr;
    return std::make_shared<MacRegistryEntry>(root);
}

}  // namespace platform
}  // namespace kel
