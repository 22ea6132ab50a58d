// An emulated HID device on a CSR chip that speaks CSR HID DFU over feature reports:
// command report 1 (download one block), status report 2, control report 3 (reset, clear
// status) and data report 1 read back during an upload.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/emulated/hid_emulated.h"

namespace kel {
namespace platform {

class EmulatedCsrDevice : public EmulatedHidDevice {
public:
    // DFU states and status codes, with the USB DFU numbering.
    enum : std::uint8_t {
        kStateIdle = 2,
        kStateDownloadBusy = 4,
        kStateDownloadIdle = 5,
        kStateUploadIdle = 9,
        kStateError = 10,
    };
    enum : std::uint8_t { kStatusOk = 0x00, kStatusErrAddress = 0x08, kStatusErrStalledPacket = 0x0F };

    struct Config {
        std::uint16_t vendorId = 0x0A12;
        std::uint16_t productId = 0x1004;
        std::uint16_t versionNumber = 0x0100;
        std::uint32_t locationId = 0x01200000;
        std::uint32_t maxFeatureReportSize = 1023;
        std::uint32_t maxInputReportSize = 64;
        std::uint32_t maxOutputReportSize = 64;
    };

    explicit EmulatedCsrDevice(const Config& config);
    EmulatedCsrDevice() : EmulatedCsrDevice(Config()) {}

    std::vector<std::uint8_t> firmware() const;
    void setFirmware(std::vector<std::uint8_t> image);

    std::uint8_t dfuState() const;
    std::uint8_t dfuStatus() const;
    void setDfuState(std::uint8_t state, std::uint8_t status);

    // The poll timeout every status report carries.
    void setPollTimeout(std::uint32_t ms);
    // The next `count` status reads after a block answer download-busy, then download-idle.
    void setBusyReadsAfterBlock(unsigned count);
    // Receiving block `block` puts the device into `state` with `status`.
    void failAtBlock(std::uint32_t block, std::uint8_t state, std::uint8_t status);
    // After the reset report the device comes back after `delaySeconds`, or never when
    // `comesBack` is false.
    void setResetBehaviour(bool comesBack, double delaySeconds);
    // Data reports of an upload are padded to the full feature report size.
    void setPadDataReports(bool pad);

    unsigned resetCount() const;
    unsigned clearStatusCount() const;
    unsigned blocksReceived() const;

protected:
    IOReturn handleSetReport(HidDevice::ReportType type, std::uint32_t reportId, const std::uint8_t* data,
                             std::size_t length) override;
    IOReturn handleGetReport(HidDevice::ReportType type, std::uint32_t reportId, std::uint8_t* buffer,
                             std::size_t& length) override;

private:
    void downloadBlock(std::uint32_t block, const std::uint8_t* data, std::size_t length);
    void enterError(std::uint8_t status);

    std::uint32_t m_maxFeatureReportSize;
    std::vector<std::uint8_t> m_firmware;
    std::vector<std::uint8_t> m_download;
    std::size_t m_uploadOffset = 0;
    std::uint32_t m_nextBlock = 0;
    std::uint8_t m_state = kStateIdle;
    std::uint8_t m_status = kStatusOk;
    std::uint32_t m_pollTimeout = 0;
    unsigned m_busyReadsAfterBlock = 0;
    unsigned m_busyReadsLeft = 0;
    bool m_failBlockSet = false;
    std::uint32_t m_failBlock = 0;
    std::uint8_t m_failState = 0;
    std::uint8_t m_failStatus = 0;
    bool m_comesBackAfterReset = true;
    double m_resetDelaySeconds = 0.1;
    bool m_padDataReports = false;
    unsigned m_resetCount = 0;
    unsigned m_clearStatusCount = 0;
    unsigned m_blocksReceived = 0;
};

}  // namespace platform
}  // namespace kel
