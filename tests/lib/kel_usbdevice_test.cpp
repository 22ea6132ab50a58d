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

std::string convert(const std::u16string& text, std::size_t capacity = 256, bool* complete = nullptr)
{
    std::vector<std::uint8_t> bytes;
    for (char16_t unit : text) {
        bytes.push_back(std::uint8_t(unit));
        bytes.push_back(std::uint8_t(unit >> 8));
    }
    std::vector<char> out(capacity + 1, 'X');
    const bool done = kel_Utf16ToNonLossyAscii(bytes.data(), bytes.size(), out.data(), capacity);
    if (complete)
        *complete = done;
    EXPECT_EQ(out[capacity], 'X') << "wrote past the capacity";
    return out.data();
}

TEST(NonLossyAscii, EscapesEverythingOutsideAsciiAndTheBackslash)
{
    EXPECT_EQ(convert(u"Plain ASCII ~!"), "Plain ASCII ~!");
    EXPECT_EQ(convert(u"K\\1"), "K\\\\1");
    EXPECT_EQ(convert(u"M\u00fcller \u0080\u00ff"), "M\\374ller \\200\\377");
    // Only three controls pass; U+0000 is escaped like the others and the text goes on.
    EXPECT_EQ(convert(u"a\n\r\tb"), "a\n\r\tb");
    EXPECT_EQ(convert(std::u16string(u"a\0b\u0001\u001f\u007f", 6)), "a\\000b\\001\\037\\177");
    EXPECT_EQ(convert(u"\u0100\u2013\uABCD\uffff"), "\\u0100\\u2013\\uabcd\\uffff");
    // Each UTF-16 unit on its own: a pair as two escapes, an unpaired half as one.
    EXPECT_EQ(convert(u"\U0001F600"), "\\ud83d\\ude00");
    EXPECT_EQ(convert(std::u16string(1, char16_t(0xDC00)) + u"a"), "\\udc00a");
}

TEST(NonLossyAscii, CutsOnlyBetweenCharactersAndSaysSo)
{
    bool complete = true;
    EXPECT_EQ(convert(u"ab", 3, &complete), "ab");
    EXPECT_TRUE(complete);
    EXPECT_EQ(convert(u"abc", 3, &complete), "ab");
    EXPECT_FALSE(complete);
    // "a" then a four-byte octal escape that does not fit in what is left.
    EXPECT_EQ(convert(u"a\u00fc", 4, &complete), "a");
    EXPECT_FALSE(complete);
    EXPECT_EQ(convert(u"a\u00fc", 5, &complete), "a");
    EXPECT_FALSE(complete);
    EXPECT_EQ(convert(u"a\u00fc", 6, &complete), "a\\374");
    EXPECT_TRUE(complete);
    EXPECT_EQ(convert(u"\u2013", 6, &complete), "");
    EXPECT_FALSE(complete);

    char untouched = 'X';
    EXPECT_FALSE(kel_Utf16ToNonLossyAscii(reinterpret_cast<const std::uint8_t*>("a\0"), 2, &untouched, 0));
    EXPECT_EQ(untouched, 'X');
}

TEST(NonLossyAscii, DropsAnOddLastByte)
{
    const std::uint8_t bytes[] = {'h', 0, 'i', 0, 0xFC};
    char out[16];
    EXPECT_FALSE(kel_Utf16ToNonLossyAscii(bytes, sizeof bytes, out, sizeof out));
    EXPECT_STREQ(out, "hi");
    EXPECT_FALSE(kel_Utf16ToNonLossyAscii(bytes, 1, out, sizeof out));
    EXPECT_STREQ(out, "");
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
    unsigned short product = 0;
    EXPECT_EQ(device.GetDeviceProduct(&product), kIOReturnSuccess);
    EXPECT_EQ(product, 0x1004);

    EXPECT_EQ(device.bind(0x0A12, 0x1004, 0x01300000), kIOReturnNotFound);
    EXPECT_FALSE(device.isBound());
    EXPECT_EQ(device.bindLocation(0x01300000), kIOReturnSuccess);
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
    UsbDevice device;
    std::uint8_t descriptor[18] = {};
    EXPECT_EQ(device.getDescriptor(descriptor, sizeof descriptor, 1, 0), kIOReturnNotAttached);
    EXPECT_FALSE(device.isConfigured());

    ASSERT_EQ(device.bindLocation(0x01200000), kIOReturnSuccess);
    ASSERT_EQ(device.getDescriptor(descriptor, sizeof descriptor, 1, 0), kIOReturnSuccess);
    EXPECT_EQ(descriptor[0], 18);
    EXPECT_EQ(descriptor[1], 1);
    EXPECT_EQ(descriptor[4], 0xFF);
    EXPECT_EQ(descriptor[8] | descriptor[9] << 8, 0x0A12);
    EXPECT_EQ(descriptor[12] | descriptor[13] << 8, 0x0105);
    EXPECT_EQ(descriptor[15], 2);
    EXPECT_FALSE(device.isConfigured());

    plug(widget(0x01300000));
    ASSERT_EQ(device.bindLocation(0x01300000), kIOReturnSuccess);
    EXPECT_TRUE(device.isConfigured());
}

TEST_F(UsbDeviceTest, ChoosesTheDevicesFirstLanguageOrUsEnglish)
{
    auto config = widget(0x01);
    config.languages = {0x0407, 0x0409};
    plug(config);
    config = widget(0x02);
    config.languages = {};  // string descriptor 0 stalls
    plug(config);
    config = widget(0x03);
    config.languages = {};
    // Claims two languages and sends only its header.
    plug(config)->setRawString(0, 0x0000, {6, 3});
    config = widget(0x04);
    config.languages = {0x0c0a};
    plug(config);

    UsbDevice device;
    EXPECT_EQ(device.chooseStringDescriptorLanguageId(), 0);
    ASSERT_EQ(device.bindLocation(0x01), kIOReturnSuccess);
    EXPECT_EQ(device.chooseStringDescriptorLanguageId(), 0x0407);
    ASSERT_EQ(device.bindLocation(0x02), kIOReturnSuccess);
    EXPECT_EQ(device.chooseStringDescriptorLanguageId(), 0x0409);
    ASSERT_EQ(device.bindLocation(0x03), kIOReturnSuccess);
    EXPECT_EQ(device.chooseStringDescriptorLanguageId(), 0x0409);
    ASSERT_EQ(device.bindLocation(0x04), kIOReturnSuccess);
    EXPECT_EQ(device.chooseStringDescriptorLanguageId(), 0x0c0a);
}

TEST_F(UsbDeviceTest, ReadsStringsInTheGivenLanguage)
{
    auto emulated = plug(widget());
    emulated->setString(2, 0x0409, u"M\u00fcller \u2013 K\\1 \U0001F600");
    emulated->setString(2, 0x0407, u"Deutsch");
    emulated->setString(3, 0x0409, u"");

    UsbDevice device;
    std::string text = "stale";
    EXPECT_EQ(device.getStringDescriptor(text, 2, 0x0409), kIOReturnNotAttached);
    ASSERT_EQ(device.bindLocation(0x01200000), kIOReturnSuccess);
    ASSERT_EQ(device.getStringDescriptor(text, 2, 0x0409), kIOReturnSuccess);
    EXPECT_EQ(text, "M\\374ller \\u2013 K\\\\1 \\ud83d\\ude00");
    ASSERT_EQ(device.getStringDescriptor(text, 2, 0x0407), kIOReturnSuccess);
    EXPECT_EQ(text, "Deutsch");
    ASSERT_EQ(device.getStringDescriptor(text, 3, 0x0409), kIOReturnSuccess);
    EXPECT_EQ(text, "");
    text = "stale";
    EXPECT_NE(device.getStringDescriptor(text, 9, 0x0409), kIOReturnSuccess);
    EXPECT_EQ(text, "");
}

TEST_F(UsbDeviceTest, TrustsOnlyTheBytesTheDeviceSent)
{
    auto emulated = plug(widget());
    // bLength says 40; only "Hi" follows.
    emulated->setRawString(1, 0x0409, {40, 3, 'H', 0, 'i', 0});
    // An odd length: the half unit at the end is dropped.
    emulated->setRawString(2, 0x0409, {5, 3, 'O', 0, 'K'});
    emulated->setRawString(3, 0x0409, {1});
    emulated->setRawString(4, 0x0409, {0, 3, 'x', 0});
    emulated->setRawString(5, 0x0409, {2, 3, 'x', 0});
    // The longest a descriptor can say it is: 253 UTF-16 units of 'e' with an accent, whose
    // escapes need far more room than the text has.
    std::vector<std::uint8_t> longest{255, 3};
    for (int i = 0; i < 253; ++i) {
        longest.push_back(0xE9);
        longest.push_back(0);
    }
    emulated->setRawString(6, 0x0409, longest);

    UsbDevice device;
    ASSERT_EQ(device.bindLocation(0x01200000), kIOReturnSuccess);
    std::string text;
    ASSERT_EQ(device.getStringDescriptor(text, 1, 0x0409), kIOReturnSuccess);
    EXPECT_EQ(text, "Hi");
    ASSERT_EQ(device.getStringDescriptor(text, 2, 0x0409), kIOReturnSuccess);
    EXPECT_EQ(text, "O");
    EXPECT_EQ(device.getStringDescriptor(text, 3, 0x0409), kIOReturnUnderrun);
    ASSERT_EQ(device.getStringDescriptor(text, 4, 0x0409), kIOReturnSuccess);
    EXPECT_EQ(text, "");
    ASSERT_EQ(device.getStringDescriptor(text, 5, 0x0409), kIOReturnSuccess);
    EXPECT_EQ(text, "");
    ASSERT_EQ(device.getStringDescriptor(text, 6, 0x0409), kIOReturnSuccess);
    ASSERT_EQ(text.size(), 252u);  // 63 whole escapes of four bytes
    for (std::size_t i = 0; i < text.size(); i += 4)
        EXPECT_EQ(text.substr(i, 4), "\\351");
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

    std::string name = "stale";
    std::list<std::string> drivers{"stale"};
    ASSERT_EQ(UsbDevice::getDriverInfo(name, drivers, 0x0A12, 0x1004, 0x01200000), kIOReturnSuccess);
    EXPECT_EQ(name, "CSR Widget");
    EXPECT_EQ(drivers, (std::list<std::string>{"org.kernel.usbhid", "org.kernel.btusb"}));

    ASSERT_EQ(UsbDevice::getDriverInfo(name, drivers, 0x0A12, 0x1004, 0x01300000), kIOReturnSuccess);
    EXPECT_EQ(name, "");
    EXPECT_TRUE(drivers.empty());

    // All three must match.
    name = "stale";
    drivers = {"stale"};
    EXPECT_EQ(UsbDevice::getDriverInfo(name, drivers, 0x0A12, 0x1005, 0x01200000), kIOReturnNotFound);
    EXPECT_EQ(name, "");
    EXPECT_TRUE(drivers.empty());
    EXPECT_EQ(UsbDevice::getDriverInfo(name, drivers, 0x0A13, 0x1004, 0x01200000), kIOReturnNotFound);
    EXPECT_EQ(UsbDevice::getDriverInfo(name, drivers, 0x0A12, 0x1004, 0x01200001), kIOReturnNotFound);

    UsbDevice device;
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
    EXPECT_STREQ(UsbDevice::lookupVendorName(0x0000), "Unknown Vendor");
    EXPECT_STREQ(UsbDevice::lookupVendorName(0xFFF0), "Unknown Vendor");
    EXPECT_STREQ(UsbDevice::lookupVendorName(0x10A12), "Unknown Vendor");

    // The first and last rows, and the fallbacks.
    EXPECT_STREQ(UsbDevice::lookupClassName(0x00), "n/a - defined at Interface level");
    EXPECT_STREQ(UsbDevice::lookupClassName(0xFF), "Vendor Specific Class");
    EXPECT_STREQ(UsbDevice::lookupClassName(0x04), "Unknown Class");
    EXPECT_STREQ(UsbDevice::lookupSpeedName(0), "Low");
    EXPECT_STREQ(UsbDevice::lookupSpeedName(3), "Unknown Speed");
}

TEST(UsbNames, VendorRowsAreAscendingWithOneRowPerId)
{
    struct Row {
        unsigned id;
        const char* name;
    };
    const Row rows[] = {
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
