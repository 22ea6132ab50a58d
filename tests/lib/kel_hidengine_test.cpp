#include "lib/kel_hidengine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "lib/kel_usbidentifier.h"
#include "tests/support/emulated_hid_fixture.h"

namespace kel {
namespace {

using platform::EmulatedHidDevice;
using platform::HidDevice;
using testing::eventually;
using testing::secondsSince;

class HidEngineTest : public testing::EmulatedHidTest {
protected:
    std::shared_ptr<EmulatedHidDevice> attachPlain(std::uint32_t location, std::uint16_t vendor, std::int64_t input = 8)
    {
        auto device = std::make_shared<EmulatedHidDevice>(platform::HidMatching{
            {platform::kHidLocationIdKey, location},
            {platform::kHidVendorIdKey, vendor},
            {platform::kHidProductIdKey, 1},
            {platform::kHidMaxInputReportSizeKey, input},
            {platform::kHidMaxOutputReportSizeKey, 8},
            {platform::kHidMaxFeatureReportSizeKey, 8},
        });
        m_bus.attach(device);
        return device;
    }

    bool openCsr(HidEngine& engine) { return engine.open(UsbIdentifier(kVendor, kProduct, kLocation), 0, 0, 0); }
};

TEST_F(HidEngineTest, OpenMatchesByLocationVendorProductAndIndex)
{
    HidEngine engine;
    ASSERT_TRUE(openCsr(engine));
    EXPECT_TRUE(engine.isOpen());
    EXPECT_TRUE(engine.isConnected());
    EXPECT_EQ(kVendor, engine.idVendor());
    EXPECT_EQ(kProduct, engine.idProduct());
    EXPECT_EQ(0x0321, engine.deviceReleaseNumber());
    EXPECT_EQ(kLocation, engine.locationId());
    EXPECT_EQ(64u, engine.maxInputReportSize());
    EXPECT_EQ(64u, engine.maxOutputReportSize());
    EXPECT_EQ(1023u, engine.maxFeatureReportSize());

    // Vendor and product must match when given; location 0 is a location like any other.
    EXPECT_FALSE(engine.open(kLocation, kVendor + 1, 0, 0, 0, 0));
    EXPECT_FALSE(engine.isOpen());
    EXPECT_FALSE(engine.open(0, 0, 0, 0, 0, 0));
    attachPlain(0, 0x1111);
    EXPECT_TRUE(engine.open(0, 0, 0, 0, 0, 0));
    EXPECT_EQ(0x1111, engine.idVendor());

    // Two devices at one location: the index picks, and an index past the end fails.
    attachPlain(kLocation, 0x2222);
    ASSERT_TRUE(engine.open(kLocation, 0, 0, 0, 0, 1));
    EXPECT_EQ(0x2222, engine.idVendor());
    EXPECT_FALSE(engine.open(kLocation, 0, 0, 0, 0, 2));

    // Usage and usage page restrict the match when they are not 0.
    EXPECT_TRUE(engine.open(kLocation, 0, 0, 1, 0xFF00, 0));
    EXPECT_EQ(kVendor, engine.idVendor());
    EXPECT_FALSE(engine.open(kLocation, 0, 0, 2, 0, 0));
}

TEST_F(HidEngineTest, OpenRefusesMoreThanSixteenMatchesAndBadSizes)
{
    for (int i = 0; i < 15; ++i)
        attachPlain(0x05000000, static_cast<std::uint16_t>(0x3000 + i));
    HidEngine engine;
    EXPECT_TRUE(engine.open(0x05000000, 0, 0, 0, 0, 14));
    attachPlain(0x05000000, 0x3100);
    EXPECT_TRUE(engine.open(0x05000000, 0, 0, 0, 0, 0));  // sixteen
    attachPlain(0x05000000, 0x3101);
    EXPECT_FALSE(engine.open(0x05000000, 0, 0, 0, 0, 0));
    EXPECT_FALSE(engine.open(0x05000000, 0x3101, 0, 0, 0, 1));

    auto device = attachPlain(0x06000000, 0x4000);
    device->setProperty(platform::kHidMaxFeatureReportSizeKey, 65536);
    EXPECT_FALSE(engine.open(0x06000000, 0, 0, 0, 0, 0));
    device->removeProperty(platform::kHidMaxFeatureReportSizeKey);
    EXPECT_FALSE(engine.open(0x06000000, 0, 0, 0, 0, 0));
    device->setProperty(platform::kHidMaxFeatureReportSizeKey, 65535);
    device->setProperty(platform::kHidMaxOutputReportSizeKey, -1);
    EXPECT_FALSE(engine.open(0x06000000, 0, 0, 0, 0, 0));
    device->setProperty(platform::kHidMaxOutputReportSizeKey, 0);
    ASSERT_TRUE(engine.open(0x06000000, 0, 0, 0, 0, 0));
    EXPECT_EQ(65535u, engine.maxFeatureReportSize());

    // Out-of-range identification properties read as 0.
    device->setProperty(platform::kHidVendorIdKey, 70000);
    device->setProperty(platform::kHidLocationIdKey, 0x1234567890LL);
    EXPECT_EQ(0, engine.idVendor());
    EXPECT_EQ(0x34567890u, engine.locationId());

    device->setOpenResult(kIOReturnExclusiveAccess);
    EXPECT_FALSE(engine.open(0x06000000, 0, 0, 0, 0, 0));
    m_bus.setManagerOpenResult(kIOReturnError);
    EXPECT_FALSE(openCsr(engine));
    m_bus.setManagerOpenResult(kIOReturnSuccess);
    m_bus.setManagerCreationFails(true);
    EXPECT_FALSE(openCsr(engine));
    EXPECT_EQ(0, engine.idVendor());
}

TEST_F(HidEngineTest, ReopenReleasesTheFirstDeviceAndCloseIsIdempotent)
{
    HidEngine engine;
    engine.close();
    ASSERT_TRUE(openCsr(engine));
    // The device is seized; opening it again works only because open closed it first.
    ASSERT_TRUE(openCsr(engine));
    HidEngine other;
    EXPECT_FALSE(openCsr(other));
    engine.close();
    engine.close();
    EXPECT_FALSE(engine.isOpen());
    EXPECT_FALSE(engine.isConnected());
    EXPECT_EQ(0u, engine.maxInputReportSize());
    EXPECT_TRUE(openCsr(other));

    other.close();

    // Every cycle starts and stops the input thread through its handshake.
    for (int i = 0; i < 50; ++i) {
        ASSERT_TRUE(openCsr(engine));
        engine.close();
    }
}

TEST_F(HidEngineTest, ReportsGoOutUnchangedAndComeBackCut)
{
    HidEngine engine;
    std::vector<std::uint8_t> report{9, 9};
    EXPECT_FALSE(engine.setReport(1, report, false));
    EXPECT_FALSE(engine.getReport(2, report, true));
    EXPECT_EQ(2u, report.size());  // untouched when closed

    ASSERT_TRUE(openCsr(engine));
    m_device->setRecordReports(true);
    const std::uint8_t clear[2] = {3, 4};
    EXPECT_TRUE(engine.setReport(3, clear, 2, true));
    EXPECT_TRUE(engine.setReport(1, std::vector<std::uint8_t>{1, 'x', 0}, false));
    const auto sent = m_device->sentReports();
    ASSERT_EQ(2u, sent.size());
    EXPECT_EQ(HidDevice::kReportTypeFeature, sent[0].type);
    EXPECT_EQ(3u, sent[0].reportId);
    EXPECT_EQ((std::vector<std::uint8_t>{3, 4}), sent[0].bytes);
    EXPECT_EQ(HidDevice::kReportTypeOutput, sent[1].type);
    EXPECT_EQ((std::vector<std::uint8_t>{1, 'x', 0}), sent[1].bytes);

    ASSERT_TRUE(engine.getReport(2, report, true));
    EXPECT_EQ(7u, report.size());
    EXPECT_EQ(2, report[0]);
    m_device->queueGetReply(HidDevice::kReportTypeFeature, 2, kIOReturnError);
    EXPECT_FALSE(engine.getReport(2, report, true));
    EXPECT_TRUE(report.empty());
    // Input reports on request: the CSR device has none.
    report.assign(3, 1);
    EXPECT_FALSE(engine.getReport(1, report, false));
    EXPECT_TRUE(report.empty());

    m_device->queueSetFailure(HidDevice::kReportTypeFeature, 3, kIOReturnError);
    EXPECT_FALSE(engine.setReport(3, clear, 2, true));
    EXPECT_TRUE(engine.isConnected());
    m_device->queueSetFailure(HidDevice::kReportTypeFeature, 3, kIOReturnNoDevice);
    EXPECT_FALSE(engine.setReport(3, clear, 2, true));
    EXPECT_FALSE(engine.isConnected());
    EXPECT_TRUE(engine.isOpen());
    const std::size_t count = m_device->setReportCount();
    EXPECT_FALSE(engine.setReport(3, clear, 2, true));
    EXPECT_FALSE(engine.getReport(2, report, true));
    EXPECT_EQ(count, m_device->setReportCount());
}

TEST_F(HidEngineTest, WaitTakesQueuedReportsAndSkipsOtherIds)
{
    HidEngine engine;
    ASSERT_TRUE(openCsr(engine));
    std::vector<std::uint8_t> report;

    // A report that arrived before the call is taken.
    m_device->sendInputReport(1, {1, 'a'});
    ASSERT_TRUE(eventually([&] { return engine.asyncGetNextReport(1, report, 0); }));
    EXPECT_EQ((std::vector<std::uint8_t>{1, 'a'}), report);

    // Woken by a report with another ID, the wait goes on until its own ID arrives.
    std::thread sender([this] {
        m_device->sendInputReport(2, {2, 'b'});
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        m_device->sendInputReport(1, {1, 'c'});
    });
    EXPECT_TRUE(engine.asyncGetNextReport(1, report, 20000));
    sender.join();
    EXPECT_EQ((std::vector<std::uint8_t>{1, 'c'}), report);
    // ... and the other report is still queued.
    EXPECT_TRUE(engine.asyncGetNextReport(2, report, 0));
    EXPECT_EQ((std::vector<std::uint8_t>{2, 'b'}), report);

    // 256 takes the oldest report, whatever its ID; reports longer than the input size are cut.
    m_device->sendInputReport(3, {3});
    m_device->sendInputReport(1, std::vector<std::uint8_t>(100, 1));
    ASSERT_TRUE(eventually([&] { return engine.asyncGetNextReport(256, report, 0); }));
    EXPECT_EQ((std::vector<std::uint8_t>{3}), report);
    EXPECT_TRUE(engine.asyncGetNextReport(256, report, 1000));
    EXPECT_EQ(64u, report.size());

    // Nothing for the ID: false once the time is up, with the output emptied.
    report.assign(5, 5);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(engine.asyncGetNextReport(7, report, 150));
    EXPECT_GE(secondsSince(start), 0.149);
    EXPECT_TRUE(report.empty());

    // A closed engine waits for nothing, even with reports queued.
    m_device->sendInputReport(4, {4});
    engine.close();
    EXPECT_FALSE(engine.asyncGetNextReport(256, report, 0));
}

TEST_F(HidEngineTest, DeviceWithoutInputReportsOnlyTimesOut)
{
    auto device = attachPlain(0x07000000, 0x5000, 0);
    HidEngine engine;
    ASSERT_TRUE(engine.open(0x07000000, 0, 0, 0, 0, 0));
    device->sendInputReport(1, {1, 2});
    std::vector<std::uint8_t> report;
    EXPECT_FALSE(engine.asyncGetNextReport(256, report, 100));
}

TEST_F(HidEngineTest, RemovalFromAnotherThreadDisconnectsAndEndsWaits)
{
    HidEngine engine;
    ASSERT_TRUE(openCsr(engine));
    std::thread remover([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        m_device->remove();
    });
    std::vector<std::uint8_t> report;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(engine.asyncGetNextReport(1, report, 60000));
    EXPECT_LT(secondsSince(start), 30.0);  // ended by the removal, not by the time-out
    remover.join();
    EXPECT_FALSE(engine.isConnected());
    EXPECT_TRUE(engine.isOpen());
    EXPECT_FALSE(engine.getReport(2, report, true));
    EXPECT_FALSE(engine.setReport(3, std::vector<std::uint8_t>{3, 4}, true));
    EXPECT_FALSE(engine.asyncGetNextReport(256, report, 0));
}

TEST_F(HidEngineTest, CloseWhileReportsFloodIn)
{
    std::atomic<bool> stop{false};
    std::thread flood([&] {
        while (!stop)
            m_device->sendInputReport(1, {1, 2, 3});
    });
    for (int i = 0; i < 20; ++i) {
        HidEngine engine;
        ASSERT_TRUE(openCsr(engine));
        std::vector<std::uint8_t> report;
        EXPECT_TRUE(engine.asyncGetNextReport(1, report, 10000));
    }
    stop = true;
    flood.join();
}

}  // namespace
}  // namespace kel
