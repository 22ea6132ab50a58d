// Host cost of a firmware transfer: `update` and `backup` of a 4 MiB image through the real
// commands against a scripted fake device, which answers at once. The device notes when each
// block (command report 1 or data report 1) reaches it; the gap between two blocks is what the
// tool spends per block: framing, the status round trip, progress and its JSON document, which
// goes to /dev/null. Target: median under 20 us per block.
//
//   hid_transfer_bench [repetitions]      the transfer figures
//   hid_transfer_bench --idle SECONDS     an open engine doing nothing for SECONDS
//   hid_transfer_bench --get SECONDS      one `get` whose answer never comes, waiting SECONDS
//
// The last two are for `strace -f -c`: the input thread must not make system calls beyond
// its blocking wait, so the counts must not grow with SECONDS.

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kel_arkcommand.h"
#include "lib/kel_dfufirmware.h"
#include "lib/kel_hidengine.h"
#include "tests/support/fake_hid.h"

namespace {

using kel::testing::Bytes;
using kel::testing::Clock;
using kel::testing::expectSet;
using kel::testing::reply;

constexpr const char* kIdentifier = "0a12-1004-01200000";
constexpr std::size_t kImageSize = 4u << 20;
constexpr std::size_t kBlocks = (kImageSize + 1016) / 1017;
const Bytes kIdle = {2, 0, 0, 0, 0, 2, 0};

// The requests of an update, then of a backup of the same image; each command ends with a reset.
void scriptUpdate(kel::testing::FakeHidDevice& device)
{
    device.script.push_back(reply(2, kIdle));
    for (std::size_t block = 0; block <= kBlocks; ++block) {
        device.script.push_back(expectSet(1, {1, 1}));
        device.script.push_back(reply(2, {2, 0, 0, 0, 0, static_cast<std::uint8_t>(block < kBlocks ? 5 : 2), 0}));
    }
    device.script.push_back(expectSet(3, {3, 0xFF}));
}
void scriptBackup(kel::testing::FakeHidDevice& device, const Bytes& image)
{
    device.script.push_back(reply(2, kIdle));
    for (std::size_t at = 0; at <= image.size(); at += 1017) {
        const std::size_t payload = std::min<std::size_t>(1017, image.size() - at);
        Bytes report = {1, static_cast<std::uint8_t>(payload), static_cast<std::uint8_t>(payload >> 8), 0, 0, 0};
        report.insert(report.end(), image.begin() + static_cast<std::ptrdiff_t>(at),
                      image.begin() + static_cast<std::ptrdiff_t>(at + payload));
        report.resize(1023);
        device.script.push_back(reply(1, std::move(report)));
    }
    device.script.push_back(expectSet(3, {3, 0xFF}));
}

// Every `stride`-th request time from `first` on.
std::vector<Clock::time_point> every(const std::vector<Clock::time_point>& times, std::size_t first, std::size_t stride)
{
    std::vector<Clock::time_point> picked;
    for (std::size_t i = first; i < times.size(); i += stride)
        picked.push_back(times[i]);
    return picked;
}

double quantile(std::vector<double> values, double q)
{
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(q * static_cast<double>(values.size() - 1))];
}

double mean(const std::vector<double>& values)
{
    double sum = 0.0;
    for (double value : values)
        sum += value;
    return values.empty() ? 0.0 : sum / static_cast<double>(values.size());
}

std::vector<double> gapsMicroseconds(const std::vector<Clock::time_point>& times)
{
    std::vector<double> gaps;
    for (std::size_t i = 1; i < times.size(); ++i)
        gaps.push_back(std::chrono::duration<double, std::micro>(times[i] - times[i - 1]).count());
    return gaps;
}

std::vector<std::uint8_t> csrImage()
{
    std::vector<std::uint8_t> image(kImageSize);
    for (std::size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<std::uint8_t>(i * 131 + (i >> 11));
    std::memcpy(image.data(), "CSR-dfu", 7);
    for (int i = 0; i < 4; ++i)
        image[10 + i] = static_cast<std::uint8_t>(kImageSize >> (8 * i));
    return image;
}

int transfers(int repetitions)
{
    kel::testing::FakeHidBus bus;
    auto& device = bus.attach(kel::testing::csrProperties());

    const std::vector<std::uint8_t> image = csrImage();
    const std::string path = "/tmp/hid_transfer_bench_" + std::to_string(getpid()) + ".dfu";
    const std::string backupPath = path + ".backup";
    {
        kel::DfuFirmware firmware;
        firmware.setVendorId(0x0A12);
        firmware.setProductId(0x1004);
        firmware.setData(image.data(), image.size());
        if (!firmware.save(path.c_str())) {
            std::fprintf(stderr, "cannot write %s\n", path.c_str());
            return 1;
        }
    }

    // The documents go to /dev/null; the figures to standard error.
    if (!std::freopen("/dev/null", "w", stdout))
        return 1;

    std::vector<double> updateGaps, backupGaps, updateWall, backupWall;
    for (int run = 0; run < repetitions; ++run) {
        device.times.clear();
        device.times.reserve(3 * kBlocks);
        device.sent.clear();
        scriptUpdate(device);
        auto start = Clock::now();
        const bool updated = kel::ark_CommandUpdate(kIdentifier, path.c_str());
        updateWall.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        const auto gaps = gapsMicroseconds(every(device.times, 1, 2));
        updateGaps.insert(updateGaps.end(), gaps.begin(), gaps.end() - 1);
        if (!updated || !device.script.empty() || !device.errors.empty()) {
            std::fprintf(stderr, "update failed\n");
            return 1;
        }

        device.times.clear();
        scriptBackup(device, image);
        start = Clock::now();
        const bool backedUp = kel::ark_CommandBackup(kIdentifier, backupPath.c_str());
        backupWall.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        const auto readGaps = gapsMicroseconds(every(device.times, 1, 1));
        backupGaps.insert(backupGaps.end(), readGaps.begin(), readGaps.end() - 1);
        if (!backedUp || !device.script.empty() || !device.errors.empty()) {
            std::fprintf(stderr, "backup failed\n");
            return 1;
        }
    }
    std::remove(path.c_str());
    std::remove(backupPath.c_str());

    std::fprintf(stderr, "4 MiB image, %zu blocks of 1017 bytes, %d runs each\n", kBlocks, repetitions);
    const auto report = [](const char* name, const std::vector<double>& gaps, const std::vector<double>& wall) {
        std::fprintf(stderr,
                     "%s: per block %.2f us median, %.2f us 99th percentile, %.2f us mean; "
                     "%.1f ms per transfer (median wall time of the command)\n",
                     name, quantile(gaps, 0.5), quantile(gaps, 0.99), mean(gaps), quantile(wall, 0.5));
    };
    report("update", updateGaps, updateWall);
    report("backup", backupGaps, backupWall);
    std::fprintf(stderr, "target: under 20 us per block\n");
    return 0;
}

int idle(double seconds, bool get)
{
    kel::testing::FakeHidBus bus;
    auto& device = bus.attach(kel::testing::csrProperties());

    if (get) {
        // The device never answers; the command waits its 200 ms per name, so ask enough names.
        const std::vector<std::string> names(static_cast<std::size_t>(seconds * 5.0) + 1, "silent");
        for (std::size_t i = 0; i < names.size(); ++i)
            device.script.push_back(expectSet(1, {1, 's'}));
        kel::ark_CommandControl(kIdentifier, names, true);
        return 0;
    }
    kel::HidEngine engine;
    if (!engine.open(0x01200000, 0x0A12, 0x1004, 0, 0, 0))
        return 1;
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && (std::strcmp(argv[1], "--idle") == 0 || std::strcmp(argv[1], "--get") == 0))
        return idle(std::atof(argv[2]), std::strcmp(argv[1], "--get") == 0);
    const int repetitions = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    return transfers(repetitions);
}
