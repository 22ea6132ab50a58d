// The devices and monitor commands against the emulated USB bus.
#include "kel_arkcommand.h"

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/emulated/usb_emulated.h"
#include "platform/runloop.h"

namespace kel {
namespace {

using platform::EmulatedUsbDevice;
using platform::EmulatedUsbDeviceConfig;

class DevicesCommandTest : public ::testing::Test {
protected:
    std::shared_ptr<EmulatedUsbDevice> plug(std::uint16_t vendor, std::uint16_t product, std::uint32_t location,
                                            const std::u16string& productName)
    {
        EmulatedUsbDeviceConfig config;
        config.idVendor = vendor;
        config.idProduct = product;
        config.locationId = location;
        config.bcdDevice = 0x0100;
        config.manufacturerIndex = 1;
        config.productIndex = productName.empty() ? 0 : 2;
        auto device = EmulatedUsbDevice::create(config);
        device->setString(1, 0x0409, u"Maker \"Q\"");
        device->setString(2, 0x0409, productName);
        bus.attach(device);
        return device;
    }

    bool devices(unsigned short idVendor, unsigned short idProduct)
    {
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        const bool result = ark_CommandDevices(idVendor, idProduct, false);
        m_stdout = ::testing::internal::GetCapturedStdout();
        m_stderr = ::testing::internal::GetCapturedStderr();
        return result;
    }

    platform::EmulatedUsbBus bus;
    platform::ScopedUsbBackend backend{bus};
    std::string m_stdout;
    std::string m_stderr;
};

constexpr const char* kWidget =
    "{\"identifier\": \"1234-0001-14100000\", \"idVendor\": 4660, \"idProduct\": 1, \"bcdDevice\": 256, "
    "\"manufacturer\": \"Maker \\\"Q\\\"\", \"product\": \"Widget\", \"serial\": \"\", \"name\": \"Widget\"}";
constexpr const char* kNameless =
    "{\"identifier\": \"0a12-0002-14200000\", \"idVendor\": 2578, \"idProduct\": 2, \"bcdDevice\": 256, "
    "\"manufacturer\": \"Maker \\\"Q\\\"\", \"product\": \"\", \"serial\": \"\", "
    "\"name\": \"Unidentified device from Cambridge Silicon Radio, Ltd\"}";
constexpr const char* kOther =
    "{\"identifier\": \"1234-0003-14300000\", \"idVendor\": 4660, \"idProduct\": 3, \"bcdDevice\": 256, "
    "\"manufacturer\": \"Maker \\\"Q\\\"\", \"product\": \"Other\", \"serial\": \"\", \"name\": \"Other\"}";

TEST_F(DevicesCommandTest, ListsWithAndWithoutFilters)
{
    EXPECT_TRUE(devices(0, 0));
    EXPECT_EQ("{\"devices\": []}\n", m_stdout);

    plug(0x1234, 0x0001, 0x14100000, u"Widget");
    plug(0x0a12, 0x0002, 0x14200000, u"");
    plug(0x1234, 0x0003, 0x14300000, u"Other");

    EXPECT_TRUE(devices(0, 0));
    EXPECT_EQ(std::string("{\"devices\": [") + kWidget + ", " + kNameless + ", " + kOther + "]}\n", m_stdout);
    EXPECT_TRUE(devices(0, 0x0002));  // a product without a vendor is ignored
    EXPECT_EQ(std::string("{\"devices\": [") + kWidget + ", " + kNameless + ", " + kOther + "]}\n", m_stdout);
    EXPECT_TRUE(devices(0x1234, 0));
    EXPECT_EQ(std::string("{\"devices\": [") + kWidget + ", " + kOther + "]}\n", m_stdout);
    EXPECT_TRUE(devices(0x1234, 0x0003));
    EXPECT_EQ(std::string("{\"devices\": [") + kOther + "]}\n", m_stdout);
    EXPECT_TRUE(devices(0x9999, 0));
    EXPECT_EQ("{\"devices\": []}\n", m_stdout);
    EXPECT_EQ("", m_stderr);
}

TEST_F(DevicesCommandTest, ListsNothingButSucceedsWhenDiscoveryCannotStart)
{
    plug(0x1234, 0x0001, 0x14100000, u"Widget");
    bus.setPortCreationFails(true);
    EXPECT_TRUE(devices(0, 0));
    EXPECT_EQ("{\"devices\": []}\n", m_stdout);
    EXPECT_EQ("Can't create a USB notification port\n", m_stderr);
}

// Standard output goes to a pipe that a second thread reads line by line while the command
// runs the main loop; the thread ends the loop when its script is done.
class MonitorCommandTest : public DevicesCommandTest {
protected:
    void SetUp() override
    {
        ASSERT_EQ(0, ::pipe(m_pipe));
        std::fflush(stdout);
        m_savedStdout = ::dup(STDOUT_FILENO);
        ASSERT_EQ(STDOUT_FILENO, ::dup2(m_pipe[1], STDOUT_FILENO));
    }

    void TearDown() override
    {
        std::fflush(stdout);
        ::dup2(m_savedStdout, STDOUT_FILENO);
        ::close(m_savedStdout);
        ::close(m_pipe[0]);
        ::close(m_pipe[1]);
    }

    // The next line, or "" when none comes within `seconds`.
    std::string nextLine(double seconds = 10.0)
    {
        while (m_buffer.find('\n') == std::string::npos) {
            pollfd readable{m_pipe[0], POLLIN, 0};
            if (::poll(&readable, 1, static_cast<int>(seconds * 1000)) <= 0)
                return "";
            char chunk[4096];
            const ssize_t count = ::read(m_pipe[0], chunk, sizeof chunk);
            if (count <= 0)
                return "";
            m_buffer.append(chunk, static_cast<std::size_t>(count));
        }
        const std::size_t end = m_buffer.find('\n');
        std::string line = m_buffer.substr(0, end);
        m_buffer.erase(0, end + 1);
        return line;
    }

    void monitor(unsigned short idVendor, const std::function<void()>& script)
    {
        std::thread driver([&] {
            script();
            platform::RunLoop::main()->stop();
        });
        EXPECT_TRUE(ark_CommandDevices(idVendor, 0, true));
        driver.join();
    }

    int m_pipe[2] = {-1, -1};
    int m_savedStdout = -1;
    std::string m_buffer;
};

TEST_F(MonitorCommandTest, PrintsTheWholeListAfterEveryChange)
{
    auto widget = plug(0x1234, 0x0001, 0x14100000, u"Widget");
    monitor(0x1234, [&] {
        EXPECT_EQ(std::string("{\"devices\": [") + kWidget + "]}", nextLine());
        plug(0x0a12, 0x0002, 0x14200000, u"");  // filtered out: no line
        auto other = plug(0x1234, 0x0003, 0x14300000, u"Other");
        EXPECT_EQ(std::string("{\"devices\": [") + kWidget + ", " + kOther + "]}", nextLine());
        bus.detach(widget);
        EXPECT_EQ(std::string("{\"devices\": [") + kOther + "]}", nextLine());
        bus.detach(other);
        EXPECT_EQ("{\"devices\": []}", nextLine());
        EXPECT_EQ("", nextLine(0.2));
    });
}

TEST_F(MonitorCommandTest, StaysQuietUntilAMatchingDeviceArrives)
{
    plug(0x0a12, 0x0002, 0x14200000, u"");
    monitor(0x1234, [&] {
        EXPECT_EQ("", nextLine(0.2));
        plug(0x1234, 0x0001, 0x14100000, u"Widget");
        EXPECT_EQ(std::string("{\"devices\": [") + kWidget + "]}", nextLine());
    });
}

TEST_F(MonitorCommandTest, FailsAtOnceWhenDiscoveryCannotStart)
{
    plug(0x1234, 0x0001, 0x14100000, u"Widget");
    bus.setPortCreationFails(true);
    std::atomic<bool> returned{false};
    std::thread watchdog([&] {  // ends a monitor that would otherwise run for ever
        for (int i = 0; i < 500 && !returned; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (!returned)
            platform::RunLoop::main()->stop();
    });
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(ark_CommandDevices(0, 0, true));
    returned = true;
    watchdog.join();
    EXPECT_EQ("Can't create a USB notification port\n", ::testing::internal::GetCapturedStderr());
    EXPECT_EQ("", nextLine(0.2));
}

}  // namespace
}  // namespace kel
