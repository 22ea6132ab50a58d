// One open USB HID device: its report sizes, feature/output/input reports, and a private
// input thread whose run loop receives the device's input reports and its removal.
#pragma once

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/hid.h"

namespace kel {

namespace platform {
class RunLoop;
class RunLoopSource;
}  // namespace platform

class UsbIdentifier;

class HidEngine {
public:
    enum InputThreadState { kInputThreadIdle = 0, kInputThreadRunning = 1, kInputThreadStopped = 2 };

    struct InputReport {
        InputReport(std::uint8_t id, const std::uint8_t* bytes, std::size_t length)
            : reportId(id), data(bytes, bytes + length)
        {
        }
        std::uint8_t reportId;
        std::vector<std::uint8_t> data;
    };

    HidEngine();
    ~HidEngine();
    HidEngine(const HidEngine&) = delete;
    HidEngine& operator=(const HidEngine&) = delete;

    bool open(std::uint32_t locationId, std::uint16_t idVendor, std::uint16_t idProduct, std::uint16_t usage,
              std::uint16_t usagePage, std::uint32_t interfaceIndex);
    bool open(const UsbIdentifier& identifier, std::uint16_t usage, std::uint16_t usagePage,
              std::uint32_t interfaceIndex);
    void close();

    bool isOpen() const { return m_isOpen; }
    bool isConnected() const { return m_isConnected.load(); }

    std::uint16_t idVendor();
    std::uint16_t idProduct();
    std::uint16_t deviceReleaseNumber();
    std::uint32_t locationId();

    std::uint32_t maxInputReportSize() const { return m_maxInputReportSize; }
    std::uint32_t maxOutputReportSize() const { return m_maxOutputReportSize; }
    std::uint32_t maxFeatureReportSize() const { return m_maxFeatureReportSize; }

    // The buffer starts with the report ID byte; it goes out unchanged.
    bool setReport(std::uint8_t reportId, const void* data, std::size_t length, bool feature);
    bool setReport(std::uint8_t reportId, const std::vector<std::uint8_t>& data, bool feature);
    bool getReport(std::uint8_t reportId, std::vector<std::uint8_t>& report, bool feature);
    // Takes the oldest queued input report with `reportId` (256: any), waiting for one until
    // `timeoutMs` have passed. Reports with other IDs stay queued.
    bool asyncGetNextReport(std::uint32_t reportId, std::vector<std::uint8_t>& report, std::uint32_t timeoutMs);

private:
    bool getNumericProperty(const char* key, std::int64_t& value);
    std::uint16_t getU16Property(const char* key);
    bool takeReportLocked(std::uint32_t reportId, std::vector<std::uint8_t>& report);

    static void* inputThreadEntry(void* arg);
    static void inputThreadTerminate(void* info);
    static void inputThreadReportCallback(void* context, IOReturn result, void* sender,
                                          platform::HidDevice::ReportType type, std::uint32_t reportId,
                                          std::uint8_t* report, long length);
    static void inputThreadDisconnectCallback(void* context, IOReturn result, void* sender);

    bool m_isOpen;
    std::atomic<bool> m_isConnected;
    std::unique_ptr<platform::HidManager> m_manager;
    platform::HidDevice* m_device;
    std::uint32_t m_maxInputReportSize;
    std::uint32_t m_maxOutputReportSize;
    std::uint32_t m_maxFeatureReportSize;
    std::vector<std::uint8_t> m_inputBuffer;
    pthread_t m_inputThread;
    bool m_inputThreadCreated;
    std::mutex m_mutex;
    std::condition_variable m_stateCondition;
    std::condition_variable m_reportCondition;  // waits on the monotonic clock
    platform::RunLoop* m_runLoop;
    std::shared_ptr<platform::RunLoopSource> m_runLoopSource;
    InputThreadState m_inputThreadState;
    std::deque<InputReport> m_inputReports;
};

}  // namespace kel
