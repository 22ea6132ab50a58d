#include "platform/emulated/csr_device.h"

#include <algorithm>
#include <cstring>

namespace kel {
namespace platform {

namespace {

HidMatching propertiesOf(const EmulatedCsrDevice::Config& config)
{
    return {
        {kHidVendorIdKey, config.vendorId},
        {kHidProductIdKey, config.productId},
        {kHidVersionNumberKey, config.versionNumber},
        {kHidLocationIdKey, config.locationId},
        {kHidPrimaryUsageKey, 1},
        {kHidPrimaryUsagePageKey, 0xFF00},
        {kHidMaxInputReportSizeKey, config.maxInputReportSize},
        {kHidMaxOutputReportSizeKey, config.maxOutputReportSize},
        {kHidMaxFeatureReportSizeKey, config.maxFeatureReportSize},
    };
}

}  // namespace

EmulatedCsrDevice::EmulatedCsrDevice(const Config& config)
    : EmulatedHidDevice(propertiesOf(config)), m_maxFeatureReportSize(config.maxFeatureReportSize)
{
}

std::vector<std::uint8_t> EmulatedCsrDevice::firmware() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_firmware;
}

void EmulatedCsrDevice::setFirmware(std::vector<std::uint8_t> image)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_firmware = std::move(image);
    m_uploadOffset = 0;
}

std::uint8_t EmulatedCsrDevice::dfuState() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_state;
}

std::uint8_t EmulatedCsrDevice::dfuStatus() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_status;
}

void EmulatedCsrDevice::setDfuState(std::uint8_t state, std::uint8_t status)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_state = state;
    m_status = status;
}

void EmulatedCsrDevice::setPollTimeout(std::uint32_t ms)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pollTimeout = ms & 0xFFFFFF;
}

void EmulatedCsrDevice::setBusyReadsAfterBlock(unsigned count)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_busyReadsAfterBlock = count;
}

void EmulatedCsrDevice::failAtBlock(std::uint32_t block, std::uint8_t state, std::uint8_t status)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_failBlockSet = true;
    m_failBlock = block;
    m_failState = state;
    m_failStatus = status;
}

void EmulatedCsrDevice::setResetBehaviour(bool comesBack, double delaySeconds)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_comesBackAfterReset = comesBack;
    m_resetDelaySeconds = delaySeconds;
}

void EmulatedCsrDevice::setPadDataReports(bool pad)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_padDataReports = pad;
}

unsigned EmulatedCsrDevice::resetCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_resetCount;
}

unsigned EmulatedCsrDevice::clearStatusCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_clearStatusCount;
}

unsigned EmulatedCsrDevice::blocksReceived() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_blocksReceived;
}

void EmulatedCsrDevice::enterError(std::uint8_t status)
{
    m_state = kStateError;
    m_status = status;
    m_download.clear();
    m_uploadOffset = 0;
}

void EmulatedCsrDevice::downloadBlock(std::uint32_t block, const std::uint8_t* data, std::size_t length)
{
    if (m_state == kStateIdle && block == 0) {
        m_download.clear();
        m_nextBlock = 0;
    } else if (m_state != kStateDownloadIdle) {
        enterError(kStatusErrStalledPacket);
        return;
    }
    if (block != m_nextBlock) {
        enterError(kStatusErrAddress);
        return;
    }
    ++m_blocksReceived;
    if (length == 0) {
        // The empty record closes the download: the image is the device's firmware now.
        m_firmware.swap(m_download);
        m_download.clear();
        m_uploadOffset = 0;
        m_state = kStateIdle;
        return;
    }
    m_download.insert(m_download.end(), data, data + length);
    ++m_nextBlock;
    m_state = kStateDownloadIdle;
    m_busyReadsLeft = m_busyReadsAfterBlock;
    if (m_failBlockSet && block == m_failBlock) {
        m_state = m_failState;
        m_status = m_failStatus;
    }
}

IOReturn EmulatedCsrDevice::handleSetReport(HidDevice::ReportType type, std::uint32_t reportId,
                                            const std::uint8_t* data, std::size_t length)
{
    if (type != HidDevice::kReportTypeFeature)
        return EmulatedHidDevice::handleSetReport(type, reportId, data, length);
    if (length < 1 || data[0] != reportId)
        return kIOReturnBadArgument;
    switch (reportId) {
    case 1: {
        if (length < 6)
            return kIOReturnBadArgument;
        const std::uint32_t command = data[1];
        const std::uint32_t value = data[2] | (data[3] << 8);
        const std::size_t dataLength = data[4] | (data[5] << 8);
        if (command != 1 || dataLength + 6 > length) {
            enterError(kStatusErrStalledPacket);
            return kIOReturnSuccess;
        }
        downloadBlock(value, data + 6, dataLength);
        return kIOReturnSuccess;
    }
    case 3:
        if (length < 2)
            return kIOReturnBadArgument;
        if (data[1] == 0xFF) {
            ++m_resetCount;
            m_state = kStateIdle;
            m_status = kStatusOk;
            m_download.clear();
            m_uploadOffset = 0;
            m_busyReadsLeft = 0;
            if (m_comesBackAfterReset)
                removeLocked(std::chrono::steady_clock::now() +
                             std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                 std::chrono::duration<double>(m_resetDelaySeconds)));
            else
                removeLocked(std::nullopt);
        } else if (data[1] == 0x04) {
            ++m_clearStatusCount;
            if (m_state == kStateError) {
                m_state = kStateIdle;
                m_status = kStatusOk;
            }
        }
        return kIOReturnSuccess;
    default:
        return kIOReturnUnsupported;
    }
}

IOReturn EmulatedCsrDevice::handleGetReport(HidDevice::ReportType type, std::uint32_t reportId, std::uint8_t* buffer,
                                            std::size_t& length)
{
    if (type != HidDevice::kReportTypeFeature) {
        length = 0;
        return kIOReturnUnsupported;
    }
    if (reportId == 2) {
        std::uint8_t state = m_state;
        if (state == kStateDownloadIdle && m_busyReadsLeft > 0) {
            --m_busyReadsLeft;
            state = kStateDownloadBusy;
        }
        const std::uint8_t report[7] = {2,
                                        0,
                                        static_cast<std::uint8_t>(m_pollTimeout),
                                        static_cast<std::uint8_t>(m_pollTimeout >> 8),
                                        static_cast<std::uint8_t>(m_pollTimeout >> 16),
                                        state,
                                        m_status};
        length = std::min<std::size_t>(length, sizeof report);
        std::memcpy(buffer, report, length);
        return kIOReturnSuccess;
    }
    if (reportId == 1) {
        if ((m_state != kStateIdle && m_state != kStateUploadIdle) || m_maxFeatureReportSize < 6 || length < 6) {
            length = 0;
            return kIOReturnError;
        }
        const std::size_t room = std::min<std::size_t>(length, m_maxFeatureReportSize) - 6;
        const std::size_t offset = m_state == kStateUploadIdle ? m_uploadOffset : 0;
        const std::size_t payload = std::min(room, m_firmware.size() - offset);
        buffer[0] = 1;
        buffer[1] = static_cast<std::uint8_t>(payload);
        buffer[2] = static_cast<std::uint8_t>(payload >> 8);
        buffer[3] = buffer[4] = buffer[5] = 0;
        if (payload != 0)
            std::memcpy(buffer + 6, m_firmware.data() + offset, payload);
        length = 6 + payload;
        if (payload < room) {
            // A report not filled by its payload ends the upload.
            if (m_padDataReports) {
                std::memset(buffer + length, 0, room - payload);
                length = 6 + room;
            }
            m_state = kStateIdle;
            m_uploadOffset = 0;
        } else {
            m_state = kStateUploadIdle;
            m_uploadOffset = offset + payload;
        }
        return kIOReturnSuccess;
    }
    length = 0;
    return kIOReturnUnsupported;
}

}  // namespace platform
}  // namespace kel
