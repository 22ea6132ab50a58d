#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/linux/usb_linux.h"
#include "platform/linux/usb_linux_device.h"
#include "platform/linux/usb_sysfs.h"

namespace kel {
namespace platform {
namespace {

using Bytes = std::vector<std::uint8_t>;

// A throw-away directory laid out like /sys/bus/usb/devices.
class FakeSysfs {
public:
    FakeSysfs()
    {
        char pattern[] = "/tmp/usb_linux_test.XXXXXX";
        const char* made = ::mkdtemp(pattern);
        EXPECT_NE(nullptr, made);
        m_root = made ? made : "";
    }

    ~FakeSysfs()
    {
        ::nftw(m_root.c_str(), [](const char* path, const struct stat*, int, FTW*) { return ::remove(path); }, 16,
               FTW_DEPTH | FTW_PHYS);
    }

    const std::string& root() const { return m_root; }
    std::string path(const std::string& name) const { return m_root + "/" + name; }

    void write(const std::string& name, const std::string& attribute, const std::string& contents) const
    {
        ::mkdir(path(name).c_str(), 0755);
        std::ofstream(path(name) + "/" + attribute, std::ios::binary) << contents;
    }

    void writeBytes(const std::string& name, const std::string& attribute, const Bytes& bytes) const
    {
        write(name, attribute, std::string(bytes.begin(), bytes.end()));
    }

    void remove(const std::string& name, const std::string& attribute) const
    {
        ::unlink((path(name) + "/" + attribute).c_str());
    }

    // A device as the kernel shows it, with two configurations and three strings.
    void addDevice(const std::string& name, unsigned devnum, const std::string& product = "Keyboard") const
    {
        write(name, "idVendor", "0a12\n");
        write(name, "idProduct", "100b\n");
        write(name, "bcdDevice", "0134\n");
        write(name, "bDeviceClass", "e0\n");
        write(name, "bDeviceSubClass", "01\n");
        write(name, "bDeviceProtocol", "02\n");
        write(name, "bConfigurationValue", "1\n");
        write(name, "speed", "12\n");
        write(name, "busnum", "1\n");
        write(name, "devnum", std::to_string(devnum) + "\n");
        write(name, "manufacturer", "Cambridge Silicon Radio\n");
        if (!product.empty())
            write(name, "product", product + "\n");
        write(name, "serial", "A1B2\n");
        writeBytes(name, "descriptors", descriptors());
    }

    static Bytes deviceDescriptor()
    {
        return {18, 1, 0x00, 0x02, 0xE0, 0x01, 0x02, 64, 0x12, 0x0A, 0x0B, 0x10, 0x34, 0x01, 1, 2, 3, 2};
    }
    static Bytes configuration1() { return {9, 2, 18, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 1, 3, 0, 0, 0}; }
    static Bytes configuration2() { return {9, 2, 9, 0, 0, 2, 0, 0x80, 100}; }
    static Bytes descriptors()
    {
        Bytes all = deviceDescriptor();
        for (const Bytes& part : {configuration1(), configuration2()})
            all.insert(all.end(), part.begin(), part.end());
        return all;
    }

private:
    std::string m_root;
};

std::unique_ptr<UsbDeviceInterface> deviceInterface(const UsbServiceRef& service)
{
    std::unique_ptr<UsbPlugInInterface> plugIn;
    std::unique_ptr<UsbDeviceInterface> device;
    EXPECT_EQ(kIOReturnSuccess, service->createPlugInInterface(plugIn));
    if (plugIn) {
        EXPECT_EQ(kIOReturnSuccess, plugIn->queryDeviceInterface(device));
    }
    return device;
}

// Every getter, in one place, so that a test can ask whether all of them fail alike.
std::vector<IOReturn> allGetters(UsbDeviceInterface& device)
{
    std::uint32_t u32;
    std::uint16_t u16;
    std::uint8_t u8;
    return {device.GetUSBDeviceInformation(&u32),      device.GetLocationID(&u32),
            device.GetDeviceVendor(&u16),              device.GetDeviceProduct(&u16),
            device.GetDeviceReleaseNumber(&u16),       device.GetDeviceClass(&u8),
            device.GetDeviceSubClass(&u8),             device.GetDeviceProtocol(&u8),
            device.GetDeviceSpeed(&u8),                device.GetConfiguration(&u8),
            device.USBGetManufacturerStringIndex(&u8), device.USBGetProductStringIndex(&u8),
            device.USBGetSerialNumberStringIndex(&u8)};
}

IOReturn getDescriptor(UsbDeviceInterface& device, std::uint16_t wValue, std::uint16_t wLength, Bytes& out,
                       std::uint8_t bmRequestType = 0x80)
{
    out.assign(wLength, 0xEE);
    UsbDevRequest request;
    request.bmRequestType = bmRequestType;
    request.bRequest = 6;
    request.wValue = wValue;
    request.wIndex = 0x0409;
    request.wLength = wLength;
    request.pData = out.data();
    request.wLenDone = 12345;
    const IOReturn kr = device.DeviceRequest(request);
    out.resize(request.wLenDone <= wLength ? request.wLenDone : wLength);
    return kr;
}

Bytes utf16Descriptor(const std::vector<std::uint16_t>& units)
{
    Bytes descriptor{static_cast<std::uint8_t>(2 + 2 * units.size()), 3};
    for (std::uint16_t unit : units) {
        descriptor.push_back(static_cast<std::uint8_t>(unit & 0xFF));
        descriptor.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    return descriptor;
}

TEST(LinuxUsbDevice, GettersReadTheDevicesAttributes)
{
    FakeSysfs sysfs;
    sysfs.addDevice("1-2.3", 7);
    auto service = LinuxUsbService::create(sysfs.path("1-2.3"), "");
    EXPECT_EQ("/dev/bus/usb/001/007", service->devnode());
    auto device = deviceInterface(service);
    ASSERT_TRUE(device);

    std::uint32_t location = 0;
    std::uint16_t idVendor = 0, idProduct = 0, bcdDevice = 0;
    std::uint8_t deviceClass = 0, subClass = 0, protocol = 0, speed = 9, configuration = 0;
    std::uint8_t manufacturer = 0, product = 0, serial = 0;
    EXPECT_EQ(kIOReturnSuccess, device->GetLocationID(&location));
    EXPECT_EQ(0x01230000u, location);
    EXPECT_EQ(kIOReturnSuccess, device->GetDeviceVendor(&idVendor));
    EXPECT_EQ(kIOReturnSuccess, device->GetDeviceProduct(&idProduct));
    EXPECT_EQ(kIOReturnSuccess, device->GetDeviceReleaseNumber(&bcdDevice));
    EXPECT_EQ(0x0A12, idVendor);
    EXPECT_EQ(0x100B, idProduct);
    EXPECT_EQ(0x0134, bcdDevice);
    EXPECT_EQ(kIOReturnSuccess, device->GetDeviceClass(&deviceClass));
    EXPECT_EQ(kIOReturnSuccess, device->GetDeviceSubClass(&subClass));
    EXPECT_EQ(kIOReturnSuccess, device->GetDeviceProtocol(&protocol));
    EXPECT_EQ(0xE0, deviceClass);
    EXPECT_EQ(0x01, subClass);
    EXPECT_EQ(0x02, protocol);
    EXPECT_EQ(kIOReturnSuccess, device->GetDeviceSpeed(&speed));
    EXPECT_EQ(1, speed);
    EXPECT_EQ(kIOReturnSuccess, device->GetConfiguration(&configuration));
    EXPECT_EQ(1, configuration);
    EXPECT_EQ(kIOReturnSuccess, device->USBGetManufacturerStringIndex(&manufacturer));
    EXPECT_EQ(kIOReturnSuccess, device->USBGetProductStringIndex(&product));
    EXPECT_EQ(kIOReturnSuccess, device->USBGetSerialNumberStringIndex(&serial));
    EXPECT_EQ(1, manufacturer);
    EXPECT_EQ(2, product);
    EXPECT_EQ(3, serial);

    // An unconfigured device shows an empty attribute.
    sysfs.write("1-2.3", "bConfigurationValue", "\n");
    EXPECT_EQ(kIOReturnSuccess, device->GetConfiguration(&configuration));
    EXPECT_EQ(0, configuration);
}

TEST(LinuxUsbDevice, SpeedsMapToThePlatformsCodes)
{
    FakeSysfs sysfs;
    sysfs.addDevice("2-1", 3);
    auto device = deviceInterface(LinuxUsbService::create(sysfs.path("2-1"), ""));
    std::uint8_t code = 0xFF;
    for (const auto& speed : {std::make_pair("1.5", 0), {"480", 2}, {"5000", 3}, {"20000", 5}}) {
        sysfs.write("2-1", "speed", std::string(speed.first) + "\n");
        EXPECT_EQ(kIOReturnSuccess, device->GetDeviceSpeed(&code)) << speed.first;
        EXPECT_EQ(speed.second, code) << speed.first;
    }
    sysfs.write("2-1", "speed", "unknown\n");
    EXPECT_NE(kIOReturnSuccess, device->GetDeviceSpeed(&code));
}

TEST(LinuxUsbDevice, EveryCallFailsWithNoDeviceOnceTheDeviceHasGone)
{
    FakeSysfs sysfs;
    sysfs.addDevice("1-1", 4);
    auto service = LinuxUsbService::create(sysfs.path("1-1"), sysfs.path("no-node"));
    auto device = deviceInterface(service);
    for (IOReturn kr : allGetters(*device))
        EXPECT_EQ(kIOReturnSuccess, kr);

    // Another device at the same port: the attributes are there, but they are not ours.
    sysfs.write("1-1", "devnum", "5\n");
    for (IOReturn kr : allGetters(*device))
        EXPECT_EQ(kIOReturnNoDevice, kr);

    // Our device number again, but one attribute at a time disappears under the reader.
    sysfs.write("1-1", "devnum", "4\n");
    sysfs.remove("1-1", "idVendor");
    std::uint16_t idVendor = 0;
    EXPECT_EQ(kIOReturnNoDevice, device->GetDeviceVendor(&idVendor));
    sysfs.remove("1-1", "descriptors");
    Bytes out;
    EXPECT_EQ(kIOReturnNoDevice, getDescriptor(*device, 0x0100, 18, out));
    EXPECT_TRUE(out.empty());

    // The whole directory, as the kernel removes it.
    sysfs.addDevice("1-1", 4);
    std::uint8_t index = 0;
    EXPECT_EQ(kIOReturnSuccess, device->USBGetProductStringIndex(&index));
    for (const char* attribute : {"idVendor", "idProduct", "bcdDevice", "bDeviceClass", "bDeviceSubClass",
                                  "bDeviceProtocol", "bConfigurationValue", "speed", "busnum", "devnum",
                                  "manufacturer", "product", "serial", "descriptors"})
        sysfs.remove("1-1", attribute);
    ::rmdir(sysfs.path("1-1").c_str());
    for (IOReturn kr : allGetters(*device))
        EXPECT_EQ(kIOReturnNoDevice, kr);
    EXPECT_EQ(kIOReturnNoDevice, getDescriptor(*device, 0x0302, 255, out));
    EXPECT_EQ(kIOReturnNoDevice, device->USBDeviceOpen());
    std::unique_ptr<UsbPlugInInterface> plugIn;
    EXPECT_EQ(kIOReturnNoDevice, service->createPlugInInterface(plugIn));

    // A removal seen by the monitor wins even while the directory is still there.
    sysfs.addDevice("1-1", 4);
    EXPECT_TRUE(service->isAttached());
    service->setTerminated();
    for (IOReturn kr : allGetters(*device))
        EXPECT_EQ(kIOReturnNoDevice, kr);
}

// The node is a plain file (the ioctl fails) or missing (open fails): either way the
// descriptors come from what the kernel read.
class DescriptorFallback : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override
    {
        m_sysfs.addDevice("3-1", 2, "Caf\xC3\xA9 \xE2\x98\x95 \xF0\x9D\x84\x9E");
        const std::string node = m_sysfs.path(GetParam() ? "node" : "missing");
        if (GetParam())
            std::ofstream(node) << "";
        m_device = deviceInterface(LinuxUsbService::create(m_sysfs.path("3-1"), node));
        ASSERT_TRUE(m_device);
    }

    FakeSysfs m_sysfs;
    std::unique_ptr<UsbDeviceInterface> m_device;
};

TEST_P(DescriptorFallback, DeviceAndConfigurationDescriptors)
{
    const Bytes device = FakeSysfs::deviceDescriptor();
    const Bytes configuration = FakeSysfs::configuration1();
    Bytes out;
    EXPECT_EQ(kIOReturnSuccess, getDescriptor(*m_device, 0x0100, 18, out));
    EXPECT_EQ(FakeSysfs::deviceDescriptor(), out);
    EXPECT_EQ(kIOReturnSuccess, getDescriptor(*m_device, 0x0100, 255, out));
    EXPECT_EQ(FakeSysfs::deviceDescriptor(), out);
    EXPECT_EQ(kIOReturnSuccess, getDescriptor(*m_device, 0x0100, 8, out));
    EXPECT_EQ(Bytes(device.begin(), device.begin() + 8), out);

    EXPECT_EQ(kIOReturnSuccess, getDescriptor(*m_device, 0x0200, 1024, out));
    EXPECT_EQ(FakeSysfs::configuration1(), out);
    EXPECT_EQ(kIOReturnSuccess, getDescriptor(*m_device, 0x0201, 1024, out));
    EXPECT_EQ(FakeSysfs::configuration2(), out);
    EXPECT_EQ(kIOReturnSuccess, getDescriptor(*m_device, 0x0200, 9, out));
    EXPECT_EQ(Bytes(configuration.begin(), configuration.begin() + 9), out);
    EXPECT_NE(kIOReturnSuccess, getDescriptor(*m_device, 0x0202, 1024, out));
    EXPECT_TRUE(out.empty());
}

TEST_P(DescriptorFallback, LanguageListAndStrings)
{
    Bytes out;
    EXPECT_EQ(kIOReturnSuccess, getDescriptor(*m_device, 0x0300, 255, out));
    EXPECT_EQ((Bytes{4, 3, 0x09, 0x04}), out);
    EXPECT_EQ(kIOReturnSuccess, getDescriptor(*m_device, 0x0300, 2, out));
    EXPECT_EQ((Bytes{4, 3}), out);

    // U+00E9, U+2615 and U+1D11E, the last one as a surrogate pair.
    const Bytes product = utf16Descriptor({'C', 'a', 'f', 0x00E9, ' ', 0x2615, ' ', 0xD834, 0xDD1E});
    EXPECT_EQ(kIOReturnSuccess, getDescriptor(*m_device, 0x0302, 255, out));
    EXPECT_EQ(product, out);
    EXPECT_EQ(kIOReturnSuccess, getDescriptor(*m_device, 0x0302, 2, out));
    EXPECT_EQ((Bytes{product[0], 3}), out);
    EXPECT_EQ(kIOReturnSuccess, getDescriptor(*m_device, 0x0302, 5, out));
    EXPECT_EQ(Bytes(product.begin(), product.begin() + 5), out);

    EXPECT_EQ(kIOReturnSuccess, getDescriptor(*m_device, 0x0301, 255, out));
    EXPECT_EQ(2u + 2 * std::strlen("Cambridge Silicon Radio"), out.size());
    EXPECT_EQ(kIOReturnSuccess, getDescriptor(*m_device, 0x0303, 255, out));
    EXPECT_EQ(utf16Descriptor({'A', '1', 'B', '2'}), out);

    // An index the device descriptor does not name, and a string the kernel could not read.
    EXPECT_NE(kIOReturnSuccess, getDescriptor(*m_device, 0x0307, 255, out));
    EXPECT_TRUE(out.empty());
    m_sysfs.remove("3-1", "serial");
    EXPECT_NE(kIOReturnSuccess, getDescriptor(*m_device, 0x0303, 255, out));
    EXPECT_TRUE(out.empty());
}

TEST_P(DescriptorFallback, OnlyStandardDescriptorRequestsAreAnswered)
{
    Bytes out;
    EXPECT_NE(kIOReturnSuccess, getDescriptor(*m_device, 0x0100, 18, out, 0xC0));  // vendor request
    EXPECT_TRUE(out.empty());
    EXPECT_NE(kIOReturnSuccess, getDescriptor(*m_device, 0x0F00, 64, out));  // BOS: not kept
    EXPECT_TRUE(out.empty());
}

INSTANTIATE_TEST_SUITE_P(Node, DescriptorFallback, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "RefusesIoctl" : "Missing"; });

TEST(LinuxUsbDevice, OpenIsExclusiveBetweenInterfaces)
{
    FakeSysfs sysfs;
    sysfs.addDevice("1-3", 9);
    const std::string node = sysfs.path("node");
    std::ofstream(node) << "";
    auto service = LinuxUsbService::create(sysfs.path("1-3"), node);
    auto first = deviceInterface(service);
    auto second = deviceInterface(service);
    EXPECT_EQ(kIOReturnNotOpen, first->USBDeviceClose());
    EXPECT_EQ(kIOReturnSuccess, first->USBDeviceOpen());
    EXPECT_EQ(kIOReturnExclusiveAccess, first->USBDeviceOpen());
    EXPECT_EQ(kIOReturnExclusiveAccess, second->USBDeviceOpen());
    EXPECT_EQ(kIOReturnSuccess, first->USBDeviceClose());
    EXPECT_EQ(kIOReturnSuccess, second->USBDeviceOpen());
    second.reset();  // destroying an open interface lets go of the device
    EXPECT_EQ(kIOReturnSuccess, first->USBDeviceOpen());

    auto missing = deviceInterface(LinuxUsbService::create(sysfs.path("1-3"), sysfs.path("missing")));
    EXPECT_NE(kIOReturnSuccess, missing->USBDeviceOpen());
}

TEST(StringDescriptor, BadTextIsReplacedAndLongTextCut)
{
    // A stray continuation byte, a truncated sequence, an overlong '/', an encoded surrogate.
    EXPECT_EQ(utf16Descriptor({'a', 0xFFFD, 'b', 0xFFFD, 'c'}), stringDescriptorFromUtf8("a\x80" "b\xE2\x98" "c"));
    EXPECT_EQ(utf16Descriptor({0xFFFD, 0xFFFD}), stringDescriptorFromUtf8("\xC0\xAF\xED\xA0\x80"));
    EXPECT_EQ(utf16Descriptor({}), stringDescriptorFromUtf8(""));

    const Bytes longest = stringDescriptorFromUtf8(std::string(300, 'x'));
    EXPECT_EQ(254u, longest.size());
    EXPECT_EQ(254, longest[0]);
    // 125 units leave room for one more, not for a pair: the pair is dropped whole.
    const Bytes cut = stringDescriptorFromUtf8(std::string(125, 'x') + "\xF0\x9D\x84\x9E");
    EXPECT_EQ(252u, cut.size());
    EXPECT_EQ(252, cut[0]);
    EXPECT_EQ('x', cut[250]);
}

TEST(SysfsRegistry, DevicesWithTheirInterfacesAndDrivers)
{
    FakeSysfs sysfs;
    sysfs.addDevice("usb1", 1, "xHCI Host Controller");
    sysfs.addDevice("1-10", 5, "");
    sysfs.addDevice("1-2", 3);
    sysfs.write("1-2", "idProduct", "fffe\n");
    sysfs.write("1-2/1-2:1.10", "bInterfaceNumber", "0a\n");
    ASSERT_EQ(0, ::symlink("../../../../bus/usb/drivers/usbfs", sysfs.path("1-2/1-2:1.10/driver").c_str()));
    sysfs.write("1-2/1-2:1.2", "bInterfaceNumber", "02\n");
    sysfs.write("1-2/1-2:1.2", "interface", "DFU\n");
    sysfs.write("1-2/1-2:1.0", "bInterfaceNumber", "00\n");
    ASSERT_EQ(0, ::symlink("../../../../bus/usb/drivers/usbhid", sysfs.path("1-2/1-2:1.0/driver").c_str()));
    sysfs.write("1-2:1.0", "bInterfaceNumber", "00\n");  // the bus directory lists interfaces too
    sysfs.write("stray", "idVendor", "1234\n");

    auto root = sysfsUsbRegistry(sysfs.root());
    ASSERT_TRUE(root);
    EXPECT_NE(kUsbDeviceClassName, root->className());
    const auto devices = root->children();
    ASSERT_EQ(3u, devices.size());

    std::vector<std::string> names;
    for (const auto& device : devices) {
        EXPECT_EQ(kUsbDeviceClassName, device->className());
        std::string name;
        EXPECT_TRUE(device->nameInPlane(name));
        names.push_back(name);
    }
    EXPECT_EQ((std::vector<std::string>{"xHCI Host Controller", "Keyboard", "1-10"}), names);

    std::int64_t value = 0;
    EXPECT_TRUE(devices[1]->numberProperty(kUsbVendorIdKey, value));
    EXPECT_EQ(0x0A12, value);
    EXPECT_TRUE(devices[1]->numberProperty(kUsbProductIdKey, value));
    EXPECT_EQ(0xFFFE, value);
    EXPECT_TRUE(devices[1]->numberProperty(kUsbLocationIdKey, value));
    EXPECT_EQ(0x01200000, value);
    EXPECT_TRUE(devices[0]->numberProperty(kUsbLocationIdKey, value));
    EXPECT_EQ(0x01000000, value);
    EXPECT_FALSE(devices[1]->numberProperty("bogus", value));

    const auto interfaces = devices[1]->children();
    ASSERT_EQ(3u, interfaces.size());
    std::vector<std::string> drivers;
    for (const auto& interface : interfaces) {
        std::string driver;
        drivers.push_back(interface->stringProperty(kUsbBundleIdentifierKey, driver) ? driver : "(none)");
    }
    EXPECT_EQ((std::vector<std::string>{"usbhid", "(none)", "usbfs"}), drivers);
    std::string name;
    EXPECT_TRUE(interfaces[1]->nameInPlane(name));
    EXPECT_EQ("DFU", name);
    EXPECT_TRUE(devices[2]->children().empty());

    EXPECT_FALSE(sysfsUsbRegistry(sysfs.path("absent")));
}

TEST(SysfsRegistry, LeavesOutDevicesThatVanish)
{
    FakeSysfs sysfs;
    sysfs.addDevice("2-1", 2);
    sysfs.addDevice("2-2", 3);
    sysfs.remove("2-1", "idVendor");  // half gone while the tree is built
    auto root = sysfsUsbRegistry(sysfs.root());
    ASSERT_TRUE(root);
    ASSERT_EQ(1u, root->children().size());
    std::int64_t location = 0;
    EXPECT_TRUE(root->children()[0]->numberProperty(kUsbLocationIdKey, location));
    EXPECT_EQ(0x02200000, location);
}

}  // namespace
}  // namespace platform
}  // namespace kel
