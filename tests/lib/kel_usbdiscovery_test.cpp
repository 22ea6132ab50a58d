// What the binary cannot reach cheaply: look-ups, filters the command line cannot express, two
// records under one identifier, host faults, a client replaced or stopped, races from many threads.
// Listing with strings and names, vendor and product filters, arrivals and removals as `monitor`
// prints them are proven through the binary (tests/blackbox/test_devices.py, test_monitor.py).
#include "lib/kel_usbdiscovery.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <tuple>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "kel_arkcommand.h"
#include "platform/runloop.h"
#include "tests/support/fake_usb.h"
#include "tests/support/test_util.h"

namespace kel {
namespace {

using platform::EmulatedUsbDevice;
using platform::RunLoop;
using ::testing::ElementsAre;
using DeviceInfo = UsbDiscovery::DeviceInfo;
using Locations = std::vector<std::uint32_t>;

std::shared_ptr<EmulatedUsbDevice> makeDevice(std::uint16_t vendor, std::uint16_t product, std::uint32_t location,
                                              const std::u16string& productName = u"Widget")
{
    platform::EmulatedUsbDeviceConfig config;
    config.idVendor = vendor;
    config.idProduct = product;
    config.locationId = location;
    config.deviceClass = 9;
    config.manufacturerIndex = 1;
    config.productIndex = 2;
    config.serialIndex = 3;
    auto device = std::make_shared<EmulatedUsbDevice>(config);
    device->setString(1, 0x0409, u"Maker");
    device->setString(2, 0x0409, productName);
    device->setString(3, 0x0409, u"SN-1");
    return device;
}

Locations locations(UsbDiscovery& discovery)
{
    std::list<UsbIdentifier> identifiers;
    discovery.getDevices(identifiers);
    Locations result;
    for (const auto& identifier : identifiers)
        result.push_back(identifier.locationId());
    return result;
}

std::string productOf(UsbDiscovery& discovery, const UsbIdentifier& identifier)
{
    DeviceInfo info;
    return discovery.getDeviceInfo(info, identifier) ? info.product : "(absent)";
}

// Serves the main queue until `done` holds; false after ten seconds.
bool serveMainUntil(const std::function<bool()>& done)
{
    return testing::eventually([&] { return done() || (RunLoop::main()->runFor(0.05, true), done()); });
}

// Serves the main queue for a moment, for what must not happen.
void serveMainBriefly()
{
    RunLoop::main()->runFor(0.2, false);
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

    platform::EmulatedUsbBus bus;
    platform::ScopedUsbBackend backend{bus};
};

TEST_F(UsbDiscoveryTest, LooksUpByAllThreeIdsAndFiltersWhatItAdds)
{
    plug(0x1234, 0x0001, 0x01000000);
    plug(0x1234, 0x0002, 0x02000000);
    plug(0x5678, 0x0001, 0x03000000);
    UsbDiscovery discovery;
    discovery.setFilter(0x9999);  // the look-up by location does not ask the discovery
    UsbIdentifier identifier;
    ASSERT_TRUE(UsbDiscovery::getDeviceAtLocation(identifier, 0x02000000));
    EXPECT_EQ("1234-0002-02000000", identifier.string());
    EXPECT_FALSE(UsbDiscovery::getDeviceAtLocation(identifier, 0x04000000));
    EXPECT_TRUE(identifier.isInvalid());

    const std::vector<std::pair<std::function<void(UsbDiscovery&)>, Locations>> filters{
        {[](UsbDiscovery& d) { d.setFilter(0x1234); d.setFilter(0x1234, 0x0002); }, {0x02000000}},  // replaces
        {[](UsbDiscovery& d) { d.setLocationFilter(0x03000000); }, {0x03000000}},
        {[](UsbDiscovery& d) { d.setFilter(UsbIdentifier(0x1234, 0x0001, 0x02000000)); }, {}},
        {[](UsbDiscovery& d) { d.setFilter({UsbFilter(0x5678), UsbFilter(0x1234, 0x0001)}); }, {0x01000000, 0x03000000}},
        {[](UsbDiscovery& d) { d.clearFilter(); }, {0x01000000, 0x02000000, 0x03000000}},
    };
    for (const auto& filter : filters) {
        filter.first(discovery);
        ASSERT_TRUE(discovery.start());
        EXPECT_EQ(locations(discovery), filter.second);
        discovery.stop();
    }
    ASSERT_TRUE(discovery.start());
    EXPECT_TRUE(discovery.isActive());
    DeviceInfo info;
    ASSERT_TRUE(discovery.getDeviceInfo(info, UsbIdentifier(0x1234, 0x0001, 0x01000000)));
    EXPECT_EQ(9, info.deviceClass);
    EXPECT_FALSE(discovery.isDevicePresent(UsbIdentifier(0x1234, 0x0001, 0x02000000)));
    EXPECT_FALSE(discovery.isDevicePresent(UsbIdentifier(0x1234, 0x0002, 0x01000000)));
    EXPECT_FALSE(discovery.getDeviceInfo(info, UsbIdentifier(0x1235, 0x0001, 0x01000000)));
    EXPECT_EQ(0u, info.locationId + info.bcdDevice + info.deviceClass);  // cleared
    EXPECT_TRUE(info.name.empty() && info.manufacturer.empty());
}

// A re-enumerated device whose old self is reported gone only after the new one arrived: for a
// while two records share one identifier, and the details are the older one's. That a change is
// told once, and a filtered-out arrival not at all, is proven through `monitor`.
TEST_F(UsbDiscoveryTest, ARestartReplacesTheClientAndTheOldestRecordAnswers)
{
    UsbDiscovery discovery;
    int first = 0, second = 0;
    ASSERT_TRUE(discovery.start([&](UsbDiscovery& d) {
        EXPECT_EQ(&discovery, &d);
        ++first;
    }));
    auto before = plug(0x1234, 0x0001, 0x01000000, u"Before");
    ASSERT_TRUE(serveMainUntil([&] { return first == 1; }));

    ASSERT_TRUE(discovery.start([&](UsbDiscovery&) { ++second; }));  // replaces the client
    EXPECT_EQ(1u, discovery.deviceCount());                          // no second drain
    plug(0x1234, 0x0002, 0x03000000);
    ASSERT_TRUE(serveMainUntil([&] { return second == 1; }));
    auto after = plug(0x1234, 0x0001, 0x01000000, u"After");
    ASSERT_TRUE(serveMainUntil([&] { return second == 2; }));
    const UsbIdentifier twice(0x1234, 0x0001, 0x01000000);
    EXPECT_THAT(locations(discovery), ElementsAre(0x01000000u, 0x03000000u, 0x01000000u));
    EXPECT_EQ(productOf(discovery, twice), "Before");
    bus.detach(before);
    ASSERT_TRUE(serveMainUntil([&] { return second == 3; }));
    EXPECT_THAT(locations(discovery), ElementsAre(0x03000000u, 0x01000000u));
    EXPECT_EQ(productOf(discovery, twice), "After");
    bus.detach(after);
    ASSERT_TRUE(serveMainUntil([&] { return second == 4; }));
    EXPECT_FALSE(discovery.isDevicePresent(twice));
    serveMainBriefly();
    EXPECT_EQ(1, first);
    EXPECT_EQ(4, second);

    discovery.stop();
    discovery.stop();
    EXPECT_FALSE(discovery.isActive());
    EXPECT_EQ(0u, discovery.deviceCount());
    EXPECT_FALSE(discovery.isDevicePresent(UsbIdentifier(0x1234, 0x0002, 0x03000000)));
    plug(0x1234, 0x0003, 0x04000000);  // stopped: reaches nobody
    serveMainBriefly();
    EXPECT_EQ(4, second);
}

TEST_F(UsbDiscoveryTest, DevicesThatFailAreLeftOutAndHostFaultsReported)
{
    using Q = EmulatedUsbDevice;
    std::uint32_t location = 0x01000000;
    for (const auto query : {Q::kInformation, Q::kLocation, Q::kVendor, Q::kProduct, Q::kRelease})
        plug(0x1234, 0x0001, location++)->failures[query] = kIOReturnTimeout;
    // String and class failures cost only what they fetch.
    auto noProduct = plug(0x1234, 0x0002, 0x0a000000);
    noProduct->failures[Q::kProductIndex] = kIOReturnError;
    noProduct->failures[Q::kClass] = kIOReturnError;
    {
        UsbDiscovery discovery;
        ASSERT_TRUE(discovery.start());
        EXPECT_THAT(locations(discovery), ElementsAre(0x0a000000u));
        DeviceInfo info;
        ASSERT_TRUE(discovery.getDeviceInfo(info, UsbIdentifier(0x1234, 0x0002, 0x0a000000)));
        EXPECT_EQ(std::make_tuple("Maker", "", "SN-1", 0),
                  std::tie(info.manufacturer, info.product, info.serial, info.deviceClass));
    }

    bus.interestResult = kIOReturnNoResources;
    {
        UsbDiscovery discovery;
        ::testing::internal::CaptureStderr();
        EXPECT_TRUE(discovery.start());
        EXPECT_EQ(0u, discovery.deviceCount());
        EXPECT_EQ("Failed to add un-plug notification for USB device - ignoring.\n",
                  ::testing::internal::GetCapturedStderr());
    }
    bus.interestResult = kIOReturnSuccess;
    bus.matchingResult = kIOReturnError;
    UsbDiscovery discovery;
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(discovery.start());
    EXPECT_EQ("Error e00002bc adding matching notification\n", ::testing::internal::GetCapturedStderr());
    EXPECT_FALSE(discovery.isActive());
    bus.matchingResult = kIOReturnSuccess;
    EXPECT_TRUE(discovery.start());  // a failed start can be retried
    EXPECT_EQ(1u, discovery.deviceCount());
    discovery.stop();

    // Without a port `devices` prints no document, as an empty one would claim that nothing
    // is attached; `monitor` meets the same failure through the binary.
    bus.portCreationFails = true;
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(ark_CommandDevices(0, 0, false));
    EXPECT_EQ("", ::testing::internal::GetCapturedStdout());
    EXPECT_EQ("Can't create a USB notification port\n", ::testing::internal::GetCapturedStderr());
}

TEST_F(UsbDiscoveryTest, NoBlockRunsAfterStopOrDestruction)
{
    plug(0x1234, 0x0001, 0x01000000);
    int runs = 0;
    auto discovery = std::make_unique<UsbDiscovery>();
    ASSERT_TRUE(discovery->start([&](UsbDiscovery&) { ++runs; }));
    // The initial notification is posted but the main queue has not run yet.
    plug(0x1234, 0x0002, 0x02000000);
    ASSERT_TRUE(testing::eventually([&] { return discovery->deviceCount() == 2; }));
    discovery.reset();
    serveMainBriefly();
    EXPECT_EQ(0, runs);

    // A block may stop, or destroy, its own discovery.
    UsbDiscovery* doomed = new UsbDiscovery;
    ASSERT_TRUE(doomed->start([&](UsbDiscovery& d) {
        ++runs;
        d.stop();
        delete &d;
    }));
    ASSERT_TRUE(serveMainUntil([&] { return runs == 1; }));
    serveMainBriefly();
}

// Devices come and go from many threads while the list is followed through the block. Every list
// the block sees must have been on the bus at one instant: after the last of its devices arrived
// and before the first of them left. Each attachment has a location of its own (thread, slot and
// round), and a ledger gives every attach and detach its place in the bus's order. Once the bus
// is quiet, the list is the bus.
TEST_F(UsbDiscoveryTest, StressPluggingFromManyThreads)
{
    constexpr int kThreads = 6, kDevicesPerThread = 60, kRounds = 16;
    constexpr std::uint64_t kStillAttached = ~std::uint64_t(0);
    struct Span {
        std::uint64_t attached = 0, detached = 0;
    };
    std::mutex ledgerMutex;
    std::uint64_t ledgerSequence = 0;
    std::map<std::uint32_t, Span> ledger;  // by location

    UsbDiscovery discovery;
    std::atomic<int> inconsistent{0};
    Locations seen;  // the client's latest list; blocks run on this thread
    ASSERT_TRUE(discovery.start([&](UsbDiscovery& d) {
        seen = locations(d);
        std::uint64_t lastArrival = 0, firstRemoval = kStillAttached;
        {
            std::lock_guard<std::mutex> lock(ledgerMutex);
            for (const std::uint32_t location : seen) {
                const Span& span = ledger[location];  // one never attached reads {0, 0}: inconsistent
                lastArrival = std::max(lastArrival, span.attached);
                firstRemoval = std::min(firstRemoval, span.detached);
            }
        }
        inconsistent += lastArrival >= firstRemoval;
        inconsistent += std::set<std::uint32_t>(seen.begin(), seen.end()).size() != seen.size();
        for (const std::uint32_t location : seen) {
            // A removal may land between the two calls: an absent record reads as cleared.
            const std::string text = productOf(d, UsbIdentifier(0x1234, std::uint16_t(location >> 24), location));
            inconsistent += text != "Widget" && text != "(absent)";
        }
    }));

    std::atomic<int> finished{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 random(static_cast<std::uint32_t>(t));
            std::vector<std::shared_ptr<EmulatedUsbDevice>> mine(kDevicesPerThread);
            for (int round = 0; round < kRounds; ++round) {
                for (std::size_t i = 0; i < kDevicesPerThread; ++i) {
                    std::lock_guard<std::mutex> lock(ledgerMutex);
                    if (mine[i] && random() % 2 == 0) {
                        bus.detach(mine[i]);
                        ledger[mine[i]->config.locationId].detached = ++ledgerSequence;
                        mine[i].reset();
                    } else if (!mine[i]) {
                        const std::uint32_t location =
                            std::uint32_t(t) << 24 | std::uint32_t(round) << 16 | std::uint32_t(i);
                        mine[i] = makeDevice(0x1234, static_cast<std::uint16_t>(t), location);
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
    Locations onBus;
    for (const auto& device : bus.devices())
        onBus.push_back(device->config.locationId);
    // The client hears of the last change too, however late its blocks are served.
    ASSERT_TRUE(serveMainUntil([&] { return locations(discovery) == onBus && seen == onBus; }));
    EXPECT_EQ(inconsistent.load(), 0);
}

}  // namespace
}  // namespace kel
