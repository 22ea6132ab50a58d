#include "lib/kel_csrhiddfu.h"

#include <gtest/gtest.h>

#include <cmath>

#include "lib/kel_dfufirmware.h"
#include "tests/support/fake_hid.h"

namespace kel {
namespace {

using namespace testing;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;
using Progress = std::vector<double>;
using std::chrono::milliseconds;

constexpr std::uint32_t kLocation = 0x01200000;

Bytes status(std::uint8_t state, std::uint32_t pollTimeout = 0, std::uint8_t code = 0)
{
    return {2, 0x77, static_cast<std::uint8_t>(pollTimeout), static_cast<std::uint8_t>(pollTimeout >> 8),
            static_cast<std::uint8_t>(pollTimeout >> 16), state, code};
}
Bytes pattern(std::size_t size)
{
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>(i * 131 + (i >> 8) + 7);
    return bytes;
}
// Command 1 for `block` carrying `data`: the header and the data, as the start of the report.
Bytes block(std::uint16_t number, const Bytes& data)
{
    Bytes report = data;
    const std::uint8_t header[6] = {1, 1, static_cast<std::uint8_t>(number), static_cast<std::uint8_t>(number >> 8),
                                    static_cast<std::uint8_t>(data.size()), static_cast<std::uint8_t>(data.size() >> 8)};
    report.insert(report.begin(), header, header + 6);
    return report;
}
Bytes dataReport(std::size_t payload, std::size_t length, std::uint8_t fill = 0xAB)
{
    Bytes report(length, fill);
    report[0] = 1;
    report[1] = static_cast<std::uint8_t>(payload);
    report[2] = static_cast<std::uint8_t>(payload >> 8);
    return report;
}
DfuFirmware firmwareOf(const Bytes& image)
{
    DfuFirmware firmware;
    firmware.setData(image.data(), image.size());
    return firmware;
}

// A script, what the call returns and what it prints.
struct ScriptCase {
    std::deque<Step> steps;
    bool result;
    const char* message;
};

class CsrHidDfuTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dfu.connect(kLocation, 0x0A12, 0x1004, 0, 0, 0));
        m_dfu.setProgressCallback(
            [](void* context, double percent, CsrHidDfu::Activity activity) {
                auto* self = static_cast<CsrHidDfuTest*>(context);
                self->m_progress.push_back(percent);
                self->m_activities.push_back(activity);
            },
            this);
    }
    void TearDown() override
    {
        EXPECT_TRUE(m_device.script.empty()) << m_device.script.size() << " steps left";
        EXPECT_EQ(std::vector<std::string>(), m_device.errors);
    }
    void script(std::deque<Step> steps) { m_device.script = std::move(steps); }
    double gap(std::size_t from, std::size_t to) const
    {
        return std::chrono::duration<double>(m_device.times.at(to) - m_device.times.at(from)).count();
    }

    FakeHidBus m_bus;
    FakeHidDevice& m_device = m_bus.attach(csrProperties());
    CsrHidDfu m_dfu;
    Progress m_progress;
    std::vector<CsrHidDfu::Activity> m_activities;
};

TEST(ChdMakeCommand, FramesHeaderDataAndZeroTail)
{
    Bytes buffer(1023, 0xEE);
    const std::uint8_t data[3] = {0xA1, 0xA2, 0xA3};
    ASSERT_TRUE(chdMakeCommand(buffer, 1, 0x0102, data, 3));
    Bytes expected = {1, 1, 2, 1, 3, 0, 0xA1, 0xA2, 0xA3};
    expected.resize(1023);
    EXPECT_EQ(expected, buffer);

    const Bytes full(1018, 0x55);
    Bytes huge(70000);
    EXPECT_FALSE(chdMakeCommand(buffer, 1, 0, full.data(), 1018));
    EXPECT_FALSE(chdMakeCommand(buffer, 256, 0, data, 3));
    EXPECT_FALSE(chdMakeCommand(buffer, 1, 65536, data, 3));
    EXPECT_FALSE(chdMakeCommand(buffer, 1, 0, nullptr, 3));
    EXPECT_FALSE(chdMakeCommand(huge, 1, 0, huge.data(), 65536));
    EXPECT_EQ(expected, buffer);  // untouched by every refusal

    ASSERT_TRUE(chdMakeCommand(buffer, 1, 65535, full.data(), 1017));
    EXPECT_EQ(block(65535, Bytes(1017, 0x55)), buffer);
    ASSERT_TRUE(chdMakeCommand(buffer, 1, 2, nullptr, 0));
    expected = block(2, {});
    expected.resize(1023);
    EXPECT_EQ(expected, buffer);
}

TEST_F(CsrHidDfuTest, StatusIsParsedOrRejectedAsMalformed)
{
    std::uint32_t state = 1, pollTimeout = 1, code = 1;
    script({reply(2, {2, 0x77, 0x01, 0x02, 0x03, 10, 0x0E})});
    EXPECT_TRUE(m_dfu.getDeviceStatus(state, pollTimeout, code));
    EXPECT_EQ((std::vector<std::uint32_t>{10, 0x030201, 0x0E}), (std::vector<std::uint32_t>{state, pollTimeout, code}));

    for (const Bytes& bad : {Bytes{2, 0, 0, 0, 0, 2, 0, 0}, Bytes{1, 0, 0, 0, 0, 2, 0}, Bytes{2, 0, 0, 0, 0, 2}}) {
        script({reply(2, bad)});
        CaptureStderr();
        EXPECT_FALSE(m_dfu.getDeviceStatus(state, pollTimeout, code));
        EXPECT_EQ("getDeviceStatus: get-status returned malformed data\n", GetCapturedStderr());
        EXPECT_EQ((std::vector<std::uint32_t>{256, 0, 0}), (std::vector<std::uint32_t>{state, pollTimeout, code}));
    }
    script({reply(2, {}, kIOReturnError)});
    CaptureStderr();
    EXPECT_FALSE(m_dfu.getDeviceStatus(state, pollTimeout, code));
    EXPECT_EQ("", GetCapturedStderr());
    EXPECT_EQ(256u, state);
}

TEST_F(CsrHidDfuTest, ResetAndClearSendControlReportsOnlyWhenConnected)
{
    script({expectSet(3, {3, 4}), expectSet(3, {3, 4}, kIOReturnError), expectSet(3, {3, 0xFF}, kIOReturnError)});
    EXPECT_TRUE(m_dfu.clearDeviceStatus());
    CaptureStderr();
    EXPECT_FALSE(m_dfu.clearDeviceStatus());
    EXPECT_FALSE(m_dfu.reset());
    EXPECT_EQ("clearDeviceStatus: failed to clear device status\nreset: failed to reset device\n", GetCapturedStderr());
    EXPECT_EQ(3u, m_device.sent.back().size());

    CsrHidDfu unconnected;
    CaptureStderr();
    EXPECT_FALSE(unconnected.reset() || unconnected.clearDeviceStatus());
    EXPECT_EQ("", GetCapturedStderr());
}

// Clearing an error without a reset is proven through `update` in tests/blackbox; a clear that
// does not take is not followed by a reset either.
TEST_F(CsrHidDfuTest, SetDeviceToIdleFailsWhenClearingTheErrorDoesNotTake)
{
    script({reply(2, status(10)), expectSet(3, {3, 4}), reply(2, status(10, 0, 3))});
    CaptureStderr();
    EXPECT_FALSE(m_dfu.setDeviceToIdle());
    EXPECT_EQ("setDeviceToIdle: failed to clear device error - final state 10, 3\n", GetCapturedStderr());
    EXPECT_EQ(1u, m_bus.matchings.size());  // never reopened
}

TEST_F(CsrHidDfuTest, SetDeviceToIdleResetsAndFindsTheDeviceAgainByPlaceAndUsage)
{
    // Reconnected with a usage, so that the reopening can be seen to keep it; the device comes
    // back from the reset under another product ID.
    m_device.props[platform::kHidProductIdKey] = 0xFFFF;
    ASSERT_TRUE(m_dfu.connect(kLocation, 0x0A12, 0xFFFF, 1, 0xFF00, 0));
    const Step reset = expectSet(3, {3, 0xFF});
    ScriptCase cases[] = {
        {{reply(2, {}, kIOReturnError), reset, reply(2, status(2))}, true, ""},
        {{reply(2, status(5)), reset, reply(2, status(10)), expectSet(3, {3, 4}), reply(2, status(2))}, true, ""},
        {{reply(2, status(0)), reset, reply(2, status(10)), expectSet(3, {3, 4}), reply(2, status(10, 0, 6))},
         false, "setDeviceToIdle: failed to clear device error after reset - final state 10, 6\n"},
        {{reply(2, status(5)), reset, reply(2, status(4))}, false, ""},
    };
    for (ScriptCase& c : cases) {
        const std::int64_t product = m_device.props[platform::kHidProductIdKey] == 0x1004 ? 0x2004 : 0x1004;
        c.steps[1].then = [this, product] { m_device.props[platform::kHidProductIdKey] = product; };
        script(std::move(c.steps));
        CaptureStderr();
        EXPECT_EQ(c.result, m_dfu.setDeviceToIdle());
        EXPECT_EQ(c.message, GetCapturedStderr());
        EXPECT_EQ((platform::HidMatching{{"LocationID", kLocation}, {"DeviceUsage", 1}, {"DeviceUsagePage", 0xFF00}}),
                  m_bus.matchings.back());
        EXPECT_TRUE(m_dfu.isConnected());
    }
}

TEST_F(CsrHidDfuTest, SetDeviceToIdleGivesUpWhenTheDeviceDoesNotComeBack)
{
    script({reply(2, status(5)), {Step::kSet, 3, {3, 0xFF}, kIOReturnSuccess, [this] { m_device.props["LocationID"] = 0x99; }}});
    const std::size_t opens = m_bus.matchings.size();
    const auto start = Clock::now();
    CaptureStderr();
    EXPECT_FALSE(m_dfu.update(firmwareOf(pattern(10)), false));
    EXPECT_EQ("setDeviceToIdle: timeout reaquiring device after reset\n"
              "update: unable to return device to idle - device may be non functional\n",
              GetCapturedStderr());
    EXPECT_GE(Clock::now() - start, std::chrono::seconds(5));
    // Every 50 ms for 5 s; a loaded machine makes fewer tries.
    EXPECT_GE(m_bus.matchings.size() - opens, 20u);
    EXPECT_LE(m_bus.matchings.size() - opens, 101u);
    EXPECT_FALSE(m_dfu.isConnected() || m_dfu.isOpen());
    EXPECT_TRUE(m_progress.empty());
}

TEST_F(CsrHidDfuTest, NotificationsStartAtZeroSkipSmallStepsAndClamp)
{
    m_dfu.startNotification(CsrHidDfu::kActivityWriting);
    m_dfu.startNotification(CsrHidDfu::kActivityWriting);
    for (bool force : {false, true})
        for (double value : {10.0, 10.0625, 10.125})
            m_dfu.sendNotification(value, CsrHidDfu::kActivityWriting, force);
    for (double value : {120.0, -5.0, std::nan("")})
        m_dfu.sendNotification(value, CsrHidDfu::kActivityWriting, true);
    EXPECT_EQ((Progress{0.0, 0.0, 10.0, 10.125, 10.0, 10.0625, 10.125, 100.0, 0.0, 0.0}), m_progress);

    // Without a callback nothing is remembered: a value close to the one skipped still counts.
    m_dfu.clearProgressCallback();
    m_dfu.sendNotification(50.0, CsrHidDfu::kActivityWriting, false);
    m_dfu.setProgressCallback([](void* p, double v, CsrHidDfu::Activity) { static_cast<Progress*>(p)->push_back(v); },
                              &m_progress);
    m_progress.clear();
    m_dfu.sendNotification(0.05, CsrHidDfu::kActivityWriting, false);
    m_dfu.sendNotification(50.0, CsrHidDfu::kActivityWriting, false);
    // A wait whose progress would go backwards sends only its end.
    m_dfu.wait(30, 80.0, 60.0, CsrHidDfu::kActivityCompleting);
    EXPECT_EQ((Progress{50.0, 60.0}), m_progress);
}

TEST_F(CsrHidDfuTest, UpdateSendsFullSizeBlocksThenTheFinalRecord)
{
    const Bytes image = pattern(2100);
    const Bytes tail(image.begin() + 2034, image.end());
    script({reply(2, status(2)), expectSet(1, block(0, Bytes(image.begin(), image.begin() + 1017))),
            reply(2, status(5)), expectSet(1, block(1, Bytes(image.begin() + 1017, image.begin() + 2034))),
            reply(2, status(5)), expectSet(1, block(2, tail)), reply(2, status(5, 1000)),
            expectSet(1, block(3, {})), reply(2, status(2))});
    ASSERT_TRUE(m_dfu.update(firmwareOf(image), false));
    for (const Bytes& sent : m_device.sent)
        EXPECT_EQ(1024u, sent.size());  // type byte and the whole command report
    EXPECT_EQ(Bytes(1017 - tail.size(), 0), Bytes(m_device.sent[2].begin() + 7 + 66, m_device.sent[2].end()));
    EXPECT_EQ(Bytes(1017, 0), Bytes(m_device.sent[3].begin() + 7, m_device.sent[3].end()));
    ASSERT_EQ(5u, m_progress.size());  // a poll timeout of 1000 ms leaves nothing to wait for
    EXPECT_NEAR(1017 * 75.0 / 2100, m_progress[1], 1e-9);
    EXPECT_EQ((Progress{0.0, 75.0, 100.0}), (Progress{m_progress[0], m_progress[3], m_progress[4]}));
    EXPECT_EQ(CsrHidDfu::kActivityWriting, m_activities[3]);
    EXPECT_EQ(CsrHidDfu::kActivityCompleting, m_activities[4]);

    // An empty image is only the final record; no image at all sends nothing.
    DfuFirmware empty = firmwareOf({1});
    empty.resize(0, false);
    script({reply(2, status(2)), expectSet(1, block(0, {})), reply(2, status(2))});
    EXPECT_TRUE(m_dfu.update(empty, false));
    script({reply(2, status(2))});
    EXPECT_FALSE(m_dfu.update(DfuFirmware(), false));
}

// A busy device, or one whose status can't be read, gets a second and one more read.
TEST_F(CsrHidDfuTest, UpdateWaitsASecondForABusyOrUnreadableStatus)
{
    for (const Step& first : {reply(2, status(4)), reply(2, {}, kIOReturnError), reply(2, {2})}) {
        script({reply(2, status(2)), expectSet(1, block(0, {9})), first, reply(2, status(5)),
                expectSet(1, block(1, {})), reply(2, status(2))});
        m_device.times.clear();
        CaptureStderr();
        EXPECT_TRUE(m_dfu.update(firmwareOf({9}), false));
        GetCapturedStderr();
        ASSERT_EQ(6u, m_device.times.size());
        EXPECT_GE(gap(2, 3), 1.0);
    }
}

TEST_F(CsrHidDfuTest, UpdateWaitsThePollTimeoutsTheDeviceAsksFor)
{
    const Bytes image = pattern(2034);
    const auto run = [&](bool usePollTimeout, std::uint32_t lastPoll) {
        script({reply(2, status(2)), expectSet(1, block(0, Bytes(image.begin(), image.begin() + 1017))),
                reply(2, status(5, 300)), expectSet(1, block(1, Bytes(image.begin() + 1017, image.end()))), reply(2, status(5, lastPoll)),
                expectSet(1, block(2, {})), reply(2, status(2))});
        m_device.times.clear();
        m_progress.clear();
        m_activities.clear();
        EXPECT_TRUE(m_dfu.update(firmwareOf(image), usePollTimeout));
    };
    // Before the second block's status, the 300 ms the first one asked for.
    run(true, 0);
    EXPECT_GE(gap(2, 4), 0.3);
    EXPECT_EQ(4u, m_progress.size());
    // After the last block, all but a second of its poll timeout, with progress from 75 to 100.
    run(false, 1300);
    EXPECT_GE(gap(4, 6), 0.3);
    ASSERT_GT(m_progress.size(), 5u);
    EXPECT_EQ(75.0, m_progress[2]);
    EXPECT_GT(m_progress[3], 75.0);
    EXPECT_EQ(CsrHidDfu::kActivityCompleting, m_activities[3]);
    EXPECT_EQ(100.0, m_progress.back());
    EXPECT_TRUE(std::is_sorted(m_progress.begin(), m_progress.end()));
}

TEST_F(CsrHidDfuTest, UpdateFailuresAndWarnings)
{
    // A device error after a block is proven through `update` in tests/blackbox.
    ScriptCase cases[] = {
        {{reply(2, status(2)), expectSet(1, block(0, {9}), kIOReturnError)}, false,
         "update: error writing record @0 - device may be corrupt\n"},
        {{reply(2, status(2)), expectSet(1, block(0, {9})), reply(2, status(5)), expectSet(1, block(1, {}), kIOReturnError),
          reply(2, {}, kIOReturnError)},
         true,
         "update: error writing final record @1 - device may be corrupt\n"
         "update: warning - unexpected device state after update 256, 0\n"},
    };
    for (ScriptCase& c : cases) {
        script(std::move(c.steps));
        m_progress.clear();
        CaptureStderr();
        EXPECT_EQ(c.result, m_dfu.update(firmwareOf({9}), false));
        EXPECT_EQ(c.message, GetCapturedStderr());
        EXPECT_EQ(c.result, m_progress.back() == 100.0);
    }
    // Beyond 16-bit block numbers the image is refused before anything is sent.
    DfuFirmware image;
    image.resize(65535u * 1017u + 1u, false);
    CaptureStderr();
    EXPECT_FALSE(m_dfu.update(image, false));
    EXPECT_NE("", GetCapturedStderr());
}

TEST_F(CsrHidDfuTest, BackupEndsOnAShortOrUnfilledReport)
{
    m_device.props[platform::kHidVendorIdKey] = 0x0B0B;
    struct Case {
        std::vector<Bytes> reports;
        std::size_t size;
    } cases[] = {
        {{dataReport(1017, 1023), dataReport(500, 1023)}, 1517},
        {{dataReport(1017, 1023), dataReport(0, 1023)}, 1017},
        {{dataReport(1, 7)}, 1},
        {{dataReport(0, 6)}, 0},
    };
    for (const Case& c : cases) {
        std::deque<Step> steps{reply(2, status(2))};
        for (const Bytes& report : c.reports)
            steps.push_back(reply(1, report));
        script(steps);
        DfuFirmware backup;
        m_progress.clear();
        ASSERT_TRUE(m_dfu.backup(backup));
        EXPECT_EQ(c.size, backup.size());
        EXPECT_EQ(Bytes(c.size, 0xAB), Bytes(backup.data(), backup.data() + backup.size()));
        EXPECT_EQ((std::vector<std::uint16_t>{0x0B0B, 0x1004, 0x0321}),
                  (std::vector<std::uint16_t>{backup.idVendor(), backup.idProduct(), backup.deviceRelease()}));
        EXPECT_EQ(100.0, m_progress.back());
        EXPECT_TRUE(std::all_of(m_progress.begin(), m_progress.end(), [](double v) { return std::isfinite(v); }));
        EXPECT_EQ(CsrHidDfu::kActivityReading, m_activities.back());
    }
}

TEST_F(CsrHidDfuTest, BackupProgressFollowsTheCsrHeaderLength)
{
    std::deque<Step> steps{reply(2, status(2))};
    for (int i = 0; i < 4; ++i)
        steps.push_back(reply(1, dataReport(1017, 1023)));
    steps.push_back(reply(1, dataReport(0, 6)));
    const Bytes header = {'C', 'S', 'R', '-', 'd', 'f', 'u', 0, 0, 0, 0xE4, 0x0F, 0, 0};  // 4068 bytes
    std::copy(header.begin(), header.end(), steps[1].bytes.begin() + 6);
    script(steps);
    DfuFirmware backup;
    ASSERT_TRUE(m_dfu.backup(backup));
    EXPECT_EQ((Progress{25.0, 50.0, 75.0, 100.0, 100.0}), m_progress);
}

TEST_F(CsrHidDfuTest, BackupRejectsMalformedDataAndLeavesAClearedFirmware)
{
    const std::pair<Step, const char*> cases[] = {
        {reply(1, dataReport(2000, 1023)), "backup: device signalled implausible data size 2000/1023\n"},
        {reply(1, dataReport(2, 7)), "backup: device signalled implausible data size 2/7\n"},
        {reply(1, {1, 0, 0, 0, 0}), "backup: short packet from device: 5\n"},
        {reply(1, {7, 0, 0, 0, 0, 0}), "backup: unexpected report ID: 07\n"},
        {reply(1, {}, kIOReturnError), "backup: failed to read data from device\n"},
    };
    for (const auto& c : cases) {
        script({reply(2, status(2)), reply(1, dataReport(1017, 1023)), c.first});
        DfuFirmware backup = firmwareOf({1, 2, 3});
        m_progress.clear();
        CaptureStderr();
        EXPECT_FALSE(m_dfu.backup(backup));
        EXPECT_EQ(c.second, GetCapturedStderr());
        EXPECT_TRUE(backup.equals(DfuFirmware()));
        EXPECT_EQ(100.0, m_progress.back());
    }
    // An image that would outgrow what a DFU file can hold is refused before it does.
    struct SmallLimit : CsrHidDfu {
        explicit SmallLimit(std::size_t limit) { m_maxBackupLength = limit; }
    };
    for (std::size_t limit : {2033u, 2034u}) {
        SmallLimit dfu(limit);
        ASSERT_TRUE(dfu.connect(kLocation, 0, 0, 0, 0, 0));
        script({reply(2, status(2)), reply(1, dataReport(1017, 1023)), reply(1, dataReport(1017, 1023)),
                reply(1, dataReport(0, 6))});
        DfuFirmware backup;
        CaptureStderr();
        EXPECT_EQ(limit == 2034u, dfu.backup(backup));
        EXPECT_EQ(limit == 2034u ? "" : "backup: image larger than 2033 bytes - its file could not be loaded\n",
                  GetCapturedStderr());
        EXPECT_EQ(limit == 2034u ? 2034u : 0u, backup.size());
        m_device.script.clear();
    }
    // A device that can't be brought to idle gives no progress at all.
    script({reply(2, status(10)), expectSet(3, {3, 4}), reply(2, status(10))});
    DfuFirmware backup;
    m_progress.clear();
    CaptureStderr();
    EXPECT_FALSE(m_dfu.backup(backup));
    GetCapturedStderr();
    EXPECT_TRUE(m_progress.empty());
}

}  // namespace
}  // namespace kel
