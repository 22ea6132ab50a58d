// Feeds arbitrary status and data reports through a scripted fake device into
// CsrHidDfu::getDeviceStatus and CsrHidDfu::backup, and checks what they promise.
//
// Input: byte 0 picks the maximum feature report size (bits 0-1); then records of one kind
// byte (bit 0: 0 status report, 1 data report; bit 1: the read fails), a 16-bit little-endian
// length and that many report bytes.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "lib/kel_csrhiddfu.h"
#include "lib/kel_dfufirmware.h"
#include "tests/support/fake_hid.h"

namespace {

using kel::testing::Bytes;
using kel::testing::reply;

void check(bool condition)
{
    if (!condition)
        std::abort();
}

void progress(void*, double percent, kel::CsrHidDfu::Activity activity)
{
    check(std::isfinite(percent) && percent >= 0.0 && percent <= 100.0);
    check(activity == kel::CsrHidDfu::kActivityReading);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    static const bool quiet = [] {
        std::setvbuf(stderr, nullptr, _IOFBF, 1 << 16);  // the diagnostics are expected; keep them cheap
        return true;
    }();
    (void)quiet;
    static const std::int64_t kFeatureSizes[4] = {7, 8, 64, 1023};
    kel::testing::FakeHidBus bus;
    auto properties = kel::testing::csrProperties();
    properties[kel::platform::kHidMaxFeatureReportSizeKey] = kFeatureSizes[data[0] & 3];
    auto& device = bus.attach(properties);

    // Status reports first, then the idle status the backup starts with, then the data reports.
    std::vector<Bytes> statusReports;
    std::deque<kel::testing::Step> dataReports;
    std::size_t dataBytes = 0;
    for (std::size_t at = 1; at + 3 <= size;) {
        const std::uint8_t kind = data[at];
        std::size_t length = data[at + 1] | (data[at + 2] << 8);
        at += 3;
        length = std::min(length, size - at);
        Bytes report(data + at, data + at + length);
        at += length;
        const kel::IOReturn result = (kind & 2) ? kel::kIOReturnError : kel::kIOReturnSuccess;
        if (kind & 1) {
            dataBytes += report.size();
            dataReports.push_back(reply(1, std::move(report), result));
        } else {
            // What the host receives: the report cut to the feature report size.
            statusReports.emplace_back(report.begin(),
                                       report.begin() + std::min<std::int64_t>(static_cast<std::int64_t>(report.size()),
                                                                               kFeatureSizes[data[0] & 3]));
            device.script.push_back(reply(2, std::move(report), result));
        }
    }
    device.script.push_back(reply(2, {2, 0, 0, 0, 0, 2, 0}));
    device.script.insert(device.script.end(), dataReports.begin(), dataReports.end());

    kel::CsrHidDfu dfu;
    check(dfu.connect(0x01200000, 0x0A12, 0x1004, 0, 0, 0));
    dfu.setProgressCallback(&progress, nullptr);
    for (const auto& report : statusReports) {
        std::uint32_t state = 0, pollTimeout = 0, status = 0;
        if (dfu.getDeviceStatus(state, pollTimeout, status))
            check(report.size() == 7 && report[0] == 2 && state == report[5] && status == report[6] &&
                  pollTimeout < (1u << 24));
        else
            check(state == 256 && pollTimeout == 0 && status == 0);
    }

    kel::DfuFirmware firmware;
    if (dfu.backup(firmware)) {
        check(firmware.size() <= dataBytes);
        check(firmware.idVendor() == 0x0A12 && firmware.idProduct() == 0x1004);
    } else {
        check(firmware.size() == 0 && firmware.data() == nullptr && firmware.idVendor() == 0xFFFF);
    }
    return 0;
}
