// What the binary can't be made to meet cheaply: discovery that cannot start.
#include "kel_arkcommand.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/runloop.h"
#include "tests/support/fake_usb.h"
#include "tests/support/test_util.h"

namespace kel {
namespace {

TEST(DevicesCommand, WithoutDiscoveryListsNothingButMonitorFailsAtOnce)
{
    platform::EmulatedUsbBus bus;
    platform::ScopedUsbBackend backend{bus};
    platform::EmulatedUsbDeviceConfig config;
    config.idVendor = 0x1234;
    bus.attach(platform::EmulatedUsbDevice::create(config));
    bus.setPortCreationFails(true);

    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(ark_CommandDevices(0, 0, false));
    EXPECT_EQ("{\"devices\": []}\n", ::testing::internal::GetCapturedStdout());
    EXPECT_EQ("Can't create a USB notification port\n", ::testing::internal::GetCapturedStderr());

    std::atomic<bool> returned{false};
    std::thread watchdog([&] {  // ends a monitor that would otherwise run for ever
        if (!testing::eventually([&] { return returned.load(); }))
            platform::RunLoop::main()->stop();
    });
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(ark_CommandDevices(0, 0, true));
    returned = true;
    watchdog.join();
    EXPECT_EQ("", ::testing::internal::GetCapturedStdout());
    EXPECT_EQ("Can't create a USB notification port\n", ::testing::internal::GetCapturedStderr());
}

}  // namespace
}  // namespace kel
