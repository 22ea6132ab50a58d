#include "lib/kel_usbdevice.h"

#include "platform/text.h"

namespace kel {

namespace {

struct USBMap {
    std::uint32_t id;
    const char* name;
};

const USBMap g_vendorMap[] = {
#include "lib/kel_usbvendors.inc"
    {0, nullptr},
};

const USBMap g_classMap[] = {
    {0x00, "n/a - defined at Interface level"},
    {0x01, "Audio"},
    {0x02, "Communications"},
    {0x03, "Human Interface Device"},
    {0x05, "Physical Interface Device"},
    {0x06, "Imaging"},
    {0x07, "Printer"},
    {0x08, "Mass Storage"},
    {0x09, "Hub"},
    {0x0A, "CDC Data"},
    {0x0B, "Chip/SmartCard"},
    {0x0D, "Content Security"},
    {0x0E, "Video"},
    {0x58, "Xbox"},
    {0xDC, "Diagnostic"},
    {0xE0, "Wireless"},
    {0xEF, "Miscellaneous Device"},
    {0xFE, "Application Specific Interface"},
    {0xFF, "Vendor Specific Class"},
    {0, nullptr},
};

const USBMap g_speedMap[] = {
    {0, "Low"},
    {1, "Full"},
    {2, "High"},
    {0, nullptr},
};

const char* lookupName(unsigned int id, const USBMap* table)
{
    for (; table->name; ++table) {
        if (table->id == id) {
            return table->name;
        }
    }
    return nullptr;
}

IOReturn getStandardDescriptor(platform::UsbDeviceInterface& device, std::uint16_t wValue, std::uint16_t wIndex,
                               std::uint16_t wLength, void* data, std::uint32_t* done = nullptr)
{
    platform::UsbDevRequest request;
    request.bmRequestType = 0x80;
    request.bRequest = 6;
    request.wValue = wValue;
    request.wIndex = wIndex;
    request.wLength = wLength;
    request.pData = data;
    IOReturn kr = device.DeviceRequest(request);
    if (done) {
        *done = request.wLenDone;
    }
    return kr;
}

IOReturn findIOUsbIdentifiers(std::string& name, std::list<std::string>& drivers, unsigned short idVendor,
                              unsigned short idProduct, unsigned int locationId, platform::UsbRegistryEntry& entry);

void queryIOUsbIdentifier(std::string& name, std::list<std::string>& drivers, platform::UsbRegistryEntry& device)
{
    if (!device.nameInPlane(name)) {
        name.clear();
    }
    for (const auto& child : device.children()) {
        std::string bundle;
        // The driver name is read into a 1024-byte buffer, terminator included.
        if (child && child->stringProperty(platform::kUsbBundleIdentifierKey, bundle) && bundle.size() < 1024) {
            drivers.push_back(bundle);
        }
    }
}

IOReturn findIOUsbIdentifiers(std::string& name, std::list<std::string>& drivers, unsigned short idVendor,
                              unsigned short idProduct, unsigned int locationId, platform::UsbRegistryEntry& entry)
{
    if (entry.className() == platform::kUsbDeviceClassName) {
        std::int64_t vendor = -1, product = -1, location = -1;
        if (!entry.numberProperty(platform::kUsbVendorIdKey, vendor)) vendor = -1;
        if (!entry.numberProperty(platform::kUsbProductIdKey, product)) product = -1;
        if (!entry.numberProperty(platform::kUsbLocationIdKey, location)) location = -1;
        if (location == std::int64_t(locationId) && vendor == std::int64_t(idVendor) &&
            product == std::int64_t(idProduct)) {
            queryIOUsbIdentifier(name, drivers, entry);
            return kIOReturnSuccess;
        }
        return kIOReturnNotFound;
    }
    for (const auto& child : entry.children()) {
        if (child && kIOReturnSuccess == findIOUsbIdentifiers(name, drivers, idVendor, idProduct, locationId, *child)) {
            return kIOReturnSuccess;
        }
    }
    return kIOReturnNotFound;
}

}  // namespace

UsbDevice::UsbDevice() : m_isBound(false), m_isOpen(false) {}

UsbDevice::~UsbDevice()
{
    close();
}

IOReturn UsbDevice::bind3(platform::UsbServiceRef sr, std::unique_ptr<platform::UsbPlugInInterface> pi,
                          std::unique_ptr<platform::UsbDeviceInterface> di)
{
    assert(sr);
    assert(pi);
    assert(di);
    unbind();
    m_service = std::move(sr);
    m_plugInInterface = std::move(pi);
    m_deviceInterface = std::move(di);
    m_isBound = true;
    return kIOReturnSuccess;
}

IOReturn UsbDevice::bind2(int idVendor, int idProduct, unsigned int locationId)
{
    unbind();
    platform::UsbMatching matching;
    if (idVendor >= 0) {
        matching.matchVendor = true;
        matching.idVendor = idVendor;
    }
    if (idProduct >= 0) {
        matching.matchProduct = true;
        matching.idProduct = idProduct;
    }
    std::unique_ptr<platform::UsbIterator> iterator;
    IOReturn kr = platform::usbBackend().getMatchingServices(matching, iterator);
    if (kr != kIOReturnSuccess) {
        return kr;
    }
    if (!iterator) {
        return kIOReturnNoResources;
    }
    assert(!isBound());
    kr = kIOReturnNotFound;
    while (platform::UsbServiceRef service = iterator->next()) {
        std::unique_ptr<platform::UsbPlugInInterface> plugIn;
        if (service->createPlugInInterface(plugIn) != kIOReturnSuccess || !plugIn) {
            continue;
        }
        std::unique_ptr<platform::UsbDeviceInterface> device;
        if (plugIn->queryDeviceInterface(device) != kIOReturnSuccess || !device) {
            continue;
        }
        std::uint32_t location = ~locationId;
        if (device->GetLocationID(&location) == kIOReturnSuccess && location == locationId) {
            kr = bind3(std::move(service), std::move(plugIn), std::move(device));
            break;
        }
    }
    assert((kIOReturnSuccess == kr && m_isBound && m_plugInInterface && m_deviceInterface) ||
           (kIOReturnSuccess != kr && !m_isBound && !m_plugInInterface && !m_deviceInterface));
    return kr;
}

IOReturn UsbDevice::bind(const UsbIdentifier& identifier)
{
    return bind2(identifier.idVendor(), identifier.idProduct(), identifier.locationId());
}

IOReturn UsbDevice::bind(unsigned short idVendor, unsigned short idProduct, unsigned int locationId)
{
    return bind2(idVendor, idProduct, locationId);
}

IOReturn UsbDevice::bindLocation(unsigned int locationId)
{
    return bind2(-1, -1, locationId);
}

IOReturn UsbDevice::bindService(platform::UsbServiceRef service)
{
    unbind();
    IOReturn kr = kIOReturnNoDevice;
    std::unique_ptr<platform::UsbPlugInInterface> plugIn;
    if (service) {
        kr = service->createPlugInInterface(plugIn);
        if (kr == kIOReturnSuccess && !plugIn) {
            kr = kIOReturnError;
        }
    }
    if (kr == kIOReturnSuccess) {
        std::unique_ptr<platform::UsbDeviceInterface> device;
        if (plugIn->queryDeviceInterface(device) != kIOReturnSuccess || !device) {
            kr = kIOReturnError;
        } else {
            kr = bind3(std::move(service), std::move(plugIn), std::move(device));
            assert(kIOReturnSuccess == kr && isBound());
        }
    }
    // On failure the reference we were given goes out of scope here.
    assert((kIOReturnSuccess == kr && isBound()) || (kIOReturnSuccess != kr && !isBound()));
    return kr;
}

void UsbDevice::unbind()
{
    if (m_isBound) {
        assert(m_service);
        assert(m_plugInInterface);
        assert(m_deviceInterface);
        m_deviceInterface->USBDeviceClose();
        m_deviceInterface.reset();
        m_plugInInterface.reset();
        m_service.reset();
        m_isBound = false;
    } else {
        assert(!m_service);
        assert(!m_plugInInterface);
        assert(!m_deviceInterface);
    }
}

IOReturn UsbDevice::open2(int idVendor, int idProduct, unsigned int locationId)
{
    if (m_isOpen) {
        close();
    }
    IOReturn kr = bind2(idVendor, idProduct, locationId);
    if (kr != kIOReturnSuccess) {
        return kr;
    }
    kr = USBDeviceOpen();
    if (kr != kIOReturnSuccess) {
        unbind();
        return kr;
    }
    m_isOpen = true;
    return kIOReturnSuccess;
}

IOReturn UsbDevice::open(const UsbIdentifier& identifier)
{
    return open2(identifier.idVendor(), identifier.idProduct(), identifier.locationId());
}

IOReturn UsbDevice::open(unsigned short idVendor, unsigned short idProduct, unsigned int locationId)
{
    return open2(idVendor, idProduct, locationId);
}

IOReturn UsbDevice::openLocation(unsigned int locationId)
{
    return open2(-1, -1, locationId);
}

void UsbDevice::close()
{
    if (m_isOpen) {
        if (m_isBound) {
            USBDeviceClose();
        }
        m_isOpen = false;
    }
    unbind();
}

IOReturn UsbDevice::getDescriptor(void* buffer, unsigned long length, unsigned char type, unsigned char index)
{
    if (!m_isBound) {
        return kIOReturnNotAttached;
    }
    if (length > 0xFFFF) {
        length = 0xFFFF;
    }
    return getStandardDescriptor(*m_deviceInterface, std::uint16_t(type << 8 | index), 0, std::uint16_t(length),
                                 buffer);
}

unsigned short UsbDevice::chooseStringDescriptorLanguageId()
{
    constexpr unsigned short kDefaultLanguage = 0x0409;
    if (!m_isBound) {
        return 0;
    }
    std::uint8_t buffer[256] = {};
    IOReturn kr = getStandardDescriptor(*m_deviceInterface, 0x0300, 0, 2, buffer);
    if (kr != kIOReturnSuccess && kr != kIOReturnOverrun) {
        return kDefaultLanguage;
    }
    const std::uint8_t length = buffer[0];
    if (length <= 2) {
        return kDefaultLanguage;
    }
    std::uint32_t done = 0;
    if (getStandardDescriptor(*m_deviceInterface, 0x0300, 0, length, buffer, &done) != kIOReturnSuccess) {
        return kDefaultLanguage;
    }
    // A device that sends less than the first language ID has not named one.
    if (done < 4) {
        return kDefaultLanguage;
    }
    return static_cast<unsigned short>(buffer[2] | buffer[3] << 8);
}

IOReturn UsbDevice::getStringDescriptor(std::string& text, unsigned char index, unsigned short languageId)
{
    if (!m_isBound) {
        return kIOReturnNotAttached;
    }
    text.clear();
    std::uint8_t buffer[256] = {};
    IOReturn kr = getStandardDescriptor(*m_deviceInterface, std::uint16_t(0x0300 | index), languageId, 2, buffer);
    if (kr != kIOReturnSuccess && kr != kIOReturnOverrun) {
        return kr;
    }
    const std::uint8_t length = buffer[0];
    if (length == 0 || length == 2) {
        return kIOReturnSuccess;
    }
    if (length == 1) {
        return kIOReturnUnderrun;
    }
    std::uint8_t descriptor[256] = {};
    std::uint32_t done = 0;
    kr = getStandardDescriptor(*m_deviceInterface, std::uint16_t(0x0300 | index), languageId, length, descriptor,
                               &done);
    if (kr != kIOReturnSuccess) {
        return kr;
    }
    // Only what the device sent counts: a short transfer or a bLength beyond the transfer
    // is cut to the bytes actually received.
    std::size_t count = length;
    if (done < count) {
        count = done;
    }
    count = count > 2 ? count - 2 : 0;
    char converted[256];
    platform::utf16ToNonLossyAscii(descriptor + 2, count, converted, sizeof converted);
    converted[255] = '\0';
    text = converted;
    return kIOReturnSuccess;
}

bool UsbDevice::isConfigured()
{
    if (!m_isBound) {
        return false;
    }
    std::uint8_t configuration = 0;
    return m_deviceInterface->GetConfiguration(&configuration) == kIOReturnSuccess && configuration != 0;
}

IOReturn UsbDevice::getDriverInfo(std::string& name, std::list<std::string>& drivers)
{
    if (!m_isBound) {
        return kIOReturnNotAttached;
    }
    name.clear();
    drivers.clear();
    std::uint32_t locationId = 0;
    std::uint16_t idVendor = 0, idProduct = 0;
    IOReturn kr = m_deviceInterface->GetLocationID(&locationId);
    if (kr == kIOReturnSuccess) kr = m_deviceInterface->GetDeviceVendor(&idVendor);
    if (kr == kIOReturnSuccess) kr = m_deviceInterface->GetDeviceProduct(&idProduct);
    if (kr != kIOReturnSuccess) {
        return kr;
    }
    return getDriverInfo(name, drivers, idVendor, idProduct, locationId);
}

IOReturn UsbDevice::getDriverInfo(std::string& name, std::list<std::string>& drivers, unsigned short idVendor,
                                  unsigned short idProduct, unsigned int locationId)
{
    name.clear();
    drivers.clear();
    std::shared_ptr<platform::UsbRegistryEntry> root = platform::usbBackend().registryRoot();
    if (!root) {
        return kIOReturnNoResources;
    }
    IOReturn kr = findIOUsbIdentifiers(name, drivers, idVendor, idProduct, locationId, *root);
    if (kr != kIOReturnSuccess) {
        name.clear();
        drivers.clear();
    }
    return kr;
}

const char* UsbDevice::lookupVendorName(unsigned int idVendor)
{
    const char* name = lookupName(idVendor, g_vendorMap);
    return name ? name : "Unknown Vendor";
}

const char* UsbDevice::lookupClassName(unsigned int deviceClass)
{
    const char* name = lookupName(deviceClass, g_classMap);
    return name ? name : "Unknown Class";
}

const char* UsbDevice::lookupSpeedName(unsigned int speed)
{
    const char* name = lookupName(speed, g_speedMap);
    return name ? name : "Unknown Speed";
}

}  // namespace kel
