#include <gtest/gtest.h>

#include "lib/kel_hidengine.h"
#include "lib/kel_usbidentifier.h"
#include "tests/support/emulated_hid_fixture.h"

namespace kel {
namespace {

using testing::eventually;

class HidEngineReopenTest : public testing::EmulatedHidTest {};

// The binary never waits for a report after reopening an engine, so this is proven here.
TEST_F(HidEngineReopenTest, ReportsOfAnEarlierOpenAreNotHandedOutAfterTheNext)
{
    HidEngine engine;
    const UsbIdentifier identifier(kVendor, kProduct, kLocation);
    ASSERT_TRUE(engine.open(identifier, 0, 0, 0));
    std::vector<std::uint8_t> report;
    // Report 2 arrives after report 1, so once 2 is taken, 1 waits in the queue.
    m_device->sendInputReport(1, {1, 'a'});
    m_device->sendInputReport(2, {2, 'b'});
    ASSERT_TRUE(eventually([&] { return engine.asyncGetNextReport(2, report, 0); }));

    engine.close();
    ASSERT_TRUE(engine.open(identifier, 0, 0, 0));
    EXPECT_FALSE(engine.asyncGetNextReport(256, report, 0));
    m_device->sendInputReport(1, {1, 'c'});
    EXPECT_TRUE(engine.asyncGetNextReport(1, report, 10000));
    EXPECT_EQ((std::vector<std::uint8_t>{1, 'c'}), report);
}

}  // namespace
}  // namespace kel
