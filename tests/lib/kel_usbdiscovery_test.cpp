#include "lib/kel_usbdiscovery.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/support/fake_usb.h"
#include "platform/runloop.h"
#include "tests/support/test_util.h"

namespace kel {
namespace {

using platform::EmulatedUsbBus;
using platform::EmulatedUsbDevice;
using platform::EmulatedUsbDeviceConfig;
using platform::RunLoop;
using DeviceInfo = UsbDiscovery::DeviceInfo;

std::shared_ptr<EmulatedUsbDevice> makeDevice(std::uint16_t vendor, std::uint16_t product, std::uint32_t location,
                                              const std::u16string& productName = u"")
{
    EmulatedUsbDeviceConfig config;
    config.idVendor = vendor;
    config.idProduct = product;
    config.locationId = location;
    config.bcdDevice = 0x0123;
    config.deviceClass = 9;
    config.manufacturerIndex = 1;
    config.productIndex = productName.empty() ? 0 : 2;
    config.serialIndex = 3;
    auto device = EmulatedUsbDevice::create(config);
    device->setString(1, 0x0409, u"Maker");
    if (!productName.empty())
        device->setString(2, 0x0409, productName);
    device->setString(3, 0x0409, u"SN-1");
    return device;
}

std::vector<std::uint32_t> locations(UsbDiscovery& discovery)
{
    std::list<UsbIdentifier> identifiers;
    discovery.getDevices(identifiers);
    std::vector<std::uint32_t> result;
    for (const auto& identifier : identifiers)
        result.push_back(identifier.locationId());
    return result;
}

std::vector<std::uint32_t> locations(const EmulatedUsbBus& bus)
{
    std::vector<std::uint32_t> result;
    for (const auto& device : bus.devices())
        result.push_back(device->config().locationId);
    return result;
}

class UsbDiscoveryTest : public ::testing::Test {
protected:
    std::shared_ptr<EmulatedUsbDevice> plug(std::uint16_t vendor, std::uint16_t product, std::uint32_t location,
                                            const std::u16string& productName = u"Widget")
    {
        auto device = makeDevice(vendor, product, location, productName);
        bus.attach(device);
        return device;
    }

    // Serves the main queue until `done` holds; false after ten seconds.
    static bool serveMainUntil(const std::function<bool()>& done)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            RunLoop::main()->runFor(0.05, true);
        }
        return true;
    }

    // Serves the main queue for a moment, for what must not happen.
    static void serveMainBriefly() { RunLoop::main()->runFor(0.2, false); }

    EmulatedUsbBus bus;
    platform::ScopedUsbBackend backend{bus};
};

// The strings, names and escapes of the records are proven through the binary.
TEST_F(UsbDiscoveryTest, StartListsAttachedDevicesInOrderMatchingAllThreeIds)
{
    plug(0x1234, 0x0001, 0x14100000, u"Caf\u00e9");
    plug(0x0a12, 0x0002, 0x14200000, u"");
    UsbDiscovery discovery;
    ASSERT_TRUE(discovery.start());
    EXPECT_TRUE(discovery.isActive());
    EXPECT_THAT(locations(discovery), ::testing::ElementsAre(0x14100000u, 0x14200000u));
    DeviceInfo info;
    ASSERT_TRUE(discovery.getDeviceInfo(info, UsbIdentifier(0x1234, 0x0001, 0x14100000)));
    EXPECT_EQ(9, info.deviceClass);
    EXPECT_EQ("Caf\\351", info.product);
    EXPECT_FALSE(discovery.isDevicePresent(UsbIdentifier(0x1234, 0x0001, 0x14200000)));
    EXPECT_FALSE(discovery.isDevicePresent(UsbIdentifier(0x1234, 0x0002, 0x14100000)));
    EXPECT_FALSE(discovery.getDeviceInfo(info, UsbIdentifier(0x1235, 0x0001, 0x14100000)));
    EXPECT_EQ(0u, info.locationId + info.bcdDevice);  // cleared
    EXPECT_TRUE(info.name.empty());
}

TEST_F(UsbDiscoveryTest, FiltersActOnDevicesAddedAfterThem)
{
    plug(0x1234, 0x0001, 0x01000000);
    plug(0x1234, 0x0002, 0x02000000);
    plug(0x5678, 0x0001, 0x03000000);

    UsbDiscovery discovery;
    discovery.setFilter(0x1234);
    discovery.setFilter(0x1234, 0x0002);  // replaces the vendor-only filter
    ASSERT_TRUE(discovery.start());
    EXPECT_THAT(locations(discovery), ::testing::ElementsAre(0x02000000u));
    discovery.stop();

    discovery.setFilter(0x1234);
    discovery.start();
    EXPECT_THAT(locations(discovery), ::testing::ElementsAre(0x01000000u, 0x02000000u));
    discovery.stop();

    discovery.setLocationFilter(0x03000000);
    discovery.start();
    EXPECT_THAT(locations(discovery), ::testing::ElementsAre(0x03000000u));
    discovery.stop();

    discovery.setFilter(UsbIdentifier(0x1234, 0x0001, 0x02000000));  // no such device
    discovery.start();
    EXPECT_EQ(0u, discovery.deviceCount());
    discovery.stop();

    discovery.setFilter(std::vector<UsbFilter>{UsbFilter(0x5678), UsbFilter(0x1234, 0x0001)});
    discovery.start();
    EXPECT_THAT(locations(discovery), ::testing::ElementsAre(0x01000000u, 0x03000000u));
    discovery.stop();

    discovery.clearFilter();
    discovery.start();
    EXPECT_EQ(3u, discovery.deviceCount());
}

TEST_F(UsbDiscoveryTest, StartTwiceReplacesTheClientAndStopTwiceIsHarmless)
{
    plug(0x1234, 0x0001, 0x01000000);
    UsbDiscovery discovery;
    int first = 0;
    int second = 0;
    ASSERT_TRUE(discovery.start([&](UsbDiscovery& d) {
        EXPECT_EQ(&discovery, &d);
        ++first;
    }));
    ASSERT_TRUE(serveMainUntil([&] { return first == 1; }));

    ASSERT_TRUE(discovery.start([&](UsbDiscovery&) { ++second; }));
    EXPECT_EQ(1u, discovery.deviceCount());  // no second drain
    plug(0x1234, 0x0002, 0x02000000);
    ASSERT_TRUE(serveMainUntil([&] { return second == 1; }));
    EXPECT_EQ(1, first);

    discovery.stop();
    discovery.stop();
    EXPECT_FALSE(discovery.isActive());
    EXPECT_EQ(0u, discovery.deviceCount());
    DeviceInfo info;
    EXPECT_FALSE(discovery.getDeviceInfo(info, UsbIdentifier(0x1234, 0x0001, 0x01000000)));
    // Stopped: changes reach nobody.
    plug(0x1234, 0x0003, 0x03000000);
    serveMainBriefly();
    EXPECT_EQ(1, second);
}

TEST_F(UsbDiscoveryTest, ArrivalsAndRemovalsEachTellTheClientOnce)
{
    UsbDiscovery discovery;
    discovery.setFilter(0x1234);
    int runs = 0;
    ASSERT_TRUE(discovery.start([&](UsbDiscovery&) { ++runs; }));
    serveMainBriefly();
    EXPECT_EQ(0, runs);  // nothing matched at start

    auto device = plug(0x1234, 0x0001, 0x01000000);
    ASSERT_TRUE(serveMainUntil([&] { return runs == 1; }));
    plug(0x9999, 0x0001, 0x02000000);  // filtered out
    serveMainBriefly();
    EXPECT_EQ(1, runs);

    plug(0x1234, 0x0002, 0x03000000);
    ASSERT_TRUE(serveMainUntil([&] { return runs == 2; }));
    bus.detach(device);
    ASSERT_TRUE(serveMainUntil([&] { return runs == 3; }));
    EXPECT_THAT(locations(discovery), ::testing::ElementsAre(0x03000000u));

    // The same device at the same place again: a new record, at the end.
    bus.attach(makeDevice(0x1234, 0x0001, 0x01000000, u"Widget"));
    ASSERT_TRUE(serveMainUntil([&] { return runs == 4; }));
    EXPECT_THAT(locations(discovery), ::testing::ElementsAre(0x03000000u, 0x01000000u));
}

// A re-enumerated device whose old self is reported gone only after the new one arrived:
// for a while two records share one identifier, and the details are the older one's.
TEST_F(UsbDiscoveryTest, TwoRecordsUnderOneIdentifierAnswerOldestFirst)
{
    UsbDiscovery discovery;
    auto before = plug(0x1234, 0x0001, 0x01000000, u"Before");
    ASSERT_TRUE(discovery.start());
    auto after = plug(0x1234, 0x0001, 0x01000000, u"After");
    ASSERT_TRUE(serveMainUntil([&] { return discovery.deviceCount() == 2; }));
    const UsbIdentifier identifier(0x1234, 0x0001, 0x01000000);
    DeviceInfo info;
    ASSERT_TRUE(discovery.getDeviceInfo(info, identifier));
    EXPECT_EQ(info.product, "Before");

    bus.detach(before);
    ASSERT_TRUE(serveMainUntil([&] { return discovery.deviceCount() == 1; }));
    ASSERT_TRUE(discovery.getDeviceInfo(info, identifier));
    EXPECT_EQ(info.product, "After");
    bus.detach(after);
    ASSERT_TRUE(serveMainUntil([&] { return discovery.deviceCount() == 0; }));
    EXPECT_FALSE(discovery.isDevicePresent(identifier));
}

TEST_F(UsbDiscoveryTest, DevicesThatFailTheirQueriesAreLeftOut)
{
    using Q = EmulatedUsbDevice;
    std::uint32_t location = 0x01000000;
    for (const auto query : {Q::kInformation, Q::kLocation, Q::kVendor, Q::kProduct, Q::kRelease}) {
        auto device = plug(0x1234, 0x0001, location);
        device->failQuery(query, kIOReturnTimeout);
        location += 0x01000000;
    }
    // String and class failures cost only what they fetch.
    auto noStrings = plug(0x1234, 0x0002, 0x0a000000);
    noStrings->failQuery(Q::kProductIndex, kIOReturnError);
    noStrings->failQuery(Q::kClass, kIOReturnError);
    auto lying = plug(0x1234, 0x0003, 0x0b000000);
    lying->setRawString(2, 0x0409, {40, 3, 'A', 0});  // claims far more than it has

    UsbDiscovery discovery;
    ASSERT_TRUE(discovery.start());
    EXPECT_THAT(locations(discovery), ::testing::ElementsAre(0x0a000000u, 0x0b000000u));
    DeviceInfo info;
    ASSERT_TRUE(discovery.getDeviceInfo(info, UsbIdentifier(0x1234, 0x0002, 0x0a000000)));
    EXPECT_EQ("", info.product);
    EXPECT_EQ("Maker", info.manufacturer);
    EXPECT_EQ(0, info.deviceClass);
    EXPECT_THAT(info.name, ::testing::StartsWith("Unidentified device from "));
    ASSERT_TRUE(discovery.getDeviceInfo(info, UsbIdentifier(0x1234, 0x0003, 0x0b000000)));
    EXPECT_EQ("SN-1", info.serial);
}

TEST_F(UsbDiscoveryTest, ADeviceThatVanishesWhileQueriedIsNotLeftListed)
{
    UsbDiscovery discovery;
    int runs = 0;
    ASSERT_TRUE(discovery.start([&](UsbDiscovery&) { ++runs; }));
    for (std::size_t after = 1; after <= 6; ++after) {
        auto device = makeDevice(0x1234, 0x0001, static_cast<std::uint32_t>(after));
        device->detachAfterRequests(after);
        bus.attach(device);
    }
    auto last = plug(0x1234, 0x0002, 0x70000000);
    ASSERT_TRUE(serveMainUntil([&] { return locations(discovery) == std::vector<std::uint32_t>{0x70000000u}; }));
}

TEST_F(UsbDiscoveryTest, HostFaultsAreReported)
{
    plug(0x1234, 0x0001, 0x01000000);
    {
        bus.setInterestResult(kIOReturnNoResources);
        UsbDiscovery discovery;
        ::testing::internal::CaptureStderr();
        EXPECT_TRUE(discovery.start());
        EXPECT_EQ("Failed to add un-plug notification for USB device - ignoring.\n",
                  ::testing::internal::GetCapturedStderr());
        EXPECT_EQ(0u, discovery.deviceCount());
        bus.setInterestResult(kIOReturnSuccess);
    }
    {
        bus.setMatchingResult(kIOReturnError);
        UsbDiscovery discovery;
        ::testing::internal::CaptureStderr();
        EXPECT_FALSE(discovery.start());
        EXPECT_EQ("Error e00002bc adding matching notification\n", ::testing::internal::GetCapturedStderr());
        EXPECT_FALSE(discovery.isActive());
        bus.setMatchingResult(kIOReturnSuccess);
        EXPECT_TRUE(discovery.start());  // a failed start can be retried
        EXPECT_EQ(1u, discovery.deviceCount());
    }
    {
        bus.setPortCreationFails(true);
        UsbDiscovery discovery;
        ::testing::internal::CaptureStderr();
        EXPECT_FALSE(discovery.start());
        EXPECT_EQ("Can't create a USB notification port\n", ::testing::internal::GetCapturedStderr());
        discovery.stop();
        bus.setPortCreationFails(false);
    }
}

TEST_F(UsbDiscoveryTest, DeviceAtLocationIgnoresTheEngine)
{
    plug(0x1234, 0x0001, 0x01000000);
    UsbIdentifier identifier;
    ASSERT_TRUE(UsbDiscovery::getDeviceAtLocation(identifier, 0x01000000));
    EXPECT_EQ("1234-0001-01000000", identifier.string());
    EXPECT_FALSE(UsbDiscovery::getDeviceAtLocation(identifier, 0x02000000));
    EXPECT_TRUE(identifier.isInvalid());

    UsbDiscovery discovery;
    discovery.setFilter(0x9999);
    discovery.start();
    EXPECT_TRUE(discovery.getDeviceAtLocation(identifier, 0x01000000));
}

TEST_F(UsbDiscoveryTest, NoBlockRunsAfterStopOrDestruction)
{
    plug(0x1234, 0x0001, 0x01000000);
    int runs = 0;
    {
        auto discovery = std::make_unique<UsbDiscovery>();
        ASSERT_TRUE(discovery->start([&](UsbDiscovery&) { ++runs; }));
        // The initial notification is posted but the main queue has not run yet.
        plug(0x1234, 0x0002, 0x02000000);
        ASSERT_TRUE(testing::eventually([&] { return discovery->deviceCount() == 2; }));
        discovery.reset();
    }
    serveMainBriefly();
    EXPECT_EQ(0, runs);

    // A block may stop, or destroy, its own discovery.
    UsbDiscovery* doomed = new UsbDiscovery;
    bool ran = false;
    ASSERT_TRUE(doomed->start([&](UsbDiscovery& d) {
        ran = true;
        d.stop();
        delete &d;
    }));
    ASSERT_TRUE(serveMainUntil([&] { return ran; }));
    serveMainBriefly();
}

// Devices come and go from many threads while the list is followed through the block: every
// list the block sees is a set of distinct plugged devices, and once the bus is quiet the
// list is the bus.
// Every list the client sees must have been on the bus at one instant: some moment after the
// last of its devices arrived and before the first of them left. Each attachment is a device
// of its own identifier (thread, slot and round), and a ledger gives every attach and detach
// its place in the bus's order.
TEST_F(UsbDiscoveryTest, StressPluggingFromManyThreads)
{
    constexpr int kThreads = 6;
    constexpr int kDevicesPerThread = 60;
    constexpr int kRounds = 16;
    constexpr std::uint64_t kStillAttached = ~std::uint64_t(0);

    struct Span {
        std::uint64_t attached, detached;
    };
    std::mutex ledgerMutex;
    std::uint64_t ledgerSequence = 0;
    std::map<std::uint32_t, Span> ledger;  // by location, which carries the round
    auto locationOf = [](int thread, int slot, int round) {
        return std::uint32_t(thread) << 24 | std::uint32_t(round) << 16 | std::uint32_t(slot);
    };

    UsbDiscovery discovery;
    std::atomic<int> inconsistent{0};
    std::atomic<int> runs{0};
    ASSERT_TRUE(discovery.start([&](UsbDiscovery& d) {
        const auto listed = locations(d);
        {
            std::lock_guard<std::mutex> lock(ledgerMutex);
            std::uint64_t lastArrival = 0, firstRemoval = kStillAttached;
            for (const std::uint32_t location : listed) {
                const auto found = ledger.find(location);
                if (found == ledger.end()) {
                    ++inconsistent;
                    continue;
                }
                lastArrival = std::max(lastArrival, found->second.attached);
                firstRemoval = std::min(firstRemoval, found->second.detached);
            }
            if (lastArrival >= firstRemoval)
                ++inconsistent;
        }
        if (std::set<std::uint32_t>(listed.begin(), listed.end()).size() != listed.size())
            ++inconsistent;
        for (const std::uint32_t location : listed) {
            DeviceInfo info;
            // A removal may land between the two calls: an absent record reads as cleared.
            if (d.getDeviceInfo(info, UsbIdentifier(0x1234, location >> 24, location)) && info.name != "Widget")
                ++inconsistent;
        }
        ++runs;
    }));

    std::atomic<int> finished{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 random(t);
            std::vector<std::shared_ptr<EmulatedUsbDevice>> mine(kDevicesPerThread);
            for (int round = 0; round < kRounds; ++round) {
                for (int i = 0; i < kDevicesPerThread; ++i) {
                    if (mine[i] && random() % 2 == 0) {
                        std::lock_guard<std::mutex> lock(ledgerMutex);
                        bus.detach(mine[i]);
                        ledger[mine[i]->config().locationId].detached = ++ledgerSequence;
                        mine[i].reset();
                    } else if (!mine[i]) {
                        const std::uint32_t location = locationOf(t, i, round);
                        mine[i] = makeDevice(0x1234, static_cast<std::uint16_t>(t), location, u"Widget");
                        std::lock_guard<std::mutex> lock(ledgerMutex);
                        bus.attach(mine[i]);
                        ledger[location] = Span{++ledgerSequence, kStillAttached};
                    }
                }
            }
            ++finished;
        });
    }
    ASSERT_TRUE(serveMainUntil([&] { return finished == kThreads; }));
    for (auto& thread : threads)
        thread.join();
    ASSERT_TRUE(serveMainUntil([&] { return locations(discovery) == locations(bus); }));
    EXPECT_EQ(inconsistent.load(), 0);
    EXPECT_GT(runs.load(), 0);
}

}  // namespace
}  // namespace kel
