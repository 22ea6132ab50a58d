// Feeds arbitrary status and data reports through the emulated CSR device into
// CsrHidDfu::getDeviceStatus and CsrHidDfu::backup, and checks what they promise.
//
// Input: byte 0 picks the maximum feature report size (bits 0-1) and padded uploads (bit 2);
// then records of one kind byte (bit 0: 0 status report, 1 data report; bit 1: the read
// fails), a 16-bit little-endian length and that many report bytes.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "lib/kel_csrhiddfu.h"
#include "lib/kel_dfufirmware.h"
#include "platform/emulated/csr_device.h"
#include "platform/emulated/hid_emulated.h"

namespace {

using kel::platform::EmulatedCsrDevice;
using kel::platform::HidDevice;

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

kel::platform::EmulatedHidBus& bus()
{
    static kel::platform::EmulatedHidBus* const instance = [] {
        auto* created = new kel::platform::EmulatedHidBus;
        kel::platform::setHidBackend(created);
        std::setvbuf(stderr, nullptr, _IOFBF, 1 << 16);  // the diagnostics are expected; keep them cheap
        return created;
    }();
    return *instance;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    // At least 7, so that the idle status can be read and the backup never resets the device.
    static const std::uint32_t kFeatureSizes[4] = {7, 8, 64, 1023};
    EmulatedCsrDevice::Config config;
    config.maxFeatureReportSize = kFeatureSizes[data[0] & 3];
    auto device = std::make_shared<EmulatedCsrDevice>(config);
    device->setPadDataReports((data[0] & 4) != 0);
    bus().attach(device);

    std::vector<std::vector<std::uint8_t>> statusReports;
    std::size_t dataBytes = 0;
    for (std::size_t at = 1; at + 3 <= size;) {
        const std::uint8_t kind = data[at];
        std::size_t length = data[at + 1] | (data[at + 2] << 8);
        at += 3;
        if (length > size - at)
            length = size - at;
        std::vector<std::uint8_t> report(data + at, data + at + length);
        at += length;
        const kel::IOReturn result = (kind & 2) ? kel::kIOReturnError : kel::kIOReturnSuccess;
        if (kind & 1) {
            dataBytes += report.size();
            device->queueGetReply(HidDevice::kReportTypeFeature, 1, result, std::move(report));
        } else {
            // What the host receives: the report cut to the feature report size.
            statusReports.emplace_back(report.begin(), report.begin() + std::min<std::size_t>(
                                                                      report.size(), config.maxFeatureReportSize));
            device->queueGetReply(HidDevice::kReportTypeFeature, 2, result, std::move(report));
        }
    }

    {
        kel::CsrHidDfu dfu;
        check(dfu.connect(config.locationId, config.vendorId, config.productId, 0, 0, 0));
        dfu.setProgressCallback(&progress, nullptr);
        for (const auto& report : statusReports) {
            std::uint32_t state = 0, pollTimeout = 0, status = 0;
            const bool valid = dfu.getDeviceStatus(state, pollTimeout, status);
            if (valid)
                check(report.size() == 7 && report[0] == 2 && state == report[5] && status == report[6] &&
                      pollTimeout < (1u << 24));
            else
                check(state == 256 && pollTimeout == 0 && status == 0);
        }

        // The device answers its own idle status now, so the backup reads the queued data reports.
        kel::DfuFirmware firmware;
        if (dfu.backup(firmware)) {
            check(firmware.size() <= dataBytes);
            check(firmware.idVendor() == config.vendorId && firmware.idProduct() == config.productId);
        } else {
            check(firmware.size() == 0 && firmware.data() == nullptr && firmware.idVendor() == 0xFFFF);
        }
    }
    bus().detach(device);
    return 0;
}
