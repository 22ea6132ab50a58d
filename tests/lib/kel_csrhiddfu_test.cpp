#include "lib/kel_csrhiddfu.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <thread>

#include "lib/kel_dfufirmware.h"
#include "lib/kel_usbidentifier.h"
#include "tests/support/emulated_hid_fixture.h"

namespace kel {
namespace {

using ::testing::HasSubstr;
using platform::EmulatedCsrDevice;
using platform::HidDevice;
using testing::secondsSince;

struct ProgressLog {
    std::vector<double> values;
    std::vector<CsrHidDfu::Activity> activities;

    static void callback(void* context, double percent, CsrHidDfu::Activity activity)
    {
        auto* log = static_cast<ProgressLog*>(context);
        log->values.push_back(percent);
        log->activities.push_back(activity);
    }
};

std::vector<std::uint8_t> pattern(std::size_t size, unsigned seed = 7)
{
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>((i * 131 + seed) ^ (i >> 8));
    return bytes;
}

DfuFirmware firmwareOf(const std::vector<std::uint8_t>& image)
{
    DfuFirmware firmware;
    firmware.setData(image.data(), image.size());
    return firmware;
}

std::vector<std::uint8_t> status(std::uint8_t state, std::uint8_t code, std::uint32_t pollTimeout = 0)
{
    return {2, 0, static_cast<std::uint8_t>(pollTimeout), static_cast<std::uint8_t>(pollTimeout >> 8),
            static_cast<std::uint8_t>(pollTimeout >> 16), state, code};
}

class CsrHidDfuTest : public testing::EmulatedHidTest {
protected:
    void SetUp() override
    {
        EmulatedHidTest::SetUp();
        m_device->setResetBehaviour(true, 0.1);
        ASSERT_TRUE(m_dfu.connect(UsbIdentifier(kVendor, kProduct, kLocation), 0, 0, 0));
        m_dfu.setProgressCallback(&ProgressLog::callback, &m_progress);
    }

    void queueStatus(const std::vector<std::uint8_t>& report)
    {
        m_device->queueGetReply(HidDevice::kReportTypeFeature, 2, kIOReturnSuccess, report);
    }
    void queueData(const std::vector<std::uint8_t>& report)
    {
        m_device->queueGetReply(HidDevice::kReportTypeFeature, 1, kIOReturnSuccess, report);
    }

    CsrHidDfu m_dfu;
    ProgressLog m_progress;
};

std::vector<std::uint8_t> dataReport(std::size_t payload, std::size_t length, std::uint8_t fill = 0xAB)
{
    std::vector<std::uint8_t> report(length, fill);
    report[0] = 1;
    report[1] = static_cast<std::uint8_t>(payload);
    report[2] = static_cast<std::uint8_t>(payload >> 8);
    report[3] = report[4] = report[5] = 0;
    return report;
}

TEST(ChdMakeCommand, FramesHeaderDataAndZeroTail)
{
    std::vector<std::uint8_t> buffer(1023, 0xEE);
    const std::uint8_t data[3] = {0xA1, 0xA2, 0xA3};
    ASSERT_TRUE(chdMakeCommand(buffer, 1, 0x0102, data, 3));
    ASSERT_EQ(1023u, buffer.size());
    EXPECT_EQ((std::vector<std::uint8_t>{1, 1, 2, 1, 3, 0, 0xA1, 0xA2, 0xA3}),
              std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + 9));
    EXPECT_EQ(std::vector<std::uint8_t>(1014, 0), std::vector<std::uint8_t>(buffer.begin() + 9, buffer.end()));

    const std::vector<std::uint8_t> full(1018, 0x55);
    std::vector<std::uint8_t> before = buffer;
    EXPECT_FALSE(chdMakeCommand(buffer, 1, 0, full.data(), 1018));
    EXPECT_FALSE(chdMakeCommand(buffer, 256, 0, data, 3));
    EXPECT_FALSE(chdMakeCommand(buffer, 1, 65536, data, 3));
    EXPECT_FALSE(chdMakeCommand(buffer, 1, 0, nullptr, 3));
    std::vector<std::uint8_t> huge(70000);
    EXPECT_FALSE(chdMakeCommand(huge, 1, 0, huge.data(), 65536));
    EXPECT_EQ(before, buffer);

    ASSERT_TRUE(chdMakeCommand(buffer, 1, 65535, full.data(), 1017));
    EXPECT_EQ(0x55, buffer[1022]);
    EXPECT_EQ(0xFF, buffer[2]);
    EXPECT_EQ(0xFF, buffer[3]);
    ASSERT_TRUE(chdMakeCommand(buffer, 1, 2, nullptr, 0));
    EXPECT_EQ(0, buffer[4]);
    EXPECT_EQ(std::vector<std::uint8_t>(1017, 0), std::vector<std::uint8_t>(buffer.begin() + 6, buffer.end()));
}

TEST_F(CsrHidDfuTest, StatusReportIsParsedOrRejectedAsMalformed)
{
    std::uint32_t state = 1, pollTimeout = 1, code = 1;
    queueStatus({2, 0, 0xE8, 0x03, 0x00, 5, 0});
    EXPECT_TRUE(m_dfu.getDeviceStatus(state, pollTimeout, code));
    EXPECT_EQ(5u, state);
    EXPECT_EQ(1000u, pollTimeout);
    EXPECT_EQ(0u, code);
    queueStatus({2, 0x77, 0x01, 0x02, 0x03, 10, 0x0E});
    EXPECT_TRUE(m_dfu.getDeviceStatus(state, pollTimeout, code));
    EXPECT_EQ(0x030201u, pollTimeout);
    EXPECT_EQ(0x0Eu, code);  // byte 6, not byte 1

    for (const auto& bad : {std::vector<std::uint8_t>{2, 0, 0, 0, 0, 2, 0, 0}, std::vector<std::uint8_t>{1, 0, 0, 0, 0, 2, 0},
                            std::vector<std::uint8_t>{2, 0, 0, 0, 0, 2}, std::vector<std::uint8_t>{}}) {
        queueStatus(bad);
        ::testing::internal::CaptureStderr();
        EXPECT_FALSE(m_dfu.getDeviceStatus(state, pollTimeout, code));
        EXPECT_EQ("getDeviceStatus: get-status returned malformed data\n", ::testing::internal::GetCapturedStderr());
        EXPECT_EQ(256u, state);
        EXPECT_EQ(0u, pollTimeout);
        EXPECT_EQ(0u, code);
    }

    m_device->queueGetReply(HidDevice::kReportTypeFeature, 2, kIOReturnError);
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(m_dfu.getDeviceStatus(state, pollTimeout, code));
    EXPECT_EQ("", ::testing::internal::GetCapturedStderr());
    EXPECT_EQ(256u, state);
}

TEST_F(CsrHidDfuTest, ResetAndClearSendControlReportsOnlyWhenConnected)
{
    m_device->setRecordReports(true);
    EXPECT_TRUE(m_dfu.clearDeviceStatus());
    m_device->queueSetFailure(HidDevice::kReportTypeFeature, 3, kIOReturnError);
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(m_dfu.clearDeviceStatus());
    EXPECT_EQ("clearDeviceStatus: failed to clear device status\n", ::testing::internal::GetCapturedStderr());
    m_device->queueSetFailure(HidDevice::kReportTypeFeature, 3, kIOReturnError);
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(m_dfu.reset());
    EXPECT_EQ("reset: failed to reset device\n", ::testing::internal::GetCapturedStderr());
    EXPECT_TRUE(m_dfu.reset());
    const auto sent = m_device->sentReports();
    ASSERT_EQ(2u, sent.size());
    EXPECT_EQ((std::vector<std::uint8_t>{3, 4}), sent[0].bytes);
    EXPECT_EQ((std::vector<std::uint8_t>{3, 0xFF}), sent[1].bytes);
    EXPECT_EQ(1u, m_device->resetCount());

    CsrHidDfu unconnected;
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(unconnected.reset());
    EXPECT_FALSE(unconnected.clearDeviceStatus());
    EXPECT_EQ("", ::testing::internal::GetCapturedStderr());
}

TEST_F(CsrHidDfuTest, SetDeviceToIdleClearsErrorsWithoutReset)
{
    EXPECT_TRUE(m_dfu.setDeviceToIdle());
    EXPECT_EQ(0u, m_device->setReportCount());

    m_device->setDfuState(EmulatedCsrDevice::kStateError, 0x0A);
    EXPECT_TRUE(m_dfu.setDeviceToIdle());
    EXPECT_EQ(1u, m_device->clearStatusCount());
    EXPECT_EQ(0u, m_device->resetCount());
    EXPECT_EQ(EmulatedCsrDevice::kStateIdle, m_device->dfuState());

    // The error does not go away.
    queueStatus(status(10, 3));
    queueStatus(status(10, 3));
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(m_dfu.setDeviceToIdle());
    EXPECT_EQ("setDeviceToIdle: failed to clear device error - final state 10, 3\n",
              ::testing::internal::GetCapturedStderr());
    EXPECT_EQ(0u, m_device->resetCount());
}

TEST_F(CsrHidDfuTest, SetDeviceToIdleResetsAndReacquiresAtTheSameLocation)
{
    // A status that can't be read: reset, and the device is found again as a new object.
    const std::uint64_t generation = m_device->generation();
    queueStatus({2, 0});
    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(m_dfu.setDeviceToIdle());
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(1u, m_device->resetCount());
    EXPECT_GT(m_device->generation(), generation);
    EXPECT_TRUE(m_dfu.isConnected());
    EXPECT_EQ(kLocation, m_dfu.locationId());

    // A device that still shows an error after the reset is cleared.
    m_device->setDfuState(EmulatedCsrDevice::kStateDownloadIdle, 0);
    queueStatus(status(5, 0));
    queueStatus(status(10, 4));
    EXPECT_TRUE(m_dfu.setDeviceToIdle());
    EXPECT_EQ(2u, m_device->resetCount());
    EXPECT_EQ(1u, m_device->clearStatusCount());

    queueStatus(status(5, 0));
    queueStatus(status(10, 4));
    queueStatus(status(10, 6));
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(m_dfu.setDeviceToIdle());
    EXPECT_EQ("setDeviceToIdle: failed to clear device error after reset - final state 10, 6\n",
              ::testing::internal::GetCapturedStderr());

    // Any other state after the reset fails without a message.
    queueStatus(status(5, 0));
    queueStatus(status(4, 0));
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(m_dfu.setDeviceToIdle());
    EXPECT_EQ("", ::testing::internal::GetCapturedStderr());
}

TEST_F(CsrHidDfuTest, SetDeviceToIdleGivesUpWhenTheDeviceDoesNotComeBack)
{
    m_device->setResetBehaviour(false, 0.0);
    m_device->setDfuState(EmulatedCsrDevice::kStateDownloadIdle, 0);
    const auto start = std::chrono::steady_clock::now();
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(m_dfu.setDeviceToIdle());
    EXPECT_EQ("setDeviceToIdle: timeout reaquiring device after reset\n", ::testing::internal::GetCapturedStderr());
    EXPECT_GE(secondsSince(start), 5.0);
    EXPECT_FALSE(m_dfu.isConnected());
    EXPECT_FALSE(m_dfu.isOpen());

    // The update reports it and sends nothing more.
    m_device->setDfuState(EmulatedCsrDevice::kStateError, 0);
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(m_dfu.update(firmwareOf(pattern(10)), false));
    EXPECT_EQ("update: unable to return device to idle - device may be non functional\n",
              ::testing::internal::GetCapturedStderr());
}

TEST_F(CsrHidDfuTest, NotificationsStartAtZeroSkipSmallStepsAndClamp)
{
    m_dfu.startNotification(CsrHidDfu::kActivityWriting);
    m_dfu.startNotification(CsrHidDfu::kActivityWriting);
    for (double value : {10.0, 10.0625, 10.125})
        m_dfu.sendNotification(value, CsrHidDfu::kActivityWriting, false);
    EXPECT_EQ((std::vector<double>{0.0, 0.0, 10.0, 10.125}), m_progress.values);

    m_progress.values.clear();
    for (double value : {10.0, 10.0625, 10.125})
        m_dfu.sendNotification(value, CsrHidDfu::kActivityWriting, true);
    m_dfu.sendNotification(120.0, CsrHidDfu::kActivityWriting, false);
    m_dfu.sendNotification(-5.0, CsrHidDfu::kActivityWriting, false);
    m_dfu.sendNotification(NAN, CsrHidDfu::kActivityWriting, true);
    m_dfu.sendNotification(INFINITY, CsrHidDfu::kActivityWriting, true);
    EXPECT_EQ((std::vector<double>{10.0, 10.0625, 10.125, 100.0, 0.0, 0.0, 100.0}), m_progress.values);

    // Without a callback nothing is remembered: the next value close to the old one still counts.
    m_dfu.clearProgressCallback();
    m_dfu.sendNotification(50.0, CsrHidDfu::kActivityWriting, false);
    m_dfu.setProgressCallback(&ProgressLog::callback, &m_progress);
    m_progress.values.clear();
    m_dfu.sendNotification(100.05, CsrHidDfu::kActivityWriting, false);
    m_dfu.sendNotification(50.0, CsrHidDfu::kActivityWriting, false);
    EXPECT_EQ((std::vector<double>{50.0}), m_progress.values);
    m_dfu.setProgressCallback(nullptr, &m_progress);
    m_dfu.sendNotification(0.0, CsrHidDfu::kActivityWriting, true);
    EXPECT_EQ(1u, m_progress.values.size());
}

TEST_F(CsrHidDfuTest, WaitsSleepAndMoveProgressWithTime)
{
    auto start = std::chrono::steady_clock::now();
    m_dfu.wait(120);
    EXPECT_GE(secondsSince(start), 0.12);

    m_dfu.startNotification(CsrHidDfu::kActivityCompleting);
    m_progress.values.clear();
    start = std::chrono::steady_clock::now();
    m_dfu.wait(500, 75.0, 100.0, CsrHidDfu::kActivityCompleting);
    EXPECT_GE(secondsSince(start), 0.5);
    ASSERT_GE(m_progress.values.size(), 2u);
    EXPECT_GT(m_progress.values.front(), 75.0);
    EXPECT_LT(m_progress.values.front(), 100.0);
    // The last step may fall within 0.1 of the one before and be dropped.
    EXPECT_GE(m_progress.values.back(), 99.9);
    EXPECT_LE(m_progress.values.back(), 100.0);
    EXPECT_TRUE(std::is_sorted(m_progress.values.begin(), m_progress.values.end()));

    m_progress.values.clear();
    m_dfu.wait(30, 80.0, 60.0, CsrHidDfu::kActivityCompleting);
    m_dfu.startNotification(CsrHidDfu::kActivityCompleting);
    m_dfu.wait(30, 80.0, 60.0, CsrHidDfu::kActivityCompleting);
    EXPECT_EQ((std::vector<double>{60.0, 0.0, 60.0}), m_progress.values);
}

TEST_F(CsrHidDfuTest, UpdateSendsBlocksThenTheFinalRecord)
{
    m_device->setRecordReports(true);
    const auto image = pattern(2034);
    ASSERT_TRUE(m_dfu.update(firmwareOf(image), false));
    EXPECT_EQ(image, m_device->firmware());
    EXPECT_EQ((std::vector<double>{0.0, 37.5, 75.0, 100.0}), m_progress.values);
    EXPECT_EQ((std::vector<CsrHidDfu::Activity>{CsrHidDfu::kActivityWriting, CsrHidDfu::kActivityWriting,
                                                CsrHidDfu::kActivityWriting, CsrHidDfu::kActivityCompleting}),
              m_progress.activities);
    const auto sent = m_device->sentReports();
    ASSERT_EQ(3u, sent.size());
    for (std::size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(1u, sent[i].reportId);
        EXPECT_EQ(1023u, sent[i].bytes.size());
        EXPECT_EQ(i, sent[i].bytes[2] | (sent[i].bytes[3] << 8));
    }
    EXPECT_EQ(0, sent[2].bytes[4] | (sent[2].bytes[5] << 8));

    // 1018 bytes: a full block, then one byte and zeros; the report keeps its length.
    const auto odd = pattern(1018, 3);
    ASSERT_TRUE(m_dfu.update(firmwareOf(odd), false));
    EXPECT_EQ(odd, m_device->firmware());
    const auto second = m_device->sentReports()[4];
    EXPECT_EQ(1023u, second.bytes.size());
    EXPECT_EQ((std::vector<std::uint8_t>{1, 1, 1, 0, 1, 0, odd[1017]}),
              std::vector<std::uint8_t>(second.bytes.begin(), second.bytes.begin() + 7));
    EXPECT_EQ(std::vector<std::uint8_t>(1016, 0), std::vector<std::uint8_t>(second.bytes.begin() + 7, second.bytes.end()));

    // An empty image is only the final record; no image at all sends nothing.
    const std::size_t before = m_device->setReportCount();
    DfuFirmware empty;
    empty.setData("x", 1);
    empty.resize(0, false);
    ASSERT_NE(nullptr, empty.data());
    EXPECT_TRUE(m_dfu.update(empty, false));
    EXPECT_EQ(before + 1, m_device->setReportCount());
    EXPECT_TRUE(m_device->firmware().empty());
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(m_dfu.update(DfuFirmware(), false));
    EXPECT_EQ("", ::testing::internal::GetCapturedStderr());
}

TEST_F(CsrHidDfuTest, UpdateWaitsOutBusyAndStopsOnStateErrors)
{
    m_device->setBusyReadsAfterBlock(1);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(m_dfu.update(firmwareOf(pattern(100)), false));
    EXPECT_GE(secondsSince(start), 1.0);
    EXPECT_EQ(pattern(100), m_device->firmware());
    m_device->setBusyReadsAfterBlock(0);

    m_device->failAtBlock(1, EmulatedCsrDevice::kStateError, 0x08);
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(m_dfu.update(firmwareOf(pattern(3000)), false));
    EXPECT_EQ("update: device state error 10, 8 @1\n", ::testing::internal::GetCapturedStderr());
    EXPECT_EQ(4u, m_device->blocksReceived());  // block 0 and the final record, then blocks 0 and 1

    // Removed while writing: status, clear, status, block 0 and its status, then gone.
    m_device->removeAfterRequests(5);
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(m_dfu.update(firmwareOf(pattern(5000)), false));
    EXPECT_EQ("update: error writing record @1 - device may be corrupt\n", ::testing::internal::GetCapturedStderr());
}

TEST_F(CsrHidDfuTest, UpdateReportsALostFinalRecordButSucceeds)
{
    // idle check, clear, status; block 0 and its status: the final record finds the device gone.
    m_device->setDfuState(EmulatedCsrDevice::kStateError, 1);
    m_device->removeAfterRequests(5);
    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(m_dfu.update(firmwareOf(pattern(10)), false));
    EXPECT_EQ("update: error writing final record @1 - device may be corrupt\n"
              "update: warning - unexpected device state after update 256, 0\n",
              ::testing::internal::GetCapturedStderr());
    EXPECT_EQ(100.0, m_progress.values.back());
}

TEST_F(CsrHidDfuTest, UpdateWaitsForTheDeviceToComplete)
{
    m_device->setPollTimeout(1000);
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(m_dfu.update(firmwareOf(pattern(2034)), false));
    EXPECT_LT(secondsSince(start), 30.0);
    EXPECT_EQ((std::vector<double>{0.0, 37.5, 75.0, 100.0}), m_progress.values);

    m_progress = ProgressLog();
    m_device->setPollTimeout(3000);
    start = std::chrono::steady_clock::now();
    ASSERT_TRUE(m_dfu.update(firmwareOf(pattern(2034)), false));
    EXPECT_GE(secondsSince(start), 2.0);
    ASSERT_GT(m_progress.values.size(), 5u);
    EXPECT_EQ(75.0, m_progress.values[2]);
    EXPECT_EQ(CsrHidDfu::kActivityCompleting, m_progress.activities[3]);
    EXPECT_GT(m_progress.values[3], 75.0);
    EXPECT_EQ(100.0, m_progress.values.back());
    EXPECT_TRUE(std::is_sorted(m_progress.values.begin(), m_progress.values.end()));
}

TEST_F(CsrHidDfuTest, UpdateRefusesImagesBeyondSixteenBitBlockNumbers)
{
    // Never touched: the update must refuse it before reading it.
    DfuFirmware image;
    image.resize(65535u * 1017u + 1u, false);
    m_device->setDfuState(EmulatedCsrDevice::kStateError, 0);
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(m_dfu.update(image, false));
    EXPECT_THAT(::testing::internal::GetCapturedStderr(), HasSubstr("update: "));
    EXPECT_EQ(0u, m_device->setReportCount());
    EXPECT_TRUE(m_progress.values.empty());
}

TEST_F(CsrHidDfuTest, BackupReadsBackWhatWasWrittenWithTheDeviceIds)
{
    const auto written = pattern(5000, 1);
    ASSERT_TRUE(m_dfu.update(firmwareOf(written), false));
    for (std::size_t size : {std::size_t(5000), std::size_t(0), std::size_t(1), std::size_t(1017), std::size_t(2034)}) {
        for (bool pad : {false, true}) {
            const auto image = size == 5000 ? written : pattern(size, static_cast<unsigned>(size));
            if (size != 5000)
                m_device->setFirmware(image);
            m_device->setPadDataReports(pad);
            DfuFirmware backup;
            backup.setVendorId(1);
            m_progress = ProgressLog();
            ASSERT_TRUE(m_dfu.backup(backup)) << size;
            ASSERT_EQ(image.size(), backup.size());
            if (size) {
                EXPECT_EQ(image, std::vector<std::uint8_t>(backup.data(), backup.data() + backup.size()));
            }
            EXPECT_EQ(kVendor, backup.idVendor());
            EXPECT_EQ(kProduct, backup.idProduct());
            EXPECT_EQ(0x0321, backup.deviceRelease());
            EXPECT_EQ(100.0, m_progress.values.back());
            for (double value : m_progress.values)
                EXPECT_TRUE(std::isfinite(value));
            for (auto activity : m_progress.activities)
                EXPECT_EQ(CsrHidDfu::kActivityReading, activity);
        }
    }
}

TEST_F(CsrHidDfuTest, BackupProgressFollowsTheCsrHeaderLength)
{
    std::vector<std::uint8_t> image = pattern(4068);
    std::copy_n("CSR-dfu", 7, image.begin());
    image[10] = 4068 & 0xFF;
    image[11] = 4068 >> 8;
    image[12] = image[13] = 0;
    m_device->setFirmware(image);
    DfuFirmware backup;
    ASSERT_TRUE(m_dfu.backup(backup));
    EXPECT_EQ((std::vector<double>{25.0, 50.0, 75.0, 100.0, 100.0}), m_progress.values);
}

TEST_F(CsrHidDfuTest, BackupEndsOnShortOrUnfilledReports)
{
    queueData(dataReport(1017, 1023));
    queueData(dataReport(500, 1023));
    DfuFirmware backup;
    ASSERT_TRUE(m_dfu.backup(backup));
    EXPECT_EQ(1517u, backup.size());

    queueData(dataReport(1, 7, 0x42));
    ASSERT_TRUE(m_dfu.backup(backup));
    ASSERT_EQ(1u, backup.size());
    EXPECT_EQ(0x42, backup.data()[0]);
}

TEST_F(CsrHidDfuTest, BackupRejectsMalformedDataAndLeavesAClearedFirmware)
{
    struct Case {
        std::vector<std::uint8_t> report;
        IOReturn result;
        const char* message;
    };
    const std::vector<Case> cases = {
        {dataReport(2000, 1023), kIOReturnSuccess, "backup: device signalled implausible data size 2000/1023\n"},
        {dataReport(2, 7), kIOReturnSuccess, "backup: device signalled implausible data size 2/7\n"},
        {{1, 0, 0, 0, 0}, kIOReturnSuccess, "backup: short packet from device: 5\n"},
        {{}, kIOReturnSuccess, "backup: short packet from device: 0\n"},
        {{7, 0, 0, 0, 0, 0}, kIOReturnSuccess, "backup: unexpected report ID: 07\n"},
        {{}, kIOReturnError, "backup: failed to read data from device\n"},
    };
    for (const Case& c : cases) {
        queueData(dataReport(1017, 1023));
        m_device->queueGetReply(HidDevice::kReportTypeFeature, 1, c.result, c.report);
        DfuFirmware backup;
        backup.setData("abc", 3);
        m_progress = ProgressLog();
        ::testing::internal::CaptureStderr();
        EXPECT_FALSE(m_dfu.backup(backup));
        EXPECT_EQ(c.message, ::testing::internal::GetCapturedStderr());
        EXPECT_TRUE(backup.equals(DfuFirmware()));
        EXPECT_EQ(0u, backup.size());
        EXPECT_EQ(100.0, m_progress.values.back());
    }

    // setDeviceToIdle failing ends the backup with no message of its own and no progress.
    queueStatus(status(10, 1));
    queueStatus(status(10, 1));
    DfuFirmware backup;
    m_progress = ProgressLog();
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(m_dfu.backup(backup));
    EXPECT_EQ("setDeviceToIdle: failed to clear device error - final state 10, 1\n",
              ::testing::internal::GetCapturedStderr());
    EXPECT_TRUE(m_progress.values.empty());
}

// Stands in for a device whose upload would outgrow what a DFU file can hold.
class SmallLimitDfu : public CsrHidDfu {
public:
    explicit SmallLimitDfu(std::size_t limit) { m_maxBackupLength = limit; }
};

TEST_F(CsrHidDfuTest, BackupStopsBeforeTheImageOutgrowsALoadableFile)
{
    m_dfu.disconnect();
    m_device->setFirmware(pattern(5000));
    SmallLimitDfu dfu(3000);
    ASSERT_TRUE(dfu.connect(kLocation, kVendor, kProduct, 0, 0, 0));
    DfuFirmware backup;
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(dfu.backup(backup));
    EXPECT_EQ("backup: image larger than 3000 bytes - its file could not be loaded\n",
              ::testing::internal::GetCapturedStderr());
    EXPECT_EQ(0u, backup.size());
    dfu.disconnect();

    SmallLimitDfu exact(5000);
    ASSERT_TRUE(exact.connect(kLocation, kVendor, kProduct, 0, 0, 0));
    EXPECT_TRUE(exact.backup(backup));
    EXPECT_EQ(5000u, backup.size());
}

TEST_F(CsrHidDfuTest, RemovalDuringBackupEndsItPromptly)
{
    m_device->setFirmware(pattern(4 << 20));
    m_device->setRequestDelay(std::chrono::microseconds(200));
    std::thread remover([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        m_device->remove();
    });
    DfuFirmware backup;
    const auto start = std::chrono::steady_clock::now();
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(m_dfu.backup(backup));
    EXPECT_EQ("backup: failed to read data from device\n", ::testing::internal::GetCapturedStderr());
    remover.join();
    EXPECT_LT(secondsSince(start), 30.0);
    EXPECT_EQ(0u, backup.size());
}

}  // namespace
}  // namespace kel
