// What the binary cannot reach cheaply against the black-box CSR model: framing refusals,
// diagnostics, the waits, reacquisition after a reset, and progress arithmetic.
#include "lib/kel_csrhiddfu.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numeric>

#include "lib/kel_dfufirmware.h"
#include "tests/support/fake_hid.h"

namespace kel {
namespace {

using namespace testing;
using ::testing::internal::CaptureStderr;
using ::testing::internal::GetCapturedStderr;
using Progress = std::vector<double>;

constexpr std::uint32_t kLocation = 0x01200000;

Bytes status(std::uint8_t state, std::uint32_t pollTimeout = 0, std::uint8_t code = 0)
{
    return {2, 0x77, static_cast<std::uint8_t>(pollTimeout), static_cast<std::uint8_t>(pollTimeout >> 8),
            static_cast<std::uint8_t>(pollTimeout >> 16), state, code};
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
Bytes dataReport(std::size_t payload, std::size_t length)
{
    Bytes report(length, 0xAB);
    report[0] = 1;
    report[1] = static_cast<std::uint8_t>(payload);
    report[2] = static_cast<std::uint8_t>(payload >> 8);
    return report;
}
DfuFirmware firmwareOf(const Bytes& image, std::size_t size)
{
    DfuFirmware firmware;
    firmware.setData(image.data(), image.size());
    firmware.resize(size, false);
    return firmware;
}

class CsrHidDfuTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dfu.connect(kLocation, 0x0A12, 0x1004, 0, 0, 0));
        m_dfu.setProgressCallback(
            [](void* context, double percent, CsrHidDfu::Activity activity) {
                static_cast<CsrHidDfuTest*>(context)->m_progress.push_back(percent);
                static_cast<CsrHidDfuTest*>(context)->m_activities.push_back(activity);
            },
            this);
    }
    void TearDown() override
    {
        EXPECT_TRUE(m_device.script.empty()) << m_device.script.size() << " steps left";
        EXPECT_EQ(std::vector<std::string>(), m_device.errors);
    }
    // Runs `call` against a fresh script and record; returns what it printed.
    template <typename Call>
    std::string run(std::deque<Step> steps, Call call)
    {
        m_device.script = std::move(steps);
        m_device.times.clear();
        m_device.sent.clear();
        m_progress.clear();
        m_activities.clear();
        CaptureStderr();
        call();
        return GetCapturedStderr();
    }
    double gap(std::size_t from, std::size_t to) const
    {
        return std::chrono::duration<double>(m_device.times.at(to) - m_device.times.at(from)).count();
    }

    FakeHidBus m_bus;
    FakeHidDevice& m_device = m_bus.attach(csrProperties());
    struct : CsrHidDfu {
        using CsrHidDfu::m_maxBackupLength;
    } m_dfu;
    Progress m_progress;
    std::vector<CsrHidDfu::Activity> m_activities;
};

// The header, data and zero tail of the reports an update sends are checked with it.
TEST(ChdMakeCommand, RefusesWhatDoesNotFitAndLeavesTheBufferUntouched)
{
    const Bytes data(1018, 0x55);
    Bytes buffer(1023, 0xEE), huge(70000);
    EXPECT_FALSE(chdMakeCommand(buffer, 1, 0, data.data(), 1018));
    EXPECT_FALSE(chdMakeCommand(buffer, 256, 0, data.data(), 3));
    EXPECT_FALSE(chdMakeCommand(buffer, 1, 65536, data.data(), 3));
    EXPECT_FALSE(chdMakeCommand(buffer, 1, 0, nullptr, 3));
    EXPECT_FALSE(chdMakeCommand(huge, 1, 0, huge.data(), 65536));
    EXPECT_EQ(Bytes(1023, 0xEE), buffer);
    ASSERT_TRUE(chdMakeCommand(buffer, 1, 65535, data.data(), 1017));
    EXPECT_EQ(block(65535, Bytes(1017, 0x55)), buffer);
}

// The shapes of malformed status reports are the fuzz target's; here the fields and diagnostics.
TEST_F(CsrHidDfuTest, StatusAndControlReports)
{
    std::uint32_t state = 0, pollTimeout = 0, code = 0;
    EXPECT_EQ("getDeviceStatus: get-status returned malformed data\n"
              "clearDeviceStatus: failed to clear device status\nreset: failed to reset device\n",
              run({reply(2, status(10, 0x030201, 0x0E)), reply(2, {2, 0, 0, 0, 0, 2}), reply(2, {}, kIOReturnError),
                   expectSet(3, {3, 4}), expectSet(3, {3, 4}, kIOReturnError), expectSet(3, {3, 0xFF}, kIOReturnError)},
                  [&] {
                      ASSERT_TRUE(m_dfu.getDeviceStatus(state, pollTimeout, code));
                      EXPECT_EQ((std::vector<std::uint32_t>{10, 0x030201, 0x0E}),
                                (std::vector<std::uint32_t>{state, pollTimeout, code}));
                      EXPECT_FALSE(m_dfu.getDeviceStatus(state, pollTimeout, code));
                      EXPECT_FALSE(m_dfu.getDeviceStatus(state, pollTimeout, code));  // unread: no message
                      EXPECT_TRUE(m_dfu.clearDeviceStatus());
                      EXPECT_FALSE(m_dfu.clearDeviceStatus());
                      EXPECT_FALSE(m_dfu.reset());
                  }));
    EXPECT_EQ(3u, m_device.sent.back().size());

    CsrHidDfu unconnected;
    CaptureStderr();
    EXPECT_FALSE(unconnected.reset() || unconnected.clearDeviceStatus());
    EXPECT_EQ("", GetCapturedStderr());
}

TEST_F(CsrHidDfuTest, SetDeviceToIdleClearsOrResetsAndFindsTheDeviceAgain)
{
    // Connected with a usage, so that the reopening can be seen to keep it; the device changes
    // its product ID before each case.
    m_device.props[platform::kHidProductIdKey] = 0x2000;
    ASSERT_TRUE(m_dfu.connect(kLocation, 0x0A12, 0x2000, 1, 0xFF00, 0));
    const Step clear = expectSet(3, {3, 4}), reset = expectSet(3, {3, 0xFF});
    struct Case {
        std::deque<Step> steps;
        bool result;
        const char* message;
    } cases[] = {
        {{reply(2, status(10)), clear, reply(2, status(10, 0, 3))}, false,
         "setDeviceToIdle: failed to clear device error - final state 10, 3\n"},
        {{reply(2, {}, kIOReturnError), reset, reply(2, status(2))}, true, ""},
        {{reply(2, status(5)), reset, reply(2, status(10)), clear, reply(2, status(2))}, true, ""},
        {{reply(2, status(0)), reset, reply(2, status(10)), clear, reply(2, status(10, 0, 6))}, false,
         "setDeviceToIdle: failed to clear device error after reset - final state 10, 6\n"},
        {{reply(2, status(5)), reset, reply(2, status(4))}, false, ""},
    };
    for (Case& c : cases) {
        const bool resets = c.steps[1].bytes == reset.bytes;
        const std::size_t opens = m_bus.matchings.size();
        ++m_device.props[platform::kHidProductIdKey];
        EXPECT_EQ(c.message, run(std::move(c.steps), [&] { EXPECT_EQ(c.result, m_dfu.setDeviceToIdle()); }));
        EXPECT_TRUE(m_dfu.isConnected());
        if (!resets) {
            EXPECT_EQ(opens, m_bus.matchings.size());
            continue;
        }
        EXPECT_EQ((platform::HidMatching{{"LocationID", kLocation}, {"DeviceUsage", 1}, {"DeviceUsagePage", 0xFF00}}),
                  m_bus.matchings.back());
        EXPECT_GE(gap(1, 2), 0.05);  // it pauses before looking for the device
    }

    // A device that does not come back is looked for every 50 ms for 5 s; a loaded machine
    // makes fewer tries.
    m_device.props[platform::kHidLocationIdKey] = 0x99;
    const std::size_t opens = m_bus.matchings.size();
    EXPECT_EQ("setDeviceToIdle: timeout reaquiring device after reset\n",
              run({reply(2, status(5)), reset}, [&] { EXPECT_FALSE(m_dfu.setDeviceToIdle()); }));
    EXPECT_GE(Clock::now() - m_device.times.back(), std::chrono::seconds(5));
    EXPECT_GE(m_bus.matchings.size() - opens, 20u);
    EXPECT_LE(m_bus.matchings.size() - opens, 101u);
    EXPECT_FALSE(m_dfu.isConnected() || m_dfu.isOpen());
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

// Block numbers, sizes and data, and progress within 75 then 100, are proven through `update`
// in tests/blackbox; here whole zero-padded reports and the waits: a second after a status that
// is busy or can't be read, and the poll timeouts the device asks for.
TEST_F(CsrHidDfuTest, UpdateSendsWholeReportsAndWaitsAsTheDeviceAsks)
{
    Bytes image(1100);
    std::iota(image.begin(), image.end(), 7);
    const auto update = [&](bool usePollTimeout, const Step& first, std::uint32_t lastPoll) {
        run({reply(2, status(2)), expectSet(1, block(0, Bytes(image.begin(), image.begin() + 1017))), first,
             reply(2, status(5, 300)), expectSet(1, block(1, Bytes(image.begin() + 1017, image.end()))),
             reply(2, status(5, lastPoll)), expectSet(1, block(2, {})), reply(2, status(2))},
            [&] { EXPECT_TRUE(m_dfu.update(firmwareOf(image, image.size()), usePollTimeout)); });
        EXPECT_GE(gap(2, 3), 1.0);
    };
    // Before the second block, the 300 ms the first one's status asked for.
    update(true, reply(2, {}, kIOReturnError), 0);
    EXPECT_GE(gap(3, 5), 0.3);
    EXPECT_EQ((Progress{0.0, 1017.0 / 1100.0 * 75.0, 75.0, 100.0}), m_progress);
    EXPECT_EQ(CsrHidDfu::kActivityCompleting, m_activities.back());
    for (const Bytes& sent : m_device.sent)
        EXPECT_EQ(1024u, sent.size());  // type byte and the whole command report
    EXPECT_EQ(Bytes(1017 - 83, 0), Bytes(m_device.sent[1].begin() + 7 + 83, m_device.sent[1].end()));
    EXPECT_EQ(Bytes(1017, 0), Bytes(m_device.sent[2].begin() + 7, m_device.sent[2].end()));

    // After the last block, all but a second of its poll timeout, with progress from 75 to 100.
    update(false, reply(2, status(4)), 1300);
    EXPECT_GE(gap(5, 7), 0.3);
    ASSERT_GT(m_progress.size(), 5u);
    EXPECT_EQ(75.0, m_progress[2]);
    EXPECT_GT(m_progress[3], 75.0);
    EXPECT_EQ(CsrHidDfu::kActivityCompleting, m_activities[3]);
    EXPECT_EQ(100.0, m_progress.back());
    EXPECT_TRUE(std::is_sorted(m_progress.begin(), m_progress.end()));
}

// A device error after a block is proven through `update` in tests/blackbox.
TEST_F(CsrHidDfuTest, UpdateFailuresWarningsAndEmptyImages)
{
    const Step idle = reply(2, status(2));
    struct Case {
        DfuFirmware firmware;
        std::deque<Step> steps;
        bool result;
        const char* message;
        Progress progress;
    } cases[] = {
        {firmwareOf({9}, 1), {idle, expectSet(1, block(0, {9}), kIOReturnError)}, false,
         "update: error writing record @0 - device may be corrupt\n", {0.0}},
        {firmwareOf({9}, 1),
         {idle, expectSet(1, block(0, {9})), reply(2, status(5)), expectSet(1, block(1, {}), kIOReturnError),
          reply(2, {}, kIOReturnError)},
         true,
         "update: error writing final record @1 - device may be corrupt\n"
         "update: warning - unexpected device state after update 256, 0\n",
         {0.0, 75.0, 100.0}},
        {firmwareOf({9}, 1), {reply(2, status(10)), expectSet(3, {3, 4}), reply(2, status(10))}, false,
         "setDeviceToIdle: failed to clear device error - final state 10, 0\n"
         "update: unable to return device to idle - device may be non functional\n",
         {}},
        {firmwareOf({9}, 0), {idle, expectSet(1, block(0, {})), idle}, true, "", {0.0, 100.0}},
        {DfuFirmware(), {idle}, false, "", {}},
        // Beyond 16-bit block numbers the image is refused before anything is sent.
        {firmwareOf({9}, 65535u * 1017u + 1u), {}, false,
         "update: image of 66649096 bytes needs 65536 records, more than 65535 - nothing sent\n", {}},
    };
    for (Case& c : cases) {
        EXPECT_EQ(c.message, run(std::move(c.steps), [&] { EXPECT_EQ(c.result, m_dfu.update(c.firmware, false)); }));
        EXPECT_EQ(c.progress, m_progress);
    }
}

// Images ending in a full or a partial report, with the device's identification and reading
// progress, are proven through `backup` in tests/blackbox.
TEST_F(CsrHidDfuTest, BackupEndsOnAShortReportOrRefusesMalformedData)
{
    m_dfu.m_maxBackupLength = 2034;
    const Step idle = reply(2, status(2)), full = reply(1, dataReport(1017, 1023)), end = reply(1, dataReport(0, 6));
    constexpr std::size_t kFailed = ~std::size_t{0};
    const struct {
        std::deque<Step> steps;
        std::size_t size;  // of the image, or kFailed
        const char* message;
    } cases[] = {
        {{idle, reply(1, dataReport(1, 7))}, 1, ""},
        {{idle, end}, 0, ""},
        {{idle, full, full, end}, 2034, ""},
        {{idle, full, full, full}, kFailed, "backup: image larger than 2034 bytes - its file could not be loaded\n"},
        {{idle, full, reply(1, dataReport(2000, 1023))}, kFailed,
         "backup: device signalled implausible data size 2000/1023\n"},
        {{idle, full, reply(1, dataReport(2, 7))}, kFailed, "backup: device signalled implausible data size 2/7\n"},
        {{idle, full, reply(1, {1, 0, 0, 0, 0})}, kFailed, "backup: short packet from device: 5\n"},
        {{idle, full, reply(1, {7, 0, 0, 0, 0, 0})}, kFailed, "backup: unexpected report ID: 07\n"},
        {{idle, full, reply(1, {}, kIOReturnError)}, kFailed, "backup: failed to read data from device\n"},
    };
    for (const auto& c : cases) {
        DfuFirmware backup = firmwareOf({1, 2, 3}, 3);
        EXPECT_EQ(c.message, run(c.steps, [&] { EXPECT_EQ(c.size != kFailed, m_dfu.backup(backup)); }));
        EXPECT_EQ(100.0, m_progress.back());
        EXPECT_EQ(Bytes(c.size != kFailed ? c.size : 0, 0xAB), Bytes(backup.data(), backup.data() + backup.size()));
    }

    // Progress follows the total length in a CSR file header, here 2034 bytes.
    std::deque<Step> steps{idle, full, full, end};
    const Bytes header = {'C', 'S', 'R', '-', 'd', 'f', 'u', 0, 0, 0, 0xF2, 0x07, 0, 0};
    std::copy(header.begin(), header.end(), steps[1].bytes.begin() + 6);
    DfuFirmware backup;
    run(steps, [&] { EXPECT_TRUE(m_dfu.backup(backup)); });
    EXPECT_EQ((Progress{50.0, 100.0, 100.0}), m_progress);

    // A device that can't be brought to idle gives no progress at all.
    run({reply(2, status(10)), expectSet(3, {3, 4}), reply(2, status(10))},
        [&] { EXPECT_FALSE(m_dfu.backup(backup)); });
    EXPECT_TRUE(m_progress.empty());
}

}  // namespace
}  // namespace kel
