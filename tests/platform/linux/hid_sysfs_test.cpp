#include "platform/linux/hid_sysfs.h"
#include "platform/linux/sysfs.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/platform/linux/hid_test_descriptors.h"

namespace kel {
namespace platform {
namespace {

// A scratch sysfs tree in a temporary directory, removed with the test.
class FakeSysfs : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/hid_sysfs_XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        m_root = pattern;
    }
    void TearDown() override { std::system(("rm -rf '" + m_root + "'").c_str()); }

    std::string makeDirectory(const std::string& relative)
    {
        std::string path = m_root;
        std::size_t start = 0;
        while (start < relative.size()) {
            std::size_t slash = relative.find('/', start);
            if (slash == std::string::npos)
                slash = relative.size();
            path += "/" + relative.substr(start, slash - start);
            mkdir(path.c_str(), 0755);
            start = slash + 1;
        }
        return path;
    }
    static void write(const std::string& directory, const char* name, const std::string& contents)
    {
        FILE* file = std::fopen((directory + "/" + name).c_str(), "wb");
        ASSERT_NE(nullptr, file);
        std::fwrite(contents.data(), 1, contents.size(), file);
        std::fclose(file);
    }
    // A USB device as the kernel shows it: hex IDs and a decimal device number, each with a newline.
    std::string makeUsbDevice(const std::string& relative, const char* vendor, const char* product,
                              const char* version, const char* devnum)
    {
        const std::string path = makeDirectory(relative);
        write(path, "idVendor", std::string(vendor) + "\n");
        write(path, "idProduct", std::string(product) + "\n");
        write(path, "bcdDevice", std::string(version) + "\n");
        write(path, "devnum", std::string(devnum) + "\n");
        return path;
    }

    std::string m_root;
};

TEST_F(FakeSysfs, UsbDevicePropertiesAndLocation)
{
    const std::string usb =
        makeUsbDevice("devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2.3", "0a12", "0001", "0100", "5");
    HidMatching properties;
    ASSERT_TRUE(readUsbDeviceProperties(usb, properties));
    EXPECT_EQ(0x0A12, properties[kHidVendorIdKey]);
    EXPECT_EQ(0x0001, properties[kHidProductIdKey]);
    EXPECT_EQ(0x0100, properties[kHidVersionNumberKey]);
    EXPECT_EQ(0x01230000, properties[kHidLocationIdKey]);

    // A root hub's own device has no ports: just the bus.
    HidMatching hub;
    ASSERT_TRUE(readUsbDeviceProperties(makeUsbDevice("devices/usb7", "1d6b", "0002", "0515", "1") + "/", hub));
    EXPECT_EQ(0x07000000, hub[kHidLocationIdKey]);
    EXPECT_EQ(0x0515, hub[kHidVersionNumberKey]);

    // A directory whose name is no USB device name still gives its IDs, but no location.
    HidMatching unnamed;
    ASSERT_TRUE(readUsbDeviceProperties(makeUsbDevice("elsewhere", "ffff", "ffff", "ffff", "2"), unnamed));
    EXPECT_EQ(0xFFFF, unnamed[kHidVendorIdKey]);
    EXPECT_EQ(0u, unnamed.count(kHidLocationIdKey));
}

TEST_F(FakeSysfs, MissingOrMalformedIdsRejectTheDevice)
{
    const char* const badValues[] = {"", "xyz", "0a12x", "-0a1", "+0a1", "10000", "0x0a12"};
    int index = 0;
    for (const char* bad : badValues) {
        const std::string usb = makeUsbDevice("bad" + std::to_string(index++), "0a12", bad, "0100", "3");
        HidMatching properties;
        EXPECT_FALSE(readUsbDeviceProperties(usb, properties)) << '"' << bad << '"';
    }
    const std::string missing = makeDirectory("devices/usb1/1-4");
    write(missing, "idVendor", "0a12\n");
    write(missing, "idProduct", "0001\n");
    HidMatching properties;
    EXPECT_FALSE(readUsbDeviceProperties(missing, properties));  // no bcdDevice

    std::uint32_t value = 0;
    write(missing, "devnum", "12\n");
    EXPECT_TRUE(readSysfsDecimal(missing, "devnum", value));
    EXPECT_EQ(12u, value);
    EXPECT_FALSE(readSysfsDecimal(missing, "absent", value));
}

TEST_F(FakeSysfs, ReportDescriptorGivesSizesAndUsage)
{
    const std::string hid = makeDirectory("devices/usb1/1-2/1-2:1.0/0003:0A12:0001.0001");
    const auto& dfu = testing::kDfuDescriptor;
    write(hid, "report_descriptor", std::string(dfu.begin(), dfu.end()));
    HidMatching properties;
    bool usesReportIds = false;
    ASSERT_TRUE(readReportDescriptorProperties(hid, "", properties, usesReportIds));
    EXPECT_TRUE(usesReportIds);
    EXPECT_EQ(1023, properties[kHidMaxFeatureReportSizeKey]);
    EXPECT_EQ(64, properties[kHidMaxInputReportSizeKey]);
    EXPECT_EQ(64, properties[kHidMaxOutputReportSizeKey]);
    EXPECT_EQ(0xFF00, properties[kHidPrimaryUsagePageKey]);
    EXPECT_EQ(1, properties[kHidPrimaryUsageKey]);

    // Binary contents pass through untouched: the keyboard's trailing 0xC0 and any zero bytes.
    const auto& keyboard = testing::kKeyboardDescriptor;
    write(hid, "report_descriptor", std::string(keyboard.begin(), keyboard.end()));
    properties.clear();
    ASSERT_TRUE(readReportDescriptorProperties(hid, "", properties, usesReportIds));
    EXPECT_FALSE(usesReportIds);
    EXPECT_EQ(8, properties[kHidMaxInputReportSizeKey]);
    EXPECT_EQ(6, properties[kHidPrimaryUsageKey]);

    // Without a usable descriptor nothing is added, so such a device cannot be opened.
    write(hid, "report_descriptor", std::string("\x09\x01\xA1\x01", 4));
    properties.clear();
    EXPECT_FALSE(readReportDescriptorProperties(hid, "", properties, usesReportIds));
    EXPECT_TRUE(properties.empty());
    const std::string bare = makeDirectory("devices/usb1/1-2/1-2:1.1/0003:0A12:0001.0002");
    EXPECT_FALSE(readReportDescriptorProperties(bare, bare + "/no-such-node", properties, usesReportIds));
    EXPECT_TRUE(properties.empty());
}

TEST(HidMatchingRules, EveryKeyMustBePresentAndEqual)
{
    const HidMatching device = {{kHidLocationIdKey, 0}, {kHidVendorIdKey, 0x0A12}, {kHidProductIdKey, 1}};
    EXPECT_TRUE(hidPropertiesMatch({}, device));
    EXPECT_TRUE(hidPropertiesMatch({{kHidLocationIdKey, 0}, {kHidVendorIdKey, 0x0A12}}, device));
    EXPECT_FALSE(hidPropertiesMatch({{kHidLocationIdKey, 0x01200000}}, device));
    EXPECT_FALSE(hidPropertiesMatch({{kHidLocationIdKey, 0}, {kHidPrimaryUsageKey, 1}}, device));  // missing
    EXPECT_FALSE(hidPropertiesMatch({{kHidLocationIdKey, 0}}, {{kHidVendorIdKey, 0x0A12}}));
}

TEST(SysfsPathOrder, NumbersCompareByValue)
{
    std::vector<std::string> paths = {
        "/sys/devices/usb1/1-10/1-10:1.0/hidraw/hidraw3", "/sys/devices/usb1/1-2/1-2:1.10/hidraw/hidraw2",
        "/sys/devices/usb1/1-2/1-2:1.2/hidraw/hidraw9",   "/sys/devices/usb1/1-2/1-2:1.0/hidraw/hidraw11",
        "/sys/devices/usb1/1-2/1-2:1.0/hidraw/hidraw1",   "/sys/devices/usb2/2-1/2-1:1.0/hidraw/hidraw0",
    };
    std::sort(paths.begin(), paths.end(), sysfsPathLess);
    const std::vector<std::string> expected = {
        "/sys/devices/usb1/1-2/1-2:1.0/hidraw/hidraw1",   "/sys/devices/usb1/1-2/1-2:1.0/hidraw/hidraw11",
        "/sys/devices/usb1/1-2/1-2:1.2/hidraw/hidraw9",   "/sys/devices/usb1/1-2/1-2:1.10/hidraw/hidraw2",
        "/sys/devices/usb1/1-10/1-10:1.0/hidraw/hidraw3", "/sys/devices/usb2/2-1/2-1:1.0/hidraw/hidraw0",
    };
    EXPECT_EQ(expected, paths);

    // A strict order even where the numbers only differ in zero padding or length overflows.
    EXPECT_NE(sysfsPathLess("a01", "a1"), sysfsPathLess("a1", "a01"));
    EXPECT_FALSE(sysfsPathLess("a1", "a1"));
    EXPECT_TRUE(sysfsPathLess("x99999999999999999999", "x100000000000000000000"));
}

}  // namespace
}  // namespace platform
}  // namespace kel
