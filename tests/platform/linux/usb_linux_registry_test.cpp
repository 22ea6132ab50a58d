#include "platform/linux/usb_linux_registry.h"

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "tests/support/test_util.h"

namespace kel {
namespace platform {
namespace {

// The driver look-up's tree, which no command reaches: devices in bus order below the root,
// named by product (else their sysfs name), interfaces by number with their drivers.
TEST(SysfsRegistry, DevicesInBusOrderWithTheirInterfacesAndDrivers)
{
    namespace fs = std::filesystem;
    const testing::TempDir dir;
    const std::string root = dir.path();
    const auto write = [&](const std::string& directory, const char* attribute, const char* contents) {
        fs::create_directories(root + "/" + directory);
        std::ofstream(root + "/" + directory + "/" + attribute) << contents;
    };
    for (const char* device : {"1-10", "usb1", "1-2", "2-1"}) {
        write(device, "idVendor", "0a12\n");
        write(device, "idProduct", "100b\n");
    }
    write("1-2", "product", "Keyboard\n");
    fs::remove(root + "/2-1/idProduct");  // half gone while the tree is built: left out
    write("1-2/1-2:1.10", "bInterfaceNumber", "0a\n");
    write("1-2/1-2:1.2", "interface", "DFU\n");
    write("1-2/1-2:1.0", "bInterfaceNumber", "00\n");
    fs::create_symlink("../../../../bus/usb/drivers/usbhid", root + "/1-2/1-2:1.0/driver");
    write("1-2:1.0", "bInterfaceNumber", "00\n");  // the bus directory lists interfaces too

    const auto tree = sysfsUsbRegistry(root);
    ASSERT_TRUE(tree);
    using Device = std::pair<std::string, std::int64_t>;  // name and location ID
    std::vector<Device> devices;
    for (const auto& device : tree->children()) {
        Device entry{"?", -1};
        EXPECT_EQ(kUsbDeviceClassName, device->className());
        EXPECT_TRUE(device->nameInPlane(entry.first) && device->numberProperty(kUsbLocationIdKey, entry.second));
        devices.push_back(entry);
    }
    EXPECT_EQ((std::vector<Device>{{"usb1", 0x01000000}, {"Keyboard", 0x01200000}, {"1-10", 0x01A00000}}), devices);

    std::vector<std::string> interfaces;
    for (const auto& interface : tree->children().at(1)->children()) {
        std::string name;
        std::string driver = "-";
        interface->stringProperty(kUsbBundleIdentifierKey, driver);
        interfaces.push_back((interface->nameInPlane(name) ? name : "?") + " " + driver);
    }
    EXPECT_EQ((std::vector<std::string>{"1-2:1.0 usbhid", "DFU -", "1-2:1.10 -"}), interfaces);
    EXPECT_FALSE(sysfsUsbRegistry(root + "/gone"));
}

}  // namespace
}  // namespace platform
}  // namespace kel
