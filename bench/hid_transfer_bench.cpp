// Host cost of a firmware transfer: `update` and `backup` of a 4 MiB image through the real
// commands against the emulated CSR device, which answers at once. The device notes when each
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
#include "platform/emulated/csr_device.h"
#include "platform/emulated/hid_emulated.h"

namespace {

using Clock = std::chrono::steady_clock;
using kel::platform::EmulatedCsrDevice;
using kel::platform::HidDevice;

constexpr const char* kIdentifier = "0a12-1004-01200000";
constexpr std::size_t kImageSize = 4u << 20;

class TimedCsrDevice : public EmulatedCsrDevice {
public:
    std::vector<Clock::time_point> blocks;

protected:
    kel::IOReturn handleSetReport(HidDevice::ReportType type, std::uint32_t reportId, const std::uint8_t* data,
                                  std::size_t length) override
    {
        if (type == HidDevice::kReportTypeFeature && reportId == 1)
            blocks.push_back(Clock::now());
        return EmulatedCsrDevice::handleSetReport(type, reportId, data, length);
    }
    kel::IOReturn handleGetReport(HidDevice::ReportType type, std::uint32_t reportId, std::uint8_t* buffer,
                                  std::size_t& length) override
    {
        if (type == HidDevice::kReportTypeFeature && reportId == 1)
            blocks.push_back(Clock::now());
        return EmulatedCsrDevice::handleGetReport(type, reportId, buffer, length);
    }
};

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
    kel::platform::EmulatedHidBus bus;
    kel::platform::ScopedHidBackend scope(bus);
    auto device = std::make_shared<TimedCsrDevice>();
    device->setResetBehaviour(true, 0.0);
    bus.attach(device);

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
        device->blocks.clear();
        device->blocks.reserve(8192);
        auto start = Clock::now();
        const bool updated = kel::ark_CommandUpdate(kIdentifier, path.c_str());
        updateWall.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        const auto gaps = gapsMicroseconds(device->blocks);
        updateGaps.insert(updateGaps.end(), gaps.begin(), gaps.end());
        if (!updated || device->firmware() != image) {
            std::fprintf(stderr, "update failed\n");
            return 1;
        }

        device->blocks.clear();
        start = Clock::now();
        const bool backedUp = kel::ark_CommandBackup(kIdentifier, backupPath.c_str());
        backupWall.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        const auto readGaps = gapsMicroseconds(device->blocks);
        backupGaps.insert(backupGaps.end(), readGaps.begin(), readGaps.end());
        if (!backedUp) {
            std::fprintf(stderr, "backup failed\n");
            return 1;
        }
    }
    std::remove(path.c_str());
    std::remove(backupPath.c_str());

    const std::size_t blocks = (kImageSize + 1016) / 1017;
    std::fprintf(stderr, "4 MiB image, %zu blocks of 1017 bytes, %d runs each\n", blocks, repetitions);
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
    kel::platform::EmulatedHidBus bus;
    kel::platform::ScopedHidBackend scope(bus);
    auto device = std::make_shared<EmulatedCsrDevice>();
    bus.attach(device);

    if (get) {
        // The device never answers; the command waits its 200 ms per name, so ask enough names.
        const std::vector<std::string> names(static_cast<std::size_t>(seconds * 5.0) + 1, "silent");
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
