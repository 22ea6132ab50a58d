#include "lib/kel_hidengine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "lib/kel_usbidentifier.h"
#include "tests/support/fake_hid.h"

namespace kel {
namespace {

using namespace testing;
using platform::HidMatching;
using std::chrono::milliseconds;

constexpr std::uint32_t kLocation = 0x01200000;

class HidEngineTest : public ::testing::Test {
protected:
    bool open(std::uint32_t index = 0) { return engine.open(kLocation, 0, 0, 0, 0, index); }

    FakeHidBus bus;
    FakeHidDevice& device = bus.attach(csrProperties());
    HidEngine engine;
};

TEST_F(HidEngineTest, MatchesOnlyTheGivenKeysAndPicksByIndex)
{
    bus.attach(csrProperties(kLocation, 0x2222));
    ASSERT_TRUE(engine.open(UsbIdentifier(0x0A12, 0x1004, kLocation), 1, 0xFF00, 0));
    EXPECT_EQ((HidMatching{{"LocationID", kLocation}, {"VendorID", 0x0A12}, {"ProductID", 0x1004},
                           {"DeviceUsage", 1}, {"DeviceUsagePage", 0xFF00}}),
              bus.matchings.back());
    EXPECT_TRUE(engine.isOpen() && engine.isConnected());

    // Zero means "any", the location excepted. Opening again lets go of the first device.
    EXPECT_TRUE(device.scheduled);
    ASSERT_TRUE(open(1));
    EXPECT_FALSE(device.scheduled);
    EXPECT_EQ((HidMatching{{"LocationID", kLocation}}), bus.matchings.back());
    EXPECT_EQ(0x2222, engine.idProduct());
    EXPECT_FALSE(open(2));
    EXPECT_FALSE(engine.isOpen() || bus.devices[1]->scheduled);
    engine.close();  // closing twice is harmless
    EXPECT_FALSE(engine.open(0, 0, 0, 0, 0, 0));

    // At most sixteen interfaces at one place.
    for (int i = 0; i < 14; ++i)
        bus.attach(csrProperties(kLocation, 0x3000 + i));
    EXPECT_TRUE(open(15));
    bus.attach(csrProperties(kLocation, 0x3100));
    EXPECT_FALSE(open());
}

TEST(HidEngine, RefusesDevicesItCannotUse)
{
    const std::function<void(FakeHidBus&, FakeHidDevice&)> faults[] = {
        [](FakeHidBus&, FakeHidDevice& d) { d.props["MaxFeatureReportSize"] = 65536; },
        [](FakeHidBus&, FakeHidDevice& d) { d.props["MaxOutputReportSize"] = -1; },
        [](FakeHidBus&, FakeHidDevice& d) { d.props.erase("MaxInputReportSize"); },
        [](FakeHidBus&, FakeHidDevice& d) { d.openResult = kIOReturnExclusiveAccess; },
        [](FakeHidBus& b, FakeHidDevice&) { b.openResult = kIOReturnError; },
        [](FakeHidBus& b, FakeHidDevice&) { b.creationFails = true; },
    };
    for (const auto& fault : faults) {
        FakeHidBus bus;
        fault(bus, bus.attach(csrProperties()));
        HidEngine engine;
        EXPECT_FALSE(engine.open(kLocation, 0, 0, 0, 0, 0));
        EXPECT_FALSE(engine.isOpen());
        EXPECT_EQ(0, engine.idVendor());
    }
}

TEST_F(HidEngineTest, ReportsFailWhenClosedOrLost)
{
    Bytes report{9, 9};
    EXPECT_FALSE(engine.setReport(3, report, true));
    EXPECT_FALSE(engine.getReport(2, report, true));
    EXPECT_EQ(2u, report.size());  // untouched when closed

    ASSERT_TRUE(open());
    // Out-of-range identification properties read as 0; the location keeps its low 32 bits.
    device.props["VendorID"] = 70000;
    device.props["LocationID"] = 0x1234567890LL;
    EXPECT_EQ(0, engine.idVendor());
    EXPECT_EQ(0x34567890u, engine.locationId());

    // Feature and output reports, and their sizes, are proven by `backup`, `set` and `get` in
    // tests/blackbox; here the failures.
    device.script = {reply(2, {}, kIOReturnError), expectSet(3, {}, kIOReturnError), expectSet(3, {}, kIOReturnNoDevice)};
    EXPECT_FALSE(engine.getReport(2, report, true));
    EXPECT_TRUE(report.empty());
    EXPECT_FALSE(engine.setReport(3, Bytes{3, 4}, true));
    EXPECT_TRUE(engine.isConnected());
    EXPECT_FALSE(engine.setReport(3, Bytes{3, 4}, true));
    EXPECT_FALSE(engine.isConnected());  // only a lost device disconnects
    EXPECT_TRUE(engine.isOpen());
    EXPECT_FALSE(engine.setReport(3, Bytes{3, 4}, true));
    EXPECT_EQ(2u, device.sent.size());
}

TEST_F(HidEngineTest, WaitTakesQueuedReportsByIdTimesOutAndEndsOnRemoval)
{
    ASSERT_TRUE(open());
    Bytes report;

    // Woken by a report with another ID, the wait goes on until its own ID arrives.
    std::thread sender([&] {
        device.sendInput(2, {2, 'b'});
        std::this_thread::sleep_for(milliseconds(50));
        device.sendInput(1, {1, 'c'});
    });
    EXPECT_TRUE(engine.asyncGetNextReport(1, report, 20000));
    sender.join();
    EXPECT_EQ((Bytes{1, 'c'}), report);
    EXPECT_TRUE(engine.asyncGetNextReport(2, report, 0));
    EXPECT_EQ((Bytes{2, 'b'}), report);

    // 256 takes the oldest, whatever its ID; reports are cut to the input report size.
    device.sendInput(3, {3});
    device.sendInput(1, Bytes(100, 1));
    EXPECT_TRUE(engine.asyncGetNextReport(256, report, 20000));
    EXPECT_EQ((Bytes{3}), report);
    EXPECT_TRUE(engine.asyncGetNextReport(256, report, 20000));
    EXPECT_EQ(64u, report.size());

    report.assign(5, 5);
    const auto start = Clock::now();
    EXPECT_FALSE(engine.asyncGetNextReport(7, report, 100));
    EXPECT_GE(Clock::now() - start, milliseconds(100));
    EXPECT_TRUE(report.empty());

    // Reports of an earlier open are not handed out after the next one.
    device.sendInput(4, {4});
    device.sendInput(5, {5});
    ASSERT_TRUE(engine.asyncGetNextReport(5, report, 20000));  // 4 waits in the queue now
    engine.close();
    EXPECT_FALSE(engine.asyncGetNextReport(256, report, 0));
    ASSERT_TRUE(open());
    EXPECT_FALSE(engine.asyncGetNextReport(256, report, 0));

    // A device without input reports gets no input report callback.
    device.props[platform::kHidMaxInputReportSizeKey] = 0;
    ASSERT_TRUE(open());
    device.sendInput(1, {1, 2});
    EXPECT_FALSE(engine.asyncGetNextReport(256, report, 100));

    // The device's removal ends a wait at once, and the connection.
    std::thread remover([&] {
        std::this_thread::sleep_for(milliseconds(50));
        device.remove();
    });
    const auto waited = Clock::now();
    EXPECT_FALSE(engine.asyncGetNextReport(1, report, 60000));
    EXPECT_LT(Clock::now() - waited, std::chrono::seconds(30));
    remover.join();
    EXPECT_FALSE(engine.isConnected());
    EXPECT_FALSE(engine.getReport(2, report, true));
}

TEST_F(HidEngineTest, OpenAndCloseWhileReportsFloodIn)
{
    std::atomic<bool> stop{false};
    std::thread flood([&] {
        while (!stop)
            device.sendInput(1, {1, 2, 3});
    });
    for (int i = 0; i < 20; ++i) {
        HidEngine each;
        ASSERT_TRUE(each.open(kLocation, 0, 0, 0, 0, 0));
        Bytes report;
        EXPECT_TRUE(each.asyncGetNextReport(1, report, 10000));
    }
    stop = true;
    flood.join();
}

}  // namespace
}  // namespace kel
