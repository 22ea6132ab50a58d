// An in-process HID bus for tests and benchmarks: devices with scripted properties and
// report handlers, input reports and removal delivered on the run loop a device handle is
// scheduled on, and devices that leave and come back at the same place.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/hid.h"

namespace kel {
namespace platform {

class EmulatedHidHandle;
struct EmulatedHidDelivery;

// One emulated HID device. Its properties, its presence and the test's hooks are safe to use
// from any thread. Each time the device leaves the bus and comes back it is a new device
// object for the host: handles from before stay dead.
class EmulatedHidDevice {
public:
    explicit EmulatedHidDevice(HidMatching properties);
    virtual ~EmulatedHidDevice();
    EmulatedHidDevice(const EmulatedHidDevice&) = delete;
    EmulatedHidDevice& operator=(const EmulatedHidDevice&) = delete;

    void setProperty(const std::string& key, std::int64_t value);
    void removeProperty(const std::string& key);
    bool property(const std::string& key, std::int64_t& value) const;
    HidMatching properties() const;

    // Present on the bus now (a pending re-appearance counts once its delay has passed).
    bool isPresent() const;
    // Leaves the bus for good: requests fail with kIOReturnNoDevice and the removal callback
    // of every scheduled handle runs on its loop. Any thread, any moment.
    void remove();
    // Leaves the bus and comes back as a new device object after `delaySeconds`.
    void reenumerate(double delaySeconds);
    // Counts the device objects the host has seen: it grows each time the device leaves.
    std::uint64_t generation() const;

    // Queues an input report for every scheduled handle of the present device object.
    void sendInputReport(std::uint32_t reportId, const std::vector<std::uint8_t>& bytes);

    // The answer to the next get-report of this type and ID, instead of the device's own:
    // `result` and, on success, `bytes` (cut to the caller's capacity). Served in order, by
    // whichever device object is present then.
    void queueGetReply(HidDevice::ReportType type, std::uint32_t reportId, IOReturn result,
                       std::vector<std::uint8_t> bytes = {});
    // The next set-report of this type and ID fails with `result` without reaching the device.
    void queueSetFailure(HidDevice::ReportType type, std::uint32_t reportId, IOReturn result);
    // open() answers `result` from now on.
    void setOpenResult(IOReturn result);
    // The device leaves the bus for good right after it has answered `count` more set- or
    // get-reports (0 turns it off).
    void removeAfterRequests(std::size_t count);
    // Every set- and get-report takes this long, as a bus transaction would.
    void setRequestDelay(std::chrono::microseconds delay);

    // Output report 1 carries a NUL-terminated text; an answer, if any, comes back as input
    // report 1 holding the text and its zero, padded to the input report size. The responder
    // runs on the sender's thread with the device locked: it must not call the device.
    using TextResponder = std::function<std::optional<std::string>(const std::string& request)>;
    void setTextResponder(TextResponder responder);

    struct SentReport {
        HidDevice::ReportType type;
        std::uint32_t reportId;
        std::vector<std::uint8_t> bytes;
    };
    // Every set-report the device accepted, when recording is on (off by default, so that
    // long transfers cost no copies).
    void setRecordReports(bool record);
    std::vector<SentReport> sentReports() const;
    std::size_t setReportCount() const;
    std::size_t getReportCount() const;

protected:
    // Called with m_mutex held, for a present device opened by the handle.
    virtual IOReturn handleSetReport(HidDevice::ReportType type, std::uint32_t reportId, const std::uint8_t* data,
                                     std::size_t length);
    virtual IOReturn handleGetReport(HidDevice::ReportType type, std::uint32_t reportId, std::uint8_t* buffer,
                                     std::size_t& length);

    // With m_mutex held.
    void removeLocked(std::optional<std::chrono::steady_clock::time_point> reappearAt);
    void sendInputReportLocked(std::uint32_t reportId, const std::vector<std::uint8_t>& bytes);

    mutable std::mutex m_mutex;  // guards the whole device, the model of a subclass included

private:
    friend class EmulatedHidHandle;

    bool presentLocked() const;
    IOReturn openHandle(EmulatedHidHandle* handle, std::uint64_t generation, bool seize);
    void closeHandle(EmulatedHidHandle* handle);
    void attachDelivery(std::uint64_t generation, const std::shared_ptr<EmulatedHidDelivery>& delivery);
    IOReturn setReport(EmulatedHidHandle* handle, std::uint64_t generation, HidDevice::ReportType type,
                       std::uint32_t reportId, const std::uint8_t* data, std::size_t length);
    IOReturn getReport(EmulatedHidHandle* handle, std::uint64_t generation, HidDevice::ReportType type,
                       std::uint32_t reportId, std::uint8_t* buffer, std::size_t& length);
    IOReturn checkRequestLocked(EmulatedHidHandle* handle, std::uint64_t generation) const;
    void requestDoneLocked();

    struct Reply {
        HidDevice::ReportType type;
        std::uint32_t reportId;
        IOReturn result;
        std::vector<std::uint8_t> bytes;
    };

    HidMatching m_properties;
    std::uint64_t m_generation = 1;
    mutable bool m_removed = false;
    mutable std::optional<std::chrono::steady_clock::time_point> m_reappearAt;
    std::vector<std::weak_ptr<EmulatedHidDelivery>> m_deliveries;  // of the present generation
    std::vector<EmulatedHidHandle*> m_openHandles;
    EmulatedHidHandle* m_seizedBy = nullptr;
    IOReturn m_openResult = kIOReturnSuccess;
    std::deque<Reply> m_replies;
    std::deque<Reply> m_setFailures;
    std::size_t m_removeAfter = 0;
    std::chrono::microseconds m_requestDelay{0};
    TextResponder m_textResponder;
    bool m_recordReports = false;
    std::vector<SentReport> m_sentReports;
    std::size_t m_setReportCount = 0;
    std::size_t m_getReportCount = 0;
};

// The bus: a HidBackend whose managers match the devices attached to it.
class EmulatedHidBus : public HidBackend {
public:
    EmulatedHidBus() = default;
    ~EmulatedHidBus() override = default;

    void attach(const std::shared_ptr<EmulatedHidDevice>& device);
    // Takes the device off the bus, as remove() does, and forgets it.
    void detach(const std::shared_ptr<EmulatedHidDevice>& device);
    std::vector<std::shared_ptr<EmulatedHidDevice>> devices() const;

    // createManager() gives null / manager open() answers `result` from now on.
    void setManagerCreationFails(bool fails);
    void setManagerOpenResult(IOReturn result);
    IOReturn managerOpenResult() const;

    std::unique_ptr<HidManager> createManager() override;

private:
    mutable std::mutex m_mutex;
    std::vector<std::shared_ptr<EmulatedHidDevice>> m_devices;
    bool m_managerCreationFails = false;
    IOReturn m_managerOpenResult = kIOReturnSuccess;
};

// Makes `backend` the HID backend for the lifetime of the object.
class ScopedHidBackend {
public:
    explicit ScopedHidBackend(HidBackend& backend) { setHidBackend(&backend); }
    ~ScopedHidBackend() { setHidBackend(nullptr); }
    ScopedHidBackend(const ScopedHidBackend&) = delete;
    ScopedHidBackend& operator=(const ScopedHidBackend&) = delete;
};

}  // namespace platform
}  // namespace kel
