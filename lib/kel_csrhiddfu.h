// A HID device on a CSR chip that speaks CSR HID DFU: command framing, DFU status, reset
// and reacquisition, progress, and the firmware update and backup built from them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "lib/kel_hidengine.h"

namespace kel {

class DfuFirmware;
class UsbIdentifier;

// Frames a command report: report ID 1, command, 16-bit value, 16-bit data length, the data,
// then zeros to the end of the buffer, whose size never changes.
bool chdMakeCommand(std::vector<std::uint8_t>& buffer, std::uint32_t command, std::uint32_t value, const void* data,
                    std::size_t length);

class CsrHidDfu : public HidEngine {
public:
    enum Activity { kActivityReading = 1, kActivityWriting = 2, kActivityCompleting = 3 };
    using ProgressCallback = void (*)(void* context, double percent, Activity activity);

    CsrHidDfu();
    ~CsrHidDfu();

    bool connect(std::uint32_t locationId, std::uint16_t idVendor, std::uint16_t idProduct, std::uint16_t usage,
                 std::uint16_t usagePage, std::uint32_t interfaceIndex);
    bool connect(const UsbIdentifier& identifier, std::uint16_t usage, std::uint16_t usagePage,
                 std::uint32_t interfaceIndex);
    void disconnect();
    bool isConnected() const { return HidEngine::isConnected(); }

    void setProgressCallback(ProgressCallback callback, void* context);
    void clearProgressCallback();

    bool reset();
    bool clearDeviceStatus();
    bool getDeviceStatus(std::uint32_t& state, std::uint32_t& pollTimeout, std::uint32_t& status);
    bool setDeviceToIdle();

    void wait(std::uint32_t ms);
    void wait(std::uint32_t ms, double from, double to, Activity activity);
    void startNotification(Activity activity);
    void sendNotification(double percent, Activity activity, bool force);

    bool update(const DfuFirmware& firmware, bool usePollTimeout);
    bool backup(DfuFirmware& firmware);

protected:
    // The largest image a backup accepts: one whose DFU file (image and 16-byte suffix) can be
    // loaded back. A device that never ends its upload is stopped there.
    std::size_t m_maxBackupLength;

private:
    ProgressCallback m_progressCallback;
    void* m_progressContext;
    double m_lastProgress;
    std::uint32_t m_locationId;
    std::uint16_t m_usage;
    std::uint16_t m_usagePage;
    std::uint32_t m_interfaceIndex;
};

}  // namespace kel
