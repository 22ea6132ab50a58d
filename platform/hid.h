// HID devices: matching by properties, exclusive open, reports, and input reports and
// removal delivered on the run loop a device is scheduled on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/ioreturn.h"

namespace kel {
namespace platform {

class RunLoop;

// Property keys of a HID device.
constexpr const char* kHidLocationIdKey = "LocationID";
constexpr const char* kHidVendorIdKey = "VendorID";
constexpr const char* kHidProductIdKey = "ProductID";
constexpr const char* kHidVersionNumberKey = "VersionNumber";
constexpr const char* kHidPrimaryUsageKey = "DeviceUsage";
constexpr const char* kHidPrimaryUsagePageKey = "DeviceUsagePage";
constexpr const char* kHidMaxInputReportSizeKey = "MaxInputReportSize";
constexpr const char* kHidMaxOutputReportSizeKey = "MaxOutputReportSize";
constexpr const char* kHidMaxFeatureReportSizeKey = "MaxFeatureReportSize";

// Property key -> value that a device must have to match.
using HidMatching = std::map<std::string, std::int64_t>;

class HidDevice {
public:
    enum ReportType { kReportTypeInput = 0, kReportTypeOutput = 1, kReportTypeFeature = 2 };

    // Called on the scheduled run loop. `report` is the buffer given at registration.
    using InputReportCallback = void (*)(void* context, IOReturn result, void* sender, ReportType type,
                                         std::uint32_t reportId, std::uint8_t* report, long length);
    using RemovalCallback = void (*)(void* context, IOReturn result, void* sender);

    virtual ~HidDevice() = default;

    // Opens the device; `seize` asks for exclusive use.
    virtual IOReturn open(bool seize) = 0;
    // A numeric property; false when the device does not have it.
    virtual bool getProperty(const std::string& key, std::int64_t& value) = 0;

    // Byte 0 of numbered reports is the report ID, in both directions.
    virtual IOReturn setReport(ReportType type, std::uint32_t reportId, const std::uint8_t* data,
                               std::size_t length) = 0;
    // `length` is the buffer's capacity on entry and the received length on return.
    virtual IOReturn getReport(ReportType type, std::uint32_t reportId, std::uint8_t* buffer,
                               std::size_t& length) = 0;

    // Register before scheduling. The buffer must stay valid while the device is scheduled.
    virtual void registerInputReportCallback(std::uint8_t* buffer, std::size_t size, InputReportCallback callback,
                                             void* context) = 0;
    virtual void registerRemovalCallback(RemovalCallback callback, void* context) = 0;

    // Input reports and the removal are delivered on `loop`'s thread from now on, until unscheduled.
    virtual void scheduleWithRunLoop(RunLoop* loop) = 0;
    // Any thread; after it returns no callback runs any more.
    virtual void unscheduleFromRunLoop(RunLoop* loop) = 0;
};

// While one lives on a thread, a device opened on that thread that refuses access says nothing
// of what to do about it: the caller expects refusals for a while, as from a device that comes
// back from a reset before the system has opened its new node up to the user.
class QuietAccessRefusals {
public:
    QuietAccessRefusals();
    ~QuietAccessRefusals();
    QuietAccessRefusals(const QuietAccessRefusals&) = delete;
    QuietAccessRefusals& operator=(const QuietAccessRefusals&) = delete;

    // One lives on the calling thread.
    static bool active();
};

class HidManager {
public:
    virtual ~HidManager() = default;  // closes and frees every device it handed out

    virtual void setDeviceMatching(const HidMatching& matching) = 0;
    virtual IOReturn open() = 0;
    // The matching devices, in the platform's order; owned by the manager. Empty when none.
    virtual std::vector<HidDevice*> copyDevices() = 0;
};

class HidBackend {
public:
    virtual ~HidBackend() = default;
    // Null when no manager can be made.
    virtual std::unique_ptr<HidManager> createManager() = 0;
};

// The backend the build chose (HIDDFU_BACKEND); each backend defines it.
HidBackend& defaultHidBackend();
// The backend in use: the default one unless another was installed.
HidBackend& hidBackend();
// Installs `backend` (not owned); null goes back to the default one.
void setHidBackend(HidBackend* backend);

}  // namespace platform
}  // namespace kel
