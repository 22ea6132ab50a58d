// No command binds, opens or asks the registry about a device, so this is where those are
// proven. The 7-bit escape rule is a property of fuzz/usbstring_fuzz.cpp; the strings and names of
// listed devices are proven through the binary (tests/blackbox/test_devices.py).
#include "lib/kel_usbdevice.h"

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/fake_usb.h"

namespace kel {
namespace {

using platform::EmulatedUsbDevice;
using platform::EmulatedUsbDeviceConfig;
using platform::UsbRegistryEntry;

// A registry node: the root, a device, or an interface naming its driver.
struct Entry final : UsbRegistryEntry {
    Entry(std::string kind, std::string plane, std::string bundle = "")
        : className_(std::move(kind)), name(std::move(plane)), driver(std::move(bundle))
    {
    }
    std::string className() override { return className_; }
    bool nameInPlane(std::string& value) override { return !(value = name).empty(); }
    bool numberProperty(const std::string& key, std::int64_t& value) override
    {
        const auto found = numbers.find(key);
        return found != numbers.end() && (value = found->second, true);
    }
    bool stringProperty(const std::string& key, std::string& value) override
    {
        return key == platform::kUsbBundleIdentifierKey && !driver.empty() && (value = driver, true);
    }
    std::vector<std::shared_ptr<UsbRegistryEntry>> children() override { return nodes; }

    const std::string className_, name, driver;
    std::map<std::string, std::int64_t> numbers;
    std::vector<std::shared_ptr<UsbRegistryEntry>> nodes;
};

// A CSR device node with one interface per driver ("": an interface without one).
std::shared_ptr<UsbRegistryEntry> deviceNode(std::uint32_t location, const char* name, std::vector<const char*> drivers)
{
    auto device = std::make_shared<Entry>(platform::kUsbDeviceClassName, name);
    device->numbers = {{platform::kUsbVendorIdKey, 0x0A12}, {platform::kUsbProductIdKey, 0x1004},
                       {platform::kUsbLocationIdKey, location}};
    for (const char* driver : drivers)
        device->nodes.push_back(std::make_shared<Entry>("IOUSBInterface", "interface", driver));
    return device;
}

class UsbDeviceTest : public ::testing::Test {
protected:
    std::shared_ptr<EmulatedUsbDevice> plug(std::uint32_t location, std::uint16_t product = 0x1004,
                                            std::uint8_t configuration = 1)
    {
        EmulatedUsbDeviceConfig config;
        config.idVendor = 0x0A12;
        config.idProduct = product;
        config.bcdDevice = 0x0105;
        config.locationId = location;
        config.deviceClass = 0xFF;
        config.configuration = configuration;
        config.productIndex = 2;
        auto device = std::make_shared<EmulatedUsbDevice>(config);
        bus.attach(device);
        return device;
    }

    platform::EmulatedUsbBus bus;
    platform::ScopedUsbBackend backend{bus};
};

TEST_F(UsbDeviceTest, BindsByAllThreeIdsAndReadsDescriptors)
{
    plug(0x01100000);
    auto wanted = plug(0x01200000, 0x1004, 0);
    plug(0x01300000, 0x2000);
    UsbDevice device;
    std::uint8_t descriptor[18] = {};
    EXPECT_EQ(device.getDescriptor(descriptor, sizeof descriptor, 1, 0), kIOReturnNotAttached);
    EXPECT_FALSE(device.isConfigured());

    ASSERT_EQ(device.bind(0x0A12, 0x1004, 0x01200000), kIOReturnSuccess);
    EXPECT_EQ(device.service(), wanted);
    EXPECT_FALSE(device.isOpen());
    ASSERT_EQ(device.getDescriptor(descriptor, sizeof descriptor, 1, 0), kIOReturnSuccess);
    EXPECT_EQ(std::vector<std::uint8_t>(descriptor, descriptor + 16),
              (std::vector<std::uint8_t>{18, 1, 0x00, 0x02, 0xFF, 0, 0, 64, 0x12, 0x0A, 0x04, 0x10, 0x05, 0x01, 0, 2}));
    EXPECT_FALSE(device.isConfigured());

    EXPECT_EQ(device.bind(0x0A12, 0x1004, 0x01300000), kIOReturnNotFound);
    EXPECT_FALSE(device.isBound());
    EXPECT_EQ(device.bind(UsbIdentifier(0x0A12, 0x2000, 0x01100000)), kIOReturnNotFound);
    ASSERT_EQ(device.bindLocation(0x01300000), kIOReturnSuccess);  // any vendor and product
    unsigned short product = 0;
    EXPECT_EQ(device.GetDeviceProduct(&product), kIOReturnSuccess);
    EXPECT_EQ(product, 0x2000);
    EXPECT_TRUE(device.isConfigured());

    EXPECT_EQ(device.bindService(nullptr), kIOReturnNoDevice);
    EXPECT_FALSE(device.isBound());
    bus.detach(wanted);
    EXPECT_EQ(device.bindService(wanted), kIOReturnNoDevice);
    EXPECT_FALSE(device.isBound());
}

TEST_F(UsbDeviceTest, OpenIsExclusiveAndCloseReleasesIt)
{
    auto emulated = plug(0x01200000);
    UsbDevice first;
    auto second = std::make_unique<UsbDevice>();
    ASSERT_EQ(first.open(0x0A12, 0x1004, 0x01200000), kIOReturnSuccess);
    EXPECT_TRUE(first.isOpen() && emulated->open);

    EXPECT_EQ(second->openLocation(0x01200000), kIOReturnExclusiveAccess);
    EXPECT_FALSE(second->isOpen() || second->isBound());

    first.close();
    EXPECT_FALSE(first.isBound() || emulated->open);
    EXPECT_EQ(second->open(UsbIdentifier(0x0A12, 0x1004, 0x01200000)), kIOReturnSuccess);
    second.reset();  // destruction closes too
    EXPECT_FALSE(emulated->open);
    EXPECT_EQ(first.open(0x0A12, 0x1004, 0x01200000), kIOReturnSuccess);
}

// One device per row, at location row + 1: the language chosen from its string descriptor 0, and
// what is made of string 1 in that language when the device sends these bytes (none: it stalls).
TEST_F(UsbDeviceTest, StringDescriptorTable)
{
    std::vector<std::uint8_t> longest{255, 3};  // 253 units, whose escapes need far more room
    for (int i = 0; i < 253; ++i)
        longest.insert(longest.end(), {0xE9, 0});
    std::string escapes;
    for (int i = 0; i < 63; ++i)
        escapes += "\\351";
    const struct {
        std::vector<std::uint16_t> languages;  // empty: descriptor 0 stalls, or is `header`
        std::vector<std::uint8_t> header;
        std::uint16_t language;
        std::vector<std::uint8_t> string;
        IOReturn result;
        std::string text;
    } cases[] = {
        {{0x0407, 0x0409}, {}, 0x0407, {8, 3, 'D', 0, 'e', 0, 'u', 0}, kIOReturnSuccess, "Deu"},
        {{}, {}, 0x0409, {4, 3, 'x', 0}, kIOReturnSuccess, "x"},
        {{}, {6, 3}, 0x0409, {4, 3, 'x', 0}, kIOReturnSuccess, "x"},  // claims two languages, sends none
        {{0x0c0a}, {}, 0x0c0a, {4, 3, 'x', 0}, kIOReturnSuccess, "x"},
        {{0x0409}, {}, 0x0409, {40, 3, 'H', 0, 'i', 0}, kIOReturnSuccess, "Hi"},  // bLength beyond the transfer
        {{0x0409}, {}, 0x0409, {5, 3, 'O', 0, 'K'}, kIOReturnSuccess, "O"},       // half a unit dropped
        {{0x0409}, {}, 0x0409, {1}, kIOReturnUnderrun, ""},
        {{0x0409}, {}, 0x0409, {0, 3, 'x', 0}, kIOReturnSuccess, ""},
        {{0x0409}, {}, 0x0409, {2, 3, 'x', 0}, kIOReturnSuccess, ""},
        {{0x0409}, {}, 0x0409, longest, kIOReturnSuccess, escapes},
        {{0x0409}, {}, 0x0409, {}, kIOReturnError, ""},  // any failure
    };
    UsbDevice device;
    std::string text;
    EXPECT_EQ(device.chooseStringDescriptorLanguageId(), 0);
    EXPECT_EQ(device.getStringDescriptor(text, 1, 0x0409), kIOReturnNotAttached);
    std::uint32_t location = 0;
    for (const auto& c : cases) {
        platform::EmulatedUsbDeviceConfig config;
        config.locationId = ++location;
        config.languages = c.languages;
        auto emulated = std::make_shared<EmulatedUsbDevice>(config);
        emulated->strings[{0, 0}] = c.header;
        emulated->strings[{1, c.language}] = c.string;
        bus.attach(emulated);
        ASSERT_EQ(device.bindLocation(location), kIOReturnSuccess);
        EXPECT_EQ(device.chooseStringDescriptorLanguageId(), c.language) << location;
        text = "stale";
        const IOReturn result = device.getStringDescriptor(text, 1, c.language);
        EXPECT_TRUE(c.string.empty() ? result != kIOReturnSuccess : result == c.result) << location << ": " << result;
        EXPECT_EQ(text, c.text) << location;
    }
    // A device that answers the length and then fails: the failure, and no text.
    auto leaving = plug(0x01200000);
    leaving->setString(2, 0x0409, u"Widget");
    leaving->requestsLeft = 1;
    ASSERT_EQ(device.bindLocation(0x01200000), kIOReturnSuccess);
    text = "stale";
    EXPECT_EQ(device.getStringDescriptor(text, 2, 0x0409), kIOReturnNoDevice);
    EXPECT_EQ(text, "");
}

TEST_F(UsbDeviceTest, FindsTheDeviceNameAndItsInterfacesDrivers)
{
    auto emulated = plug(0x01200000);
    auto root = std::make_shared<Entry>("IORegistryEntry", "Root");
    root->nodes = {deviceNode(0x01200000, "CSR Widget", {"org.kernel.usbhid", "", "org.kernel.btusb"}),
                   deviceNode(0x01300000, "", {"", ""})};
    bus.registry = root;
    const struct {
        std::uint16_t vendor, product;
        std::uint32_t location;
        IOReturn result;
        const char* name;
        std::list<std::string> drivers;
    } cases[] = {
        {0x0A12, 0x1004, 0x01200000, kIOReturnSuccess, "CSR Widget", {"org.kernel.usbhid", "org.kernel.btusb"}},
        {0x0A12, 0x1004, 0x01300000, kIOReturnSuccess, "", {}},
        // All three must match.
        {0x0A12, 0x1005, 0x01200000, kIOReturnNotFound, "", {}},
        {0x0A13, 0x1004, 0x01200000, kIOReturnNotFound, "", {}},
        {0x0A12, 0x1004, 0x01200001, kIOReturnNotFound, "", {}},
    };
    for (const auto& c : cases) {
        std::string name = "stale";
        std::list<std::string> drivers{"stale"};
        EXPECT_EQ(UsbDevice::getDriverInfo(name, drivers, c.vendor, c.product, c.location), c.result) << c.location;
        EXPECT_EQ(name, c.name);
        EXPECT_EQ(drivers, c.drivers);
    }
    UsbDevice device;
    std::string name;
    std::list<std::string> drivers;
    EXPECT_EQ(device.getDriverInfo(name, drivers), kIOReturnNotAttached);
    ASSERT_EQ(device.bindService(emulated), kIOReturnSuccess);
    ASSERT_EQ(device.getDriverInfo(name, drivers), kIOReturnSuccess);
    EXPECT_EQ(name, "CSR Widget");
    EXPECT_EQ(drivers.size(), 2u);
}

// The vendor names the binary prints are proven through it; the class and speed tables have no
// caller there.
TEST(UsbNames, TablesAndTheirFallbacks)
{
    EXPECT_STREQ(UsbDevice::lookupVendorName(0x0001), "Fry's Electronics");
    EXPECT_STREQ(UsbDevice::lookupVendorName(0xFFEE), "FNK Tech");
    for (unsigned unknown : {0x0000u, 0xFFF0u, 0x10A12u})
        EXPECT_STREQ(UsbDevice::lookupVendorName(unknown), "Unknown Vendor");
    EXPECT_STREQ(UsbDevice::lookupClassName(0x00), "n/a - defined at Interface level");
    EXPECT_STREQ(UsbDevice::lookupClassName(0xFF), "Vendor Specific Class");
    EXPECT_STREQ(UsbDevice::lookupClassName(0x04), "Unknown Class");
    EXPECT_STREQ(UsbDevice::lookupSpeedName(0), "Low");
    EXPECT_STREQ(UsbDevice::lookupSpeedName(3), "Unknown Speed");

    const struct {
        unsigned id;
        const char* name;
    } rows[] = {
#include "lib/kel_usbvendors.inc"
    };
    ASSERT_GT(sizeof rows / sizeof rows[0], 1000u);
    for (std::size_t i = 1; i < sizeof rows / sizeof rows[0]; ++i) {
        EXPECT_LT(rows[i - 1].id, rows[i].id) << rows[i].name;  // ascending, one row per ID
        EXPECT_NE(std::strlen(rows[i].name), 0u);
    }
}

}  // namespace
}  // namespace kel
