// HID devices on Linux: hidraw nodes of USB devices, found with libudev.
//
// Exclusive use is best effort: hidraw cannot be seized, so open(seize) takes an advisory
// flock() on the node. That keeps two hiddfu processes from driving one device at once, but
// not a program that opens the node without the lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/hid.h"
#include "platform/linux/hid_sysfs.h"

struct udev;

namespace kel {
namespace platform {

class FdSource;

// The Linux backend, the default one of hidBackend().
HidBackend& linuxHidBackend();

class LinuxHidDevice final : public HidDevice {
public:
    // `node` is the hidraw device node. With `fd` >= 0 the device adopts that open descriptor
    // (it is then open, and closed by the device) instead of opening the node.
    LinuxHidDevice(std::string node, HidMatching properties, bool usesReportIds, int fd = -1);
    ~LinuxHidDevice() override;
    LinuxHidDevice(const LinuxHidDevice&) = delete;
    LinuxHidDevice& operator=(const LinuxHidDevice&) = delete;

    IOReturn open(bool seize) override;
    bool getProperty(const std::string& key, std::int64_t& value) override;
    IOReturn setReport(ReportType type, std::uint32_t reportId, const std::uint8_t* data,
                       std::size_t length) override;
    IOReturn getReport(ReportType type, std::uint32_t reportId, std::uint8_t* buffer,
                       std::size_t& length) override;
    void registerInputReportCallback(std::uint8_t* buffer, std::size_t size, InputReportCallback callback,
                                     void* context) override;
    void registerRemovalCallback(RemovalCallback callback, void* context) override;
    // The device must be open. Callbacks are made with the device's callback lock held, so
    // whoever unschedules from another thread must not hold a lock that a callback takes.
    void scheduleWithRunLoop(RunLoop* loop) override;
    void unscheduleFromRunLoop(RunLoop* loop) override;

    void close();
    const std::string& node() const { return m_node; }
    const HidMatching& properties() const { return m_properties; }
    bool isRemoved() const { return m_removed.load(); }

private:
    static void fdCallback(void* info, int fd, unsigned events);
    void handleEvents(unsigned events);
    void deliverRemoval();
    IOReturn failure(int error);

    const std::string m_node;
    const HidMatching m_properties;
    const bool m_usesReportIds;
    int m_fd = -1;
    // Set once the device is known to be gone: by the removal, or a call answered ENODEV.
    std::atomic<bool> m_removed{false};

    // Guards everything below and is held while a callback runs; recursive so that callbacks
    // may call back into the device.
    std::recursive_mutex m_callbackMutex;
    std::uint8_t* m_inputBuffer = nullptr;
    std::size_t m_inputBufferSize = 0;
    InputReportCallback m_inputCallback = nullptr;
    void* m_inputContext = nullptr;
    RemovalCallback m_removalCallback = nullptr;
    void* m_removalContext = nullptr;
    std::shared_ptr<FdSource> m_source;
    RunLoop* m_loop = nullptr;
    bool m_removalDelivered = false;
};

class LinuxHidManager final : public HidManager {
public:
    LinuxHidManager();
    ~LinuxHidManager() override;
    LinuxHidManager(const LinuxHidManager&) = delete;
    LinuxHidManager& operator=(const LinuxHidManager&) = delete;

    void setDeviceMatching(const HidMatching& matching) override;
    IOReturn open() override;
    std::vector<HidDevice*> copyDevices() override;

private:
    ::udev* m_udev = nullptr;
    HidMatching m_matching;
    // Every device handed out stays here until the manager goes, so callers' pointers stay valid.
    std::vector<std::unique_ptr<LinuxHidDevice>> m_devices;
    std::vector<std::string> m_syspaths;
};

}  // namespace platform
}  // namespace kel
