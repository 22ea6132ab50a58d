#include "lib/kel_usbdevice.h"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/fake_usb.h"

namespace kel {
namespace {

using platform::EmulatedUsbBus;
using platform::EmulatedUsbDevice;
using platform::EmulatedUsbDeviceConfig;

std::string repeat(const std::string& text, std::size_t times)
{
    std::string out;
    while (times-- > 0)
        out += text;
    return out;
}

// Only ' '..'~' (not the backslash), \n, \r and \t pass; below U+0100 is \ooo, above \uxxxx per
// UTF-16 unit; a cut never splits an escape, and an odd last byte is dropped.
TEST(NonLossyAscii, Table)
{
    const struct {
        std::u16string text;
        std::size_t capacity;
        const char* expected;
        bool complete;
        bool oddByte;  // the last byte of the text is missing
    } cases[] = {
        {u"Plain ASCII ~!", 256, "Plain ASCII ~!", true, false},
        {u"K\\1", 256, "K\\\\1", true, false},
        {u"M\u00fcller \u0080\u00ff", 256, "M\\374ller \\200\\377", true, false},
        {u"a\n\r\tb", 256, "a\n\r\tb", true, false},
        {std::u16string(u"a\0b\u0001\u001f\u007f", 6), 256, "a\\000b\\001\\037\\177", true, false},
        {u"\u0100\u2013\uABCD\uffff", 256, "\\u0100\\u2013\\uabcd\\uffff", true, false},
        {u"\U0001F600", 256, "\\ud83d\\ude00", true, false},
        {{char16_t(0xDC00), u'a'}, 256, "\\udc00a", true, false},
        {u"ab", 3, "ab", true, false},
        {u"abc", 3, "ab", false, false},
        {u"a\u00fc", 4, "a", false, false},
        {u"a\u00fc", 5, "a", false, false},
        {u"a\u00fc", 6, "a\\374", true, false},
        {u"\u2013", 6, "", false, false},
        {u"hi\u00fc", 16, "hi", false, true},
        {u"a", 16, "", false, true},
    };
    for (const auto& c : cases) {
        std::vector<std::uint8_t> bytes;
        for (char16_t unit : c.text)
            bytes.insert(bytes.end(), {std::uint8_t(unit), std::uint8_t(unit >> 8)});
        if (c.oddByte)
            bytes.pop_back();
        std::vector<char> out(c.capacity + 1, 'X');
        EXPECT_EQ(c.complete, kel_Utf16ToNonLossyAscii(bytes.data(), bytes.size(), out.data(), c.capacity))
            << c.expected;
        EXPECT_STREQ(c.expected, out.data());
        EXPECT_EQ('X', out[c.capacity]) << "wrote past the capacity: " << c.expected;
    }
    char untouched = 'X';
    EXPECT_FALSE(kel_Utf16ToNonLossyAscii(reinterpret_cast<const std::uint8_t*>("a\0"), 2, &untouched, 0));
    EXPECT_EQ(untouched, 'X');
}

class UsbDeviceTest : public ::testing::Test {
protected:
    std::shared_ptr<EmulatedUsbDevice> plug(EmulatedUsbDeviceConfig config)
    {
        auto device = EmulatedUsbDevice::create(std::move(config));
        bus.attach(device);
        return device;
    }

    static EmulatedUsbDeviceConfig widget(std::uint32_t location = 0x01200000)
    {
        EmulatedUsbDeviceConfig config;
        config.idVendor = 0x0A12;
        config.idProduct = 0x1004;
        config.bcdDevice = 0x0105;
        config.locationId = location;
        config.deviceClass = 0xFF;
        config.productIndex = 2;
        config.name = "CSR Widget";
        config.drivers = {"org.kernel.usbhid", "", "org.kernel.btusb"};
        return config;
    }

    EmulatedUsbBus bus;
    platform::ScopedUsbBackend backend{bus};
};

TEST_F(UsbDeviceTest, BindsByVendorProductAndLocation)
{
    plug(widget(0x01100000));
    auto wanted = plug(widget(0x01200000));
    auto config = widget(0x01300000);
    config.idProduct = 0x2000;
    plug(config);

    UsbDevice device;
    ASSERT_EQ(device.bind(0x0A12, 0x1004, 0x01200000), kIOReturnSuccess);
    EXPECT_TRUE(device.isBound());
    EXPECT_FALSE(device.isOpen());
    EXPECT_EQ(device.service(), wanted);

    EXPECT_EQ(device.bind(0x0A12, 0x1004, 0x01300000), kIOReturnNotFound);
    EXPECT_FALSE(device.isBound());
    EXPECT_EQ(device.bindLocation(0x01300000), kIOReturnSuccess);
    unsigned short product = 0;
    EXPECT_EQ(device.GetDeviceProduct(&product), kIOReturnSuccess);
    EXPECT_EQ(product, 0x2000);
    EXPECT_EQ(device.bind(UsbIdentifier(0x0A12, 0x2000, 0x01100000)), kIOReturnNotFound);

    EXPECT_EQ(device.bindService(nullptr), kIOReturnNoDevice);
    EXPECT_FALSE(device.isBound());
    EXPECT_EQ(device.bindService(wanted), kIOReturnSuccess);
    EXPECT_EQ(device.service(), wanted);
}

TEST_F(UsbDeviceTest, OpenIsExclusiveAndCloseReleasesIt)
{
    auto emulated = plug(widget());
    UsbDevice first;
    auto second = std::make_unique<UsbDevice>();
    ASSERT_EQ(first.open(0x0A12, 0x1004, 0x01200000), kIOReturnSuccess);
    EXPECT_TRUE(first.isOpen());
    EXPECT_TRUE(emulated->isOpen());

    EXPECT_EQ(second->openLocation(0x01200000), kIOReturnExclusiveAccess);
    EXPECT_FALSE(second->isOpen());
    EXPECT_FALSE(second->isBound());

    first.close();
    EXPECT_FALSE(first.isBound());
    EXPECT_FALSE(emulated->isOpen());
    EXPECT_EQ(second->open(UsbIdentifier(0x0A12, 0x1004, 0x01200000)), kIOReturnSuccess);

    second.reset();  // destruction closes too
    EXPECT_FALSE(emulated->isOpen());
    EXPECT_EQ(first.open(0x0A12, 0x1004, 0x01200000), kIOReturnSuccess);

    bus.detach(emulated);
    UsbDevice gone;
    EXPECT_EQ(gone.bindService(emulated), kIOReturnNoDevice);
    EXPECT_FALSE(gone.isBound());
}

TEST_F(UsbDeviceTest, ReadsDescriptorsAndConfiguration)
{
    auto config = widget();
    config.configuration = 0;
    plug(config);
    plug(widget(0x01300000));
    UsbDevice device;
    std::uint8_t descriptor[18] = {};
    EXPECT_EQ(device.getDescriptor(descriptor, sizeof descriptor, 1, 0), kIOReturnNotAttached);
    EXPECT_FALSE(device.isConfigured());

    ASSERT_EQ(device.bindLocation(0x01200000), kIOReturnSuccess);
    ASSERT_EQ(device.getDescriptor(descriptor, sizeof descriptor, 1, 0), kIOReturnSuccess);
    EXPECT_EQ(std::vector<std::uint8_t>(descriptor, descriptor + 16),
              (std::vector<std::uint8_t>{18, 1, 0x00, 0x02, 0xFF, 0, 0, 64, 0x12, 0x0A, 0x04, 0x10, 0x05, 0x01, 0, 2}));
    EXPECT_FALSE(device.isConfigured());
    ASSERT_EQ(device.bindLocation(0x01300000), kIOReturnSuccess);
    EXPECT_TRUE(device.isConfigured());
}

// One device per row, at location row + 1: the language chosen from its string descriptor 0,
// and what is made of string 1 in that language when the device sends these bytes (none: it stalls).
TEST_F(UsbDeviceTest, StringDescriptorTable)
{
    std::vector<std::uint8_t> longest{255, 3};  // 253 units, whose escapes need far more room
    for (int i = 0; i < 253; ++i)
        longest.insert(longest.end(), {0xE9, 0});
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
        {{0x0409}, {}, 0x0409, longest, kIOReturnSuccess, repeat("\\351", 63)},
        {{0x0409}, {}, 0x0409, {}, kIOReturnError, ""},  // any failure
    };
    UsbDevice device;
    std::string text;
    EXPECT_EQ(device.chooseStringDescriptorLanguageId(), 0);
    EXPECT_EQ(device.getStringDescriptor(text, 1, 0x0409), kIOReturnNotAttached);
    std::uint32_t location = 0;
    for (const auto& c : cases) {
        auto config = widget(++location);
        config.languages = c.languages;
        auto emulated = plug(config);
        if (!c.header.empty())
            emulated->setRawString(0, 0, c.header);
        if (!c.string.empty())
            emulated->setRawString(1, c.language, c.string);
        ASSERT_EQ(device.bindLocation(location), kIOReturnSuccess);
        EXPECT_EQ(device.chooseStringDescriptorLanguageId(), c.language) << location;
        text = "stale";
        const IOReturn result = device.getStringDescriptor(text, 1, c.language);
        EXPECT_TRUE(c.string.empty() ? result != kIOReturnSuccess : result == c.result) << location << ": " << result;
        EXPECT_EQ(text, c.text) << location;
    }
}

TEST_F(UsbDeviceTest, ADeviceThatLeavesMidReadIsAnError)
{
    auto emulated = plug(widget());
    emulated->setString(2, 0x0409, u"Widget");
    emulated->detachAfterRequests(1);  // answers the length, then leaves

    UsbDevice device;
    ASSERT_EQ(device.bindLocation(0x01200000), kIOReturnSuccess);
    std::string text = "stale";
    EXPECT_EQ(device.getStringDescriptor(text, 2, 0x0409), kIOReturnNoDevice);
    EXPECT_EQ(text, "");
    EXPECT_TRUE(emulated->isTerminated());
    EXPECT_EQ(device.chooseStringDescriptorLanguageId(), 0x0409);
    EXPECT_FALSE(device.isConfigured());
    unsigned short vendor = 0;
    EXPECT_NE(device.GetDeviceVendor(&vendor), kIOReturnSuccess);
}

TEST_F(UsbDeviceTest, FindsTheDeviceNameAndItsInterfacesDrivers)
{
    auto emulated = plug(widget());
    auto config = widget(0x01300000);
    config.name.clear();
    config.drivers = {"", ""};
    plug(config);

    const auto lookUp = [](std::uint16_t vendor, std::uint16_t product, std::uint32_t location,
                           IOReturn result, const char* name, std::list<std::string> drivers) {
        std::string foundName = "stale";
        std::list<std::string> found{"stale"};
        EXPECT_EQ(UsbDevice::getDriverInfo(foundName, found, vendor, product, location), result) << location;
        EXPECT_EQ(foundName, name);
        EXPECT_EQ(found, drivers);
    };
    lookUp(0x0A12, 0x1004, 0x01200000, kIOReturnSuccess, "CSR Widget", {"org.kernel.usbhid", "org.kernel.btusb"});
    lookUp(0x0A12, 0x1004, 0x01300000, kIOReturnSuccess, "", {});
    // All three must match.
    lookUp(0x0A12, 0x1005, 0x01200000, kIOReturnNotFound, "", {});
    lookUp(0x0A13, 0x1004, 0x01200000, kIOReturnNotFound, "", {});
    lookUp(0x0A12, 0x1004, 0x01200001, kIOReturnNotFound, "", {});

    UsbDevice device;
    std::string name;
    std::list<std::string> drivers;
    EXPECT_EQ(device.getDriverInfo(name, drivers), kIOReturnNotAttached);
    ASSERT_EQ(device.bindService(emulated), kIOReturnSuccess);
    ASSERT_EQ(device.getDriverInfo(name, drivers), kIOReturnSuccess);
    EXPECT_EQ(name, "CSR Widget");
    EXPECT_EQ(drivers.size(), 2u);
}

TEST(UsbNames, LooksUpVendorsClassesAndSpeeds)
{
    EXPECT_STREQ(UsbDevice::lookupVendorName(0x0A12), "Cambridge Silicon Radio, Ltd");
    EXPECT_STREQ(UsbDevice::lookupVendorName(0x0001), "Fry's Electronics");
    EXPECT_STREQ(UsbDevice::lookupVendorName(0xFFEE), "FNK Tech");
    for (unsigned unknown : {0x0000u, 0xFFF0u, 0x10A12u})
        EXPECT_STREQ(UsbDevice::lookupVendorName(unknown), "Unknown Vendor");
    // The first and last rows, and the fallbacks.
    EXPECT_STREQ(UsbDevice::lookupClassName(0x00), "n/a - defined at Interface level");
    EXPECT_STREQ(UsbDevice::lookupClassName(0xFF), "Vendor Specific Class");
    EXPECT_STREQ(UsbDevice::lookupClassName(0x04), "Unknown Class");
    EXPECT_STREQ(UsbDevice::lookupSpeedName(0), "Low");
    EXPECT_STREQ(UsbDevice::lookupSpeedName(3), "Unknown Speed");
}

TEST(UsbNames, VendorRowsAreAscendingWithOneRowPerId)
{
    const struct {
        unsigned id;
        const char* name;
    } rows[] = {
#include "lib/kel_usbvendors.inc"
    };
    ASSERT_GT(sizeof rows / sizeof rows[0], 1000u);
    for (std::size_t i = 1; i < sizeof rows / sizeof rows[0]; ++i) {
        EXPECT_LT(rows[i - 1].id, rows[i].id) << rows[i].name;
        EXPECT_NE(std::strlen(rows[i].name), 0u);
    }
}

}  // namespace
}  // namespace kel
