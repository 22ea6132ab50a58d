#include "lib/kel_csrhiddfu.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "lib/kel_dfufirmware.h"
#include "lib/kel_endian.h"
#include "lib/kel_precisiontimer.h"
#include "lib/kel_usbidentifier.h"
#include "platform/hid.h"

namespace kel {

namespace {

// Poll timeouts reach 2^24 ms, beyond what usleep takes.
void sleepMilliseconds(double ms)
{
    if (!(ms > 0.0))
        return;
    timespec request;
    request.tv_sec = static_cast<time_t>(ms / 1000.0);
    request.tv_nsec = static_cast<long>((ms - static_cast<double>(request.tv_sec) * 1000.0) * 1e6);
    if (request.tv_nsec >= 1000000000L) {
        ++request.tv_sec;
        request.tv_nsec -= 1000000000L;
    }
    timespec remaining;
    while (nanosleep(&request, &remaining) != 0 && errno == EINTR)
        request = remaining;
}

}  // namespace

bool chdMakeCommand(std::vector<std::uint8_t>& buffer, std::uint32_t command, std::uint32_t value, const void* data,
                    std::size_t length)
{
    if (buffer.size() < length + 6 || command >= 256 || value >= 65536 || length >= 65536 ||
        (length != 0 && data == nullptr))
        return false;
    std::uint8_t* bytes = buffer.data();
    bytes[0] = 1;
    bytes[1] = static_cast<std::uint8_t>(command);
    kel_EndianWriteLittleU16(bytes, 2, static_cast<std::uint16_t>(value));
    kel_EndianWriteLittleU16(bytes, 4, static_cast<std::uint16_t>(length));
    if (length != 0)
        std::memcpy(bytes + 6, data, length);
    std::memset(bytes + 6 + length, 0, buffer.size() - 6 - length);
    return true;
}

CsrHidDfu::CsrHidDfu()
    : m_maxBackupLength(1073741824u - 16u),
      m_progressCallback(nullptr),
      m_progressContext(nullptr),
      m_lastProgress(0.0),
      m_locationId(0),
      m_usage(0),
      m_usagePage(0),
      m_interfaceIndex(0)
{
}

CsrHidDfu::~CsrHidDfu()
{
    disconnect();
}

bool CsrHidDfu::connect(const UsbIdentifier& identifier, std::uint16_t usage, std::uint16_t usagePage,
                        std::uint32_t interfaceIndex)
{
    return connect(identifier.locationId(), identifier.idVendor(), identifier.idProduct(), usage, usagePage,
                   interfaceIndex);
}

bool CsrHidDfu::connect(std::uint32_t locationId, std::uint16_t idVendor, std::uint16_t idProduct, std::uint16_t usage,
                        std::uint16_t usagePage, std::uint32_t interfaceIndex)
{
    disconnect();
    if (!open(locationId, idVendor, idProduct, usage, usagePage, interfaceIndex))
        return false;
    // The location the device reports, which is where it comes back after a reset.
    m_locationId = HidEngine::locationId();
    m_usage = usage;
    m_usagePage = usagePage;
    m_interfaceIndex = interfaceIndex;
    return true;
}

void CsrHidDfu::disconnect()
{
    m_locationId = 0;
    m_usage = 0;
    m_usagePage = 0;
    m_interfaceIndex = 0;
    close();
}

void CsrHidDfu::setProgressCallback(ProgressCallback callback, void* context)
{
    clearProgressCallback();
    if (callback) {
        m_progressContext = context;
        m_progressCallback = callback;
    }
}

void CsrHidDfu::clearProgressCallback()
{
    m_progressCallback = nullptr;
    m_progressContext = nullptr;
}

bool CsrHidDfu::reset()
{
    if (!isConnected())
        return false;
    const std::uint8_t report[2] = {0x03, 0xFF};
    const bool sent = setReport(3, report, sizeof report, true);
    if (!sent)
        fprintf(stderr, "%s: failed to reset device\n", "reset");
    return sent;
}

bool CsrHidDfu::clearDeviceStatus()
{
    if (!isConnected())
        return false;
    const std::uint8_t report[2] = {0x03, 0x04};
    const bool sent = setReport(3, report, sizeof report, true);
    if (!sent)
        fprintf(stderr, "%s: failed to clear device status\n", "clearDeviceStatus");
    return sent;
}

bool CsrHidDfu::getDeviceStatus(std::uint32_t& state, std::uint32_t& pollTimeout, std::uint32_t& status)
{
    state = 256;
    pollTimeout = 0;
    status = 0;
    std::vector<std::uint8_t> report;
    if (!getReport(2, report, true))
        return false;
    if (report.size() != 7 || report[0] != 2) {
        fprintf(stderr, "%s: get-status returned malformed data\n", "getDeviceStatus");
        return false;
    }
    state = report[5];
    pollTimeout = static_cast<std::uint32_t>(report[2] | (report[3] << 8) | (report[4] << 16));
    status = report[6];
    return true;
}

bool CsrHidDfu::setDeviceToIdle()
{
    constexpr double kTimeoutSeconds = 5.0;

    std::uint32_t state, pollTimeout, status;
    getDeviceStatus(state, pollTimeout, status);
    if (state == 2)
        return true;

    if (state == 10) {
        clearDeviceStatus();
        const bool idle = getDeviceStatus(state, pollTimeout, status) && state == 2;
        if (!idle)
            fprintf(stderr, "%s: failed to clear device error - final state %u, %u\n", "setDeviceToIdle", state,
                    status);
        return idle;
    }

    if (!reset())
        return false;
    close();
    const PrecisionTimer timer;
    {
        // Refusals are expected until the system opens the returning device's node up to the user.
        const platform::QuietAccessRefusals quiet;
        while (timer.elapsedTimeInSeconds() < kTimeoutSeconds) {
            sleepMilliseconds(50.0);
            if (open(m_locationId, 0, 0, m_usage, m_usagePage, m_interfaceIndex))
                break;
        }
    }
    if (!isConnected()) {
        fprintf(stderr, "%s: timeout reaquiring device after reset\n", "setDeviceToIdle");
        return false;
    }

    bool idle = getDeviceStatus(state, pollTimeout, status) && state == 2;
    if (state == 10) {
        clearDeviceStatus();
        idle = getDeviceStatus(state, pollTimeout, status) && state == 2;
        if (!idle)
            fprintf(stderr, "%s: failed to clear device error after reset - final state %u, %u\n", "setDeviceToIdle",
                    state, status);
    }
    return idle;
}

void CsrHidDfu::wait(std::uint32_t ms)
{
    const PrecisionTimer timer;
    sleepMilliseconds(ms);
    for (;;) {
        const double left = ms - timer.elapsedTimeInSeconds() * 1000.0;
        if (left <= 0.0)
            return;
        sleepMilliseconds(std::ceil(left));
    }
}

void CsrHidDfu::wait(std::uint32_t ms, double from, double to, Activity activity)
{
    constexpr double kProgressUpdateIntervalMs = 10.0;

    const PrecisionTimer timer;
    double toSleep = ms;
    for (;;) {
        sleepMilliseconds(std::min(toSleep, kProgressUpdateIntervalMs));
        const double left = ms - timer.elapsedTimeInSeconds() * 1000.0;
        const double fraction = ms != 0 ? left / ms : 0.0;
        const double progress = from > to ? to : to - (to - from) * fraction;
        sendNotification(progress, activity, false);
        if (left <= 0.0)
            return;
        toSleep = std::ceil(left);
    }
}

void CsrHidDfu::startNotification(Activity activity)
{
    m_lastProgress = -100.0;
    sendNotification(0.0, activity, false);
}

void CsrHidDfu::sendNotification(double percent, Activity activity, bool force)
{
    // Written so that a value that is not a number becomes 0: every delivered value is finite.
    if (!(percent >= 0.0))
        percent = 0.0;
    else if (percent > 100.0)
        percent = 100.0;
    if (!force && std::fabs(percent - m_lastProgress) < 0.1)
        return;
    if (!m_progressCallback)
        return;
    m_lastProgress = percent;
    m_progressCallback(m_progressContext, percent, activity);
}

bool CsrHidDfu::update(const DfuFirmware& firmware, bool usePollTimeout)
{
    constexpr std::size_t kCommandLength = 1023;
    constexpr std::size_t kBlockLength = kCommandLength - 6;
    constexpr std::size_t kMaxBlocks = 65535;  // block numbers are 16 bit, the final record's too
    constexpr double kProgressPartition = 75.0;
    constexpr std::uint32_t kNakDelayThreshold = 1000;

    const std::size_t size = firmware.size();
    const std::size_t blocks = (size + kBlockLength - 1) / kBlockLength;
    if (blocks > kMaxBlocks) {
        fprintf(stderr, "%s: image of %zu bytes needs %zu records, more than %zu - nothing sent\n", "update", size,
                blocks, kMaxBlocks);
        return false;
    }

    if (!setDeviceToIdle()) {
        fprintf(stderr, "%s: unable to return device to idle - device may be non functional\n", "update");
        return false;
    }
    if (!firmware.data())
        return false;

    std::vector<std::uint8_t> command(kCommandLength);
    std::size_t remaining = size;
    std::uint32_t block = 0;
    const unsigned char* position = firmware.data();
    std::uint32_t state = 0, pollTimeout = 0, status = 0;

    startNotification(kActivityWriting);
    while (remaining > 0) {
        const std::size_t length = std::min(remaining, kBlockLength);
        if (!chdMakeCommand(command, 1, block, position, length)) {
            fprintf(stderr, "%s: error writing record @%u - device may be corrupt\n", "update", block);
            return false;
        }
        remaining -= length;
        if (!setReport(1, command, true)) {
            fprintf(stderr, "%s: error writing record @%u - device may be corrupt\n", "update", block);
            return false;
        }
        if (usePollTimeout)
            wait(pollTimeout);
        sendNotification(static_cast<double>(size - remaining) / static_cast<double>(size) * kProgressPartition,
                         kActivityWriting, false);
        if (!getDeviceStatus(state, pollTimeout, status) || state == 4) {
            wait(kNakDelayThreshold);
            getDeviceStatus(state, pollTimeout, status);
        }
        if (state != 5) {
            fprintf(stderr, "%s: device state error %u, %u @%u\n", "update", state, status, block);
            return false;
        }
        ++block;
        position += length;
    }

    if (!chdMakeCommand(command, 1, block, nullptr, 0) || !setReport(1, command, true))
        fprintf(stderr, "%s: error writing final record @%u - device may be corrupt\n", "update", block);

    if (pollTimeout > kNakDelayThreshold)
        wait(pollTimeout - kNakDelayThreshold, kProgressPartition, 100.0, kActivityCompleting);
    sendNotification(100.0, kActivityCompleting, true);

    getDeviceStatus(state, pollTimeout, status);
    if (state != 2)
        fprintf(stderr, "%s: warning - unexpected device state after update %u, %u\n", "update", state, status);
    return true;
}

bool CsrHidDfu::backup(DfuFirmware& firmware)
{
    constexpr std::size_t kCSRHdrLen = 14;

    firmware.clear();
    if (!setDeviceToIdle())
        return false;
    firmware.setVendorId(idVendor());
    firmware.setProductId(idProduct());
    firmware.setDeviceRelease(deviceReleaseNumber());

    std::uint64_t expectedTotal = 0;
    bool success = false;
    std::vector<std::uint8_t> report;
    for (;;) {
        if (!getReport(1, report, true)) {
            fprintf(stderr, "%s: failed to read data from device\n", "backup");
            break;
        }
        const std::size_t length = report.size();
        if (length < 6) {
            fprintf(stderr, "%s: short packet from device: %u\n", "backup", static_cast<unsigned>(length));
            break;
        }
        if (report[0] != 1) {
            fprintf(stderr, "%s: unexpected report ID: %02x\n", "backup", report[0]);
            break;
        }
        const std::size_t payload = kel_EndianReadLittleU16(report.data(), 1);
        if (payload + 6 > length) {
            fprintf(stderr, "%s: device signalled implausible data size %u/%u\n", "backup",
                    static_cast<unsigned>(payload), static_cast<unsigned>(length));
            break;
        }
        if (payload != 0) {
            if (firmware.size() + payload > m_maxBackupLength) {
                fprintf(stderr, "%s: image larger than %zu bytes - its file could not be loaded\n", "backup",
                        m_maxBackupLength);
                break;
            }
            firmware.append(report.data() + 6, payload);
        }
        if (expectedTotal == 0 && firmware.size() >= kCSRHdrLen && firmware.size() <= payload + kCSRHdrLen &&
            std::memcmp(firmware.data(), "CSR-dfu", 7) == 0)
            expectedTotal = kel_EndianReadLittleU32(firmware.data(), 10);

        // Without a total the share read is unbounded (clamped to 100), or nothing when the image is empty.
        const double progress = expectedTotal != 0 ? static_cast<double>(firmware.size()) * 100.0 /
                                                         static_cast<double>(expectedTotal)
                                                   : (firmware.size() != 0 ? 100.0 : 0.0);
        sendNotification(progress, kActivityReading, false);

        if (length < maxFeatureReportSize() || payload + 6 < length) {
            success = true;
            break;
        }
    }
    sendNotification(100.0, kActivityReading, true);
    if (!success)
        firmware.clear();
    return success;
}

}  // namespace kel
