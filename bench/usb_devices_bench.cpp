// Listing and monitoring costs on the in-process bus: `devices` over 10, 100, 1000 and
// 4000 devices, the time from a device's arrival to its line in the monitor's output, and how
// often the monitor's threads wake while nothing changes.
//
//   usb_devices_bench [--runs N] [--arrivals N] [--idle SECONDS]

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kel_arkcommand.h"
#include "lib/kel_usbdiscovery.h"
#include "tests/support/fake_usb.h"
#include "platform/runloop.h"

namespace {

using Clock = std::chrono::steady_clock;
using kel::platform::EmulatedUsbBus;
using kel::platform::EmulatedUsbDevice;
using kel::platform::EmulatedUsbDeviceConfig;

double milliseconds(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

// A device like the ones on a desk: strings in two languages, one without a product
// string in four.
std::shared_ptr<EmulatedUsbDevice> makeDevice(unsigned n)
{
    EmulatedUsbDeviceConfig config;
    config.idVendor = n % 4 ? 0x0A12 : 0x046D;
    config.idProduct = static_cast<std::uint16_t>(0x1000 + n);
    config.bcdDevice = 0x0100;
    config.locationId = 0x01000000u | (n << 8);
    config.manufacturerIndex = 1;
    config.productIndex = n % 4 ? 2 : 0;
    config.serialIndex = 3;
    config.languages = {0x0409, 0x0407};
    auto device = std::make_shared<EmulatedUsbDevice>(config);
    device->setString(1, 0x0409, u"M\u00fcller Electronics");
    device->setString(2, 0x0409, u"Keyboard \u2013 " + std::u16string(1, char16_t(u'A' + n % 26)));
    device->setString(3, 0x0409, u"SN" + std::u16string(8, u'0'));
    return device;
}

// Runs `body` with standard output on /dev/null, so that the printing is paid for but
// not the terminal.
template <typename Body>
void withStdoutDiscarded(Body body)
{
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, STDOUT_FILENO);
    close(null);
    body();
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
}

void devicesCommand(int runs)
{
    double previous = 0;
    unsigned previousCount = 0;
    for (unsigned count : {10u, 100u, 1000u, 4000u}) {
        EmulatedUsbBus bus;
        kel::platform::ScopedUsbBackend backend(bus);
        for (unsigned n = 0; n < count; ++n)
            bus.attach(makeDevice(n));
        std::vector<double> samples;
        for (int run = 0; run < runs; ++run) {
            const Clock::time_point start = Clock::now();
            withStdoutDiscarded([] { kel::ark_CommandDevices(0, 0, false); });
            samples.push_back(milliseconds(Clock::now() - start));
        }
        std::sort(samples.begin(), samples.end());
        const double median = samples[samples.size() / 2];
        std::printf("devices over %4u devices: median %8.2f ms, min %8.2f ms, %6.1f us per device", count, median,
                    samples.front(), 1000 * median / count);
        if (previous > 0)
            std::printf(", time x%.1f for devices x%u", median / previous, count / previousCount);
        std::printf("\n");
        previous = median;
        previousCount = count;
    }
}

void monitorLatency(int arrivals)
{
    EmulatedUsbBus bus;
    kel::platform::ScopedUsbBackend backend(bus);
    for (unsigned n = 0; n < 20; ++n)
        bus.attach(makeDevice(n));

    std::FILE* sink = std::fopen("/dev/null", "w");
    std::mutex mutex;
    std::condition_variable printed;
    std::size_t printedCount = 0;
    Clock::time_point printedAt;

    kel::UsbDiscovery discovery;
    // What the monitor does with each change: the whole list, one line, flushed.
    discovery.start([&](kel::UsbDiscovery& changed) {
        kel::JSONDevices devices;
        devices.updateDeviceList(changed);
        devices.write(sink);
        std::fflush(sink);
        std::lock_guard<std::mutex> lock(mutex);
        printedCount = changed.deviceCount();
        printedAt = Clock::now();
        printed.notify_all();
    });

    std::vector<double> samples;
    std::thread plugger([&] {
        for (int i = 0; i < arrivals; ++i) {
            auto device = makeDevice(100 + unsigned(i));
            std::unique_lock<std::mutex> lock(mutex);
            const std::size_t expected = bus.devices().size() + 1;
            const Clock::time_point start = Clock::now();
            bus.attach(device);
            printed.wait(lock, [&] { return printedCount == expected; });
            samples.push_back(milliseconds(printedAt - start));
            lock.unlock();
            // Removals are printed too; let that one go by before the next arrival.
            bus.detach(device);
            lock.lock();
            printed.wait(lock, [&] { return printedCount == expected - 1; });
        }
        kel::platform::RunLoop::main()->stop();
    });
    kel::platform::RunLoop::main()->run();
    plugger.join();
    discovery.stop();
    std::fclose(sink);

    std::sort(samples.begin(), samples.end());
    std::printf("monitor, arrival to line (20 devices present): %d arrivals, median %.3f ms, p99 %.3f ms, "
                "max %.3f ms\n",
                arrivals, samples[samples.size() / 2], samples[samples.size() * 99 / 100], samples.back());
}

// Voluntary and involuntary context switches of every thread of this process: a thread
// blocked in poll() adds none, one that polls on a timer adds one per wake-up.
unsigned long contextSwitches()
{
    unsigned long total = 0;
    DIR* tasks = opendir("/proc/self/task");
    if (!tasks)
        return 0;
    while (dirent* task = readdir(tasks)) {
        if (task->d_name[0] == '.')
            continue;
        const std::string path = std::string("/proc/self/task/") + task->d_name + "/status";
        std::FILE* status = std::fopen(path.c_str(), "r");
        if (!status)
            continue;
        char line[256];
        while (std::fgets(line, sizeof line, status)) {
            unsigned long value = 0;
            if (std::sscanf(line, "voluntary_ctxt_switches: %lu", &value) == 1 ||
                std::sscanf(line, "nonvoluntary_ctxt_switches: %lu", &value) == 1)
                total += value;
        }
        std::fclose(status);
    }
    closedir(tasks);
    return total;
}

void monitorIdle(double seconds)
{
    EmulatedUsbBus bus;
    kel::platform::ScopedUsbBackend backend(bus);
    for (unsigned n = 0; n < 20; ++n)
        bus.attach(makeDevice(n));
    std::atomic<int> lists{0};
    kel::UsbDiscovery discovery;
    discovery.start([&](kel::UsbDiscovery&) { ++lists; });

    // The main thread sleeps in the main run loop; a watcher thread samples around it.
    unsigned long before = 0, after = 0;
    std::thread watcher([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));  // settle
        before = contextSwitches();
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        after = contextSwitches();
        kel::platform::RunLoop::main()->stop();
    });
    kel::platform::RunLoop::main()->run();
    watcher.join();
    discovery.stop();
    // The watcher's own two sleeps and its reads of /proc count as a few switches.
    std::printf("monitor idle for %.1f s with 20 devices: %lu context switches in all threads, %d lists printed\n",
                seconds, after - before, lists.load());
}

}  // namespace

int main(int argc, char** argv)
{
    int runs = 15;
    int arrivals = 500;
    double idle = 2;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--runs"))
            runs = std::max(1, std::atoi(argv[i + 1]));
        else if (!std::strcmp(argv[i], "--arrivals"))
            arrivals = std::max(1, std::atoi(argv[i + 1]));
        else if (!std::strcmp(argv[i], "--idle"))
            idle = std::atof(argv[i + 1]);
    }
    devicesCommand(runs);
    monitorLatency(arrivals);
    if (idle > 0)
        monitorIdle(idle);
    return 0;
}
