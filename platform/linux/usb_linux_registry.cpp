#include "platform/linux/usb_linux_registry.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <map>

#include <dirent.h>
#include <unistd.h>

#include "platform/linux/access_hint.h"
#include "platform/linux/location.h"
#include "platform/linux/usb_sysfs.h"

namespace kel {
namespace platform {

namespace {

// A snapshot of one node, taken when the tree is built.
class SysfsRegistryEntry final : public UsbRegistryEntry {
public:
    explicit SysfsRegistryEntry(std::string className) : m_className(std::move(className)) {}

    std::string className() override { return m_className; }

    bool nameInPlane(std::string& name) override
    {
        if (m_name.empty())
            return false;
        name = m_name;
        return true;
    }

    bool numberProperty(const std::string& key, std::int64_t& value) override
    {
        const auto found = m_numbers.find(key);
        if (found == m_numbers.end())
            return false;
        value = found->second;
        return true;
    }

    bool stringProperty(const std::string& key, std::string& value) override
    {
        const auto found = m_strings.find(key);
        if (found == m_strings.end())
            return false;
        value = found->second;
        return true;
    }

    std::vector<std::shared_ptr<UsbRegistryEntry>> children() override { return m_children; }

    std::string m_name;
    std::map<std::string, std::int64_t> m_numbers;
    std::map<std::string, std::string> m_strings;
    std::vector<std::shared_ptr<UsbRegistryEntry>> m_children;

private:
    const std::string m_className;
};

// Interfaces are named "1-2:C.I" (configuration C, interface I); "1-2:1.10" comes after "1-2:1.2".
bool interfaceLess(const std::string& a, const std::string& b)
{
    const auto key = [](const std::string& name) {
        std::uint32_t configuration = 0;
        std::uint32_t interface = 0;
        const std::size_t colon = name.find(':');
        const std::size_t dot = name.find('.', colon == std::string::npos ? name.size() : colon);
        if (colon != std::string::npos && dot != std::string::npos) {
            parseNumber(name.substr(colon + 1, dot - colon - 1), 10, configuration);
            parseNumber(name.substr(dot + 1), 10, interface);
        }
        return std::make_pair(configuration, interface);
    };
    const auto keyA = key(a);
    const auto keyB = key(b);
    return keyA != keyB ? keyA < keyB : a < b;
}

std::shared_ptr<SysfsRegistryEntry> interfaceEntry(const std::string& directory, const std::string& name)
{
    auto entry = std::make_shared<SysfsRegistryEntry>("IOUSBInterface");
    const std::string path = directory + "/" + name;
    std::string text;
    entry->m_name = readSysfsText(path, "interface", text) && !text.empty() ? text : name;
    std::uint32_t number = 0;
    if (readSysfsHex(path, "bInterfaceNumber", number))
        entry->m_numbers["bInterfaceNumber"] = number;
    std::string driver;
    if (readSysfsLink(path + "/driver", driver))
        entry->m_strings[kUsbBundleIdentifierKey] = baseName(driver);
    return entry;
}

// Null when the device has gone while the tree was being built.
std::shared_ptr<SysfsRegistryEntry> deviceEntry(const std::string& devicesDirectory, const std::string& name,
                                                unsigned bus, const std::vector<unsigned>& ports)
{
    const std::string path = devicesDirectory + "/" + name;
    std::uint32_t idVendor = 0;
    std::uint32_t idProduct = 0;
    std::uint32_t devnum = 0;
    if (!readSysfsHex(path, "idVendor", idVendor) || !readSysfsHex(path, "idProduct", idProduct))
        return nullptr;
    readSysfsDecimal(path, "devnum", devnum);

    auto entry = std::make_shared<SysfsRegistryEntry>(kUsbDeviceClassName);
    entry->m_numbers[kUsbVendorIdKey] = idVendor;
    entry->m_numbers[kUsbProductIdKey] = idProduct;
    entry->m_numbers[kUsbLocationIdKey] = usbLocationId(bus, ports, devnum);
    std::string product;
    entry->m_name = readSysfsText(path, "product", product) && !product.empty() ? product : name;

    std::vector<std::string> names;
    listDirectory(path, names);
    const std::string prefix = name + ":";
    names.erase(std::remove_if(names.begin(), names.end(),
                               [&](const std::string& n) { return n.compare(0, prefix.size(), prefix) != 0; }),
                names.end());
    std::sort(names.begin(), names.end(), interfaceLess);
    for (const std::string& interfaceName : names)
        entry->m_children.push_back(interfaceEntry(path, interfaceName));
    return entry;
}

}  // namespace

std::shared_ptr<UsbRegistryEntry> sysfsUsbRegistry(const std::string& devicesDirectory)
{
    std::vector<std::string> names;
    if (!listDirectory(devicesDirectory, names)) {
        hintOnAccessDenied(devicesDirectory, errno);
        return nullptr;
    }

    struct Device {
        std::string name;
        unsigned bus;
        std::vector<unsigned> ports;
    };
    std::vector<Device> devices;
    for (const std::string& name : names) {
        Device device{name, 0, {}};
        if (parseUsbDeviceName(name, device.bus, device.ports))  // interfaces do not parse
            devices.push_back(std::move(device));
    }
    std::sort(devices.begin(), devices.end(), [](const Device& a, const Device& b) {
        return a.bus != b.bus ? a.bus < b.bus : a.ports < b.ports;
    });

    auto root = std::make_shared<SysfsRegistryEntry>("IORegistryEntry");
    root->m_name = "Root";
    for (const Device& device : devices) {
        if (auto entry = deviceEntry(devicesDirectory, device.name, device.bus, device.ports))
            root->m_children.push_back(std::move(entry));
    }
    return root;
}

}  // namespace platform
}  // namespace kel
