// The backup, update and reset commands against the emulated CSR device: the documents they
// print, the messages on standard error, and what reaches the device.
#include "kel_arkcommand.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>
#include <thread>

#include "lib/kel_dfufirmware.h"
#include "tests/support/emulated_hid_fixture.h"

namespace kel {
namespace {

using ::testing::HasSubstr;
using platform::EmulatedCsrDevice;
using platform::HidDevice;
using testing::secondsSince;

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> result;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        result.push_back(line);
    return result;
}

std::string doc(const char* identifier, const char* progress, int state, const char* error = nullptr)
{
    std::string text = std::string("{\"transfer\": {\"identifier\": \"") + identifier + "\", \"progress\": " + progress +
                       ", \"state\": " + std::to_string(state) + ", \"error\": ";
    text += error ? std::string("\"") + error + "\"" : std::string("null");
    return text + "}}";
}

std::vector<std::uint8_t> csrImage(std::size_t size)
{
    std::vector<std::uint8_t> image(size);
    for (std::size_t i = 0; i < size; ++i)
        image[i] = static_cast<std::uint8_t>(i * 7 + (i >> 9));
    std::copy_n("CSR-dfu", 7, image.begin());
    image[10] = static_cast<std::uint8_t>(size);
    image[11] = static_cast<std::uint8_t>(size >> 8);
    image[12] = static_cast<std::uint8_t>(size >> 16);
    image[13] = static_cast<std::uint8_t>(size >> 24);
    return image;
}

class TransferCommandTest : public testing::EmulatedHidTest {
protected:
    static constexpr const char* kId = "0a12-1004-01200000";

    void SetUp() override
    {
        EmulatedHidTest::SetUp();
        m_dir = ::testing::TempDir() + "hidengine_transfer_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::string command = "mkdir -p '" + m_dir + "'";
        ASSERT_EQ(0, std::system(command.c_str()));
    }

    std::string writeDfu(const std::vector<std::uint8_t>& image, std::uint16_t vendor = kVendor,
                         std::uint16_t product = kProduct)
    {
        DfuFirmware firmware;
        firmware.setVendorId(vendor);
        firmware.setProductId(product);
        firmware.setDeviceRelease(0x0100);
        firmware.setData(image.data(), image.size());
        const std::string path = m_dir + "/image.dfu";
        EXPECT_TRUE(firmware.save(path.c_str()));
        return path;
    }

    // Runs `command`, keeping what it printed on both streams.
    template <typename Command>
    bool run(Command command)
    {
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        const bool result = command();
        m_stdout = ::testing::internal::GetCapturedStdout();
        m_stderr = ::testing::internal::GetCapturedStderr();
        return result;
    }

    std::string m_dir;
    std::string m_stdout;
    std::string m_stderr;
};

TEST_F(TransferCommandTest, UpdateThenBackupRoundTrip)
{
    const auto image = csrImage(2034);
    const std::string path = writeDfu(image);
    ASSERT_TRUE(run([&] { return ark_CommandUpdate(kId, path.c_str()); })) << m_stderr;
    EXPECT_EQ((std::vector<std::string>{doc(kId, "0.0", 3), doc(kId, "37.5", 3), doc(kId, "75.0", 3),
                                        doc(kId, "100.0", 4), doc(kId, "100.0", 0)}),
              lines(m_stdout));
    EXPECT_EQ("", m_stderr);
    EXPECT_EQ(image, m_device->firmware());
    EXPECT_EQ(1u, m_device->resetCount());

    // The device is back after its reset; the backup takes its IDs from the device.
    m_device->setProperty(platform::kHidVersionNumberKey, 0x0777);
    const std::string backupPath = m_dir + "/backup.dfu";
    ASSERT_TRUE(testing::eventually([&] { return m_device->isPresent(); }));
    ASSERT_TRUE(run([&] { return ark_CommandBackup(kId, backupPath.c_str()); })) << m_stderr;
    EXPECT_EQ((std::vector<std::string>{doc(kId, "50.0", 2), doc(kId, "100.0", 2), doc(kId, "100.0", 2),
                                        doc(kId, "100.0", 0)}),
              lines(m_stdout));
    EXPECT_EQ(2u, m_device->resetCount());

    DfuFirmware backup;
    ASSERT_TRUE(backup.load(backupPath.c_str(), false));
    EXPECT_EQ(image, std::vector<std::uint8_t>(backup.data(), backup.data() + backup.size()));
    EXPECT_EQ(kVendor, backup.idVendor());
    EXPECT_EQ(kProduct, backup.idProduct());
    EXPECT_EQ(0x0777, backup.deviceRelease());
}

TEST_F(TransferCommandTest, IdentifierIsShownAsTyped)
{
    const std::string path = writeDfu(csrImage(100));
    const char* typed = " 0A12-1004-01200000";
    ASSERT_TRUE(run([&] { return ark_CommandUpdate(typed, path.c_str()); })) << m_stderr;
    EXPECT_EQ(doc(typed, "100.0", 0), lines(m_stdout).back());
}

TEST_F(TransferCommandTest, FailuresBeforeTheDeviceIsOpened)
{
    const std::string good = writeDfu(csrImage(100));
    struct Case {
        const char* identifier;
        std::string path;
        const char* error;
    };
    const std::string other = m_dir + "/other.dfu";
    {
        DfuFirmware firmware;
        firmware.setVendorId(kVendor);
        firmware.setProductId(0x9999);
        firmware.setData("abc", 3);
        ASSERT_TRUE(firmware.save(other.c_str()));
    }
    const std::string damaged = m_dir + "/damaged.dfu";
    {
        FILE* file = std::fopen(damaged.c_str(), "wb");
        ASSERT_NE(nullptr, file);
        const std::string junk(64, 'x');
        std::fwrite(junk.data(), 1, junk.size(), file);
        std::fclose(file);
    }
    const std::vector<Case> cases = {
        {"nonsense", good, "Invalid device identifier"},
        {kId, m_dir + "/missing.dfu", "Unable to load firmware file"},
        {kId, damaged, "Unable to load firmware file"},
        {kId, other, "Firmware file not valid for the target device"},
        {"0a12-1004-02000000", good, "Unable to connect to device"},
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(run([&] { return ark_CommandUpdate(c.identifier, c.path.c_str()); }));
        EXPECT_EQ((std::vector<std::string>{doc(c.identifier, "0.0", -1, c.error)}), lines(m_stdout));
    }
    EXPECT_EQ(0u, m_device->setReportCount());
    EXPECT_EQ(0u, m_device->getReportCount());

    EXPECT_FALSE(run([&] { return ark_CommandBackup("nonsense", good.c_str()); }));
    EXPECT_EQ((std::vector<std::string>{doc("nonsense", "0.0", -1, "Invalid device identifier")}), lines(m_stdout));
    EXPECT_FALSE(run([&] { return ark_CommandBackup("0a12-1004-02000000", good.c_str()); }));
    EXPECT_EQ((std::vector<std::string>{doc("0a12-1004-02000000", "0.0", -1, "Unable to connect to device")}),
              lines(m_stdout));
    EXPECT_EQ("", m_stderr);
    EXPECT_EQ(0u, m_device->setReportCount());
}

TEST_F(TransferCommandTest, DeviceErrorsEndWithTheErrorDocumentAndAReset)
{
    m_device->failAtBlock(1, EmulatedCsrDevice::kStateError, 0x08);
    const std::string path = writeDfu(csrImage(4068));
    EXPECT_FALSE(run([&] { return ark_CommandUpdate(kId, path.c_str()); }));
    EXPECT_EQ("update: device state error 10, 8 @1\n", m_stderr);
    EXPECT_EQ((std::vector<std::string>{doc(kId, "0.0", 3), doc(kId, "18.75", 3), doc(kId, "37.5", 3),
                                        doc(kId, "37.5", -1, "Error updating device")}),
              lines(m_stdout));
    EXPECT_EQ(1u, m_device->resetCount());

    ASSERT_TRUE(testing::eventually([&] { return m_device->isPresent(); }));
    m_device->queueGetReply(HidDevice::kReportTypeFeature, 1, kIOReturnSuccess, {7, 0, 0, 0, 0, 0});
    const std::string backupPath = m_dir + "/backup.dfu";
    EXPECT_FALSE(run([&] { return ark_CommandBackup(kId, backupPath.c_str()); }));
    EXPECT_EQ("backup: unexpected report ID: 07\n", m_stderr);
    EXPECT_EQ((std::vector<std::string>{doc(kId, "100.0", 2), doc(kId, "100.0", -1, "Error reading firmware from device")}),
              lines(m_stdout));
    EXPECT_EQ(nullptr, std::fopen(backupPath.c_str(), "rb"));
    EXPECT_EQ(2u, m_device->resetCount());
}

TEST_F(TransferCommandTest, BackupToAnUnwritablePathStillReadsAndResets)
{
    m_device->setFirmware(csrImage(4068));
    EXPECT_FALSE(run([&] { return ark_CommandBackup(kId, (m_dir + "/no/such/dir/backup.dfu").c_str()); }));
    EXPECT_EQ((std::vector<std::string>{doc(kId, "25.0", 2), doc(kId, "50.0", 2), doc(kId, "75.0", 2),
                                        doc(kId, "100.0", 2), doc(kId, "100.0", 2),
                                        doc(kId, "100.0", -1, "Unable to write to backup file")}),
              lines(m_stdout));
    EXPECT_EQ(1u, m_device->resetCount());
}

TEST_F(TransferCommandTest, RemovalMidTransferEndsTheCommandPromptly)
{
    const std::string path = writeDfu(csrImage(4 << 20));
    for (bool update : {true, false}) {
        auto device = attachCsr([] {
            auto config = EmulatedHidTest::config();
            config.locationId = 0x01300000;
            return config;
        }());
        device->setFirmware(csrImage(4 << 20));
        device->setRequestDelay(std::chrono::microseconds(200));
        std::thread remover([device] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            device->remove();
        });
        const char* id = "0a12-1004-01300000";
        const auto start = std::chrono::steady_clock::now();
        const bool result = run([&] {
            return update ? ark_CommandUpdate(id, path.c_str()) : ark_CommandBackup(id, (m_dir + "/b.dfu").c_str());
        });
        remover.join();
        EXPECT_FALSE(result);
        EXPECT_LT(secondsSince(start), 30.0);
        const auto printed = lines(m_stdout);
        ASSERT_FALSE(printed.empty());
        EXPECT_THAT(printed.back(), HasSubstr(update ? "\"state\": -1, \"error\": \"Error updating device\""
                                                     : "\"state\": -1, \"error\": \"Error reading firmware from device\""));
        EXPECT_THAT(m_stderr, HasSubstr(update ? "update: " : "backup: failed to read data from device\n"));
        m_bus.detach(device);
    }
}

TEST_F(TransferCommandTest, ResetCommand)
{
    EXPECT_TRUE(run([] { return ark_CommandReset("0a12-1004-01200000"); }));
    EXPECT_EQ("", m_stdout);
    EXPECT_EQ(1u, m_device->resetCount());
    EXPECT_FALSE(run([] { return ark_CommandReset("0a12-1004-0badf00d"); }));
    EXPECT_FALSE(run([] { return ark_CommandReset("reset-me"); }));
    EXPECT_EQ("", m_stdout);

    ASSERT_TRUE(testing::eventually([&] { return m_device->isPresent(); }));
    m_device->queueSetFailure(HidDevice::kReportTypeFeature, 3, kIOReturnError);
    EXPECT_FALSE(run([] { return ark_CommandReset("0a12-1004-01200000"); }));
    EXPECT_EQ("reset: failed to reset device\n", m_stderr);
    EXPECT_EQ("", m_stdout);
}

}  // namespace
}  // namespace kel
