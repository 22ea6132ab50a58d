// HID devices through the IOKit HID manager. Each device is scheduled on the run loop of the
// thread that is to receive its input reports and its removal.
#include "platform/macos/refs.h"
#include "platform/macos/runloop_macos.h"
#include "platform/hid.h"

#include <IOKit/hid/IOHIDDevice.h>
#include <IOKit/hid/IOHIDKeys.h>
#include <IOKit/hid/IOHIDManager.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

namespace kel {
namespace platform {

namespace {

IOHIDReportType toIOHIDReportType(HidDevice::ReportType type)
{
    switch (type) {
    case HidDevice::kReportTypeInput:
        return kIOHIDReportTypeInput;
    case HidDevice::kReportTypeOutput:
        return kIOHIDReportTypeOutput;
    case HidDevice::kReportTypeFeature:
        break;
    }
    return kIOHIDReportTypeFeature;
}

HidDevice::ReportType fromIOHIDReportType(IOHIDReportType type)
{
    switch (type) {
    case kIOHIDReportTypeInput:
        return HidDevice::kReportTypeInput;
    case kIOHIDReportTypeOutput:
        return HidDevice::kReportTypeOutput;
    default:
        return HidDevice::kReportTypeFeature;
    }
}

class MacHidDevice final : public HidDevice {
public:
    explicit MacHidDevice(IOHIDDeviceRef device) : m_device(CfRef<IOHIDDeviceRef>::retained(device)) {}

    ~MacHidDevice() override
    {
        unscheduleFromRunLoop(nullptr);
        if (!m_reportBuffer.empty())
            IOHIDDeviceRegisterInputReportCallback(m_device.get(), m_reportBuffer.data(),
                                                   static_cast<CFIndex>(m_reportBuffer.size()), nullptr, nullptr);
        IOHIDDeviceRegisterRemovalCallback(m_device.get(), nullptr, nullptr);
        if (m_opened)
            IOHIDDeviceClose(m_device.get(), kIOHIDOptionsTypeNone);
    }
    MacHidDevice(const MacHidDevice&) = delete;
    MacHidDevice& operator=(const MacHidDevice&) = delete;

    IOHIDDeviceRef ref() const { return m_device.get(); }

    IOReturn open(bool seize) override
    {
        if (m_opened)
            return kIOReturnSuccess;
        const IOReturn result =
            IOHIDDeviceOpen(m_device.get(), seize ? kIOHIDOptionsTypeSeizeDevice : kIOHIDOptionsTypeNone);
        m_opened = result == kIOReturnSuccess;
        return result;
    }

    bool getProperty(const std::string& key, std::int64_t& value) override
    {
        const CfRef<CFStringRef> name = cfString(key);
        return name && cfNumberValue(IOHIDDeviceGetProperty(m_device.get(), name.get()), value);
    }

    IOReturn setReport(ReportType type, std::uint32_t reportId, const std::uint8_t* data, std::size_t length) override
    {
        return IOHIDDeviceSetReport(m_device.get(), toIOHIDReportType(type), static_cast<CFIndex>(reportId), data,
                                    static_cast<CFIndex>(length));
    }

    IOReturn getReport(ReportType type, std::uint32_t reportId, std::uint8_t* buffer, std::size_t& length) override
    {
        CFIndex received = static_cast<CFIndex>(length);
        const IOReturn result = IOHIDDeviceGetReport(m_device.get(), toIOHIDReportType(type),
                                                     static_cast<CFIndex>(reportId), buffer, &received);
        if (result == kIOReturnSuccess)
            length = static_cast<std::size_t>(std::max<CFIndex>(0, std::min(received, static_cast<CFIndex>(length))));
        return result;
    }

    // IOKit fills a buffer of the device's own, which it may hold for as long as it is
    // registered; each report is copied into the caller's before the callback.
    void registerInputReportCallback(std::uint8_t* buffer, std::size_t size, InputReportCallback callback,
                                     void* context) override
    {
        std::lock_guard<std::recursive_mutex> lock(m_callbackMutex);
        m_clientBuffer = buffer;
        m_clientSize = buffer ? size : 0;
        m_inputCallback = callback;
        m_inputContext = context;
        if (m_clientSize == 0 || !callback) {
            if (!m_reportBuffer.empty())
                IOHIDDeviceRegisterInputReportCallback(m_device.get(), m_reportBuffer.data(),
                                                       static_cast<CFIndex>(m_reportBuffer.size()), nullptr, nullptr);
            return;
        }
        // The old buffer goes only once IOKit has the new one.
        std::vector<std::uint8_t> reportBuffer(m_clientSize);
        IOHIDDeviceRegisterInputReportCallback(m_device.get(), reportBuffer.data(),
                                               static_cast<CFIndex>(reportBuffer.size()), &MacHidDevice::inputReport,
                                               this);
        m_reportBuffer.swap(reportBuffer);
    }

    void registerRemovalCallback(RemovalCallback callback, void* context) override
    {
        std::lock_guard<std::recursive_mutex> lock(m_callbackMutex);
        m_removalCallback = callback;
        m_removalContext = context;
        IOHIDDeviceRegisterRemovalCallback(m_device.get(), callback ? &MacHidDevice::removed : nullptr,
                                           callback ? this : nullptr);
    }

    void scheduleWithRunLoop(RunLoop* loop) override
    {
        std::lock_guard<std::recursive_mutex> lock(m_callbackMutex);
        CFRunLoopRef cfLoop = cfRunLoop(loop);
        if (!cfLoop || m_loop)
            return;
        IOHIDDeviceScheduleWithRunLoop(m_device.get(), cfLoop, kCFRunLoopDefaultMode);
        m_loop = CfRef<CFRunLoopRef>::retained(cfLoop);
    }

    // Callbacks run with the callback lock held, so this waits for one in progress on the
    // loop's thread. A null loop means any loop.
    void unscheduleFromRunLoop(RunLoop* loop) override
    {
        std::lock_guard<std::recursive_mutex> lock(m_callbackMutex);
        if (!m_loop || (loop && cfRunLoop(loop) != m_loop.get()))
            return;
        IOHIDDeviceUnscheduleFromRunLoop(m_device.get(), m_loop.get(), kCFRunLoopDefaultMode);
        m_loop.reset();
    }

private:
    static void inputReport(void* context, IOReturn result, void*, IOHIDReportType type, uint32_t reportId,
                            uint8_t* report, CFIndex length)
    {
        MacHidDevice* device = static_cast<MacHidDevice*>(context);
        std::lock_guard<std::recursive_mutex> lock(device->m_callbackMutex);
        if (!device->m_loop || !device->m_inputCallback || !device->m_clientBuffer || length < 0)
            return;
        const std::size_t count = std::min(static_cast<std::size_t>(length), device->m_clientSize);
        if (count > 0)
            std::memmove(device->m_clientBuffer, report, count);
        device->m_inputCallback(device->m_inputContext, result, device, fromIOHIDReportType(type), reportId,
                                device->m_clientBuffer, static_cast<long>(count));
    }

    static void removed(void* context, IOReturn result, void*)
    {
        MacHidDevice* device = static_cast<MacHidDevice*>(context);
        std::lock_guard<std::recursive_mutex> lock(device->m_callbackMutex);
        if (device->m_loop && device->m_removalCallback)
            device->m_removalCallback(device->m_removalContext, result, device);
    }

    const CfRef<IOHIDDeviceRef> m_device;
    bool m_opened = false;

    // Guards everything below and is held while a callback runs; recursive so that callbacks
    // may call back into the device.
    std::recursive_mutex m_callbackMutex;
    CfRef<CFRunLoopRef> m_loop;
    std::vector<std::uint8_t> m_reportBuffer;
    std::uint8_t* m_clientBuffer = nullptr;
    std::size_t m_clientSize = 0;
    InputReportCallback m_inputCallback = nullptr;
    void* m_inputContext = nullptr;
    RemovalCallback m_removalCallback = nullptr;
    void* m_removalContext = nullptr;
};

class MacHidManager final : public HidManager {
public:
    MacHidManager() : m_manager(IOHIDManagerCreate(kCFAllocatorDefault, kIOHIDOptionsTypeNone)) {}

    ~MacHidManager() override
    {
        m_devices.clear();  // closes every device first
        if (m_opened)
            IOHIDManagerClose(m_manager.get(), kIOHIDOptionsTypeNone);
    }
    MacHidManager(const MacHidManager&) = delete;
    MacHidManager& operator=(const MacHidManager&) = delete;

    bool isValid() const { return static_cast<bool>(m_manager); }

    void setDeviceMatching(const HidMatching& matching) override
    {
        // Without a dictionary the manager would match every device: open() fails instead.
        m_matchingFailed = true;
        const CfRef<CFMutableDictionaryRef> dictionary(CFDictionaryCreateMutable(
            kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
        if (!dictionary)
            return;
        for (const auto& entry : matching) {
            const CfRef<CFStringRef> key = cfString(entry.first);
            const SInt64 value = entry.second;
            const CfRef<CFNumberRef> number(CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, &value));
            if (!key || !number)
                return;
            CFDictionaryAddValue(dictionary.get(), key.get(), number.get());
        }
        IOHIDManagerSetDeviceMatching(m_manager.get(), dictionary.get());
        m_matchingFailed = false;
    }

    IOReturn open() override
    {
        if (m_matchingFailed)
            return kIOReturnNoMemory;
        const IOReturn result = IOHIDManagerOpen(m_manager.get(), kIOHIDOptionsTypeNone);
        m_opened = m_opened || result == kIOReturnSuccess;
        return result;
    }

    std::vector<HidDevice*> copyDevices() override
    {
        std::vector<HidDevice*> matches;
        const CfRef<CFSetRef> set(IOHIDManagerCopyDevices(m_manager.get()));
        if (!set)
            return matches;
        std::vector<const void*> values(static_cast<std::size_t>(CFSetGetCount(set.get())));
        CFSetGetValues(set.get(), values.data());
        for (const void* value : values) {
            IOHIDDeviceRef ref = static_cast<IOHIDDeviceRef>(const_cast<void*>(value));
            // The same object again for a device handed out before.
            const auto known = std::find_if(m_devices.begin(), m_devices.end(),
                                            [ref](const std::unique_ptr<MacHidDevice>& d) { return d->ref() == ref; });
            if (known != m_devices.end()) {
                matches.push_back(known->get());
            } else {
                m_devices.push_back(std::make_unique<MacHidDevice>(ref));
                matches.push_back(m_devices.back().get());
            }
        }
        return matches;
    }

private:
    const CfRef<IOHIDManagerRef> m_manager;
    bool m_matchingFailed = false;
    bool m_opened = false;
    // Every device handed out stays here until the manager goes, so callers' pointers stay valid.
    std::vector<std::unique_ptr<MacHidDevice>> m_devices;
};

class MacHidBackend final : public HidBackend {
public:
    std::unique_ptr<HidManager> createManager() override
    {
        auto manager = std::make_unique<MacHidManager>();
        if (!manager->isValid())
            return nullptr;
        return manager;
    }
};

}  // namespace

HidBackend& defaultHidBackend()
{
    static MacHidBackend backend;
    return backend;
}

}  // namespace platform
}  // namespace kel
