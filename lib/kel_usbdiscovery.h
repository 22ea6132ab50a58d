// The list of attached USB devices that pass a set of filters, kept current from arrival and
// removal notifications, with a client told on its dispatch queue after every change.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "lib/kel_runloopthread.h"
#include "lib/kel_usbfilter.h"
#include "lib/kel_usbidentifier.h"
#include "platform/ioreturn.h"
#include "platform/runloop.h"
#include "platform/usb.h"

namespace kel {

class UsbDevice;
class UsbDiscoveryEngine;

class UsbDiscovery {
public:
    // What is known of one listed device.
    struct DeviceInfo {
        std::uint32_t locationId = 0;
        std::uint16_t idVendor = 0;
        std::uint16_t idProduct = 0;
        std::uint16_t bcdDevice = 0;
        std::uint8_t deviceClass = 0;
        std::uint8_t deviceSubClass = 0;
        std::uint8_t deviceProtocol = 0;
        std::string manufacturer;
        std::string product;
        std::string serial;
        std::string name;

        void clear() { *this = DeviceInfo(); }
    };

    using Block = std::function<void(UsbDiscovery&)>;

    UsbDiscovery();
    ~UsbDiscovery();
    UsbDiscovery(const UsbDiscovery&) = delete;
    UsbDiscovery& operator=(const UsbDiscovery&) = delete;

    void setFilter(const std::vector<UsbFilter>& filters);
    void setFilter(const UsbFilter& filter);
    void setFilter(unsigned short idVendor);
    void setFilter(unsigned short idVendor, unsigned short idProduct);
    void setFilter(const UsbIdentifier& identifier);
    void setLocationFilter(unsigned int locationId);
    void clearFilter();

    bool start();
    // The block runs on the main queue with this object after every change of the list.
    bool start(Block block);
    bool start(platform::DispatchQueue* queue, Block block);
    // Once it returns, no block of this object runs any more.
    void stop();
    bool isActive() const;
    unsigned deviceCount() const;

    void getDevices(std::list<UsbIdentifier>& devices);
    bool getDeviceInfo(DeviceInfo& info, const UsbIdentifier& identifier);
    bool isDevicePresent(const UsbIdentifier& identifier);
    static bool getDeviceAtLocation(UsbIdentifier& identifier, unsigned int locationId);
    static bool getDriverInfo(std::string& name, std::list<std::string>& drivers, const UsbIdentifier& identifier);

private:
    std::unique_ptr<UsbDiscoveryEngine> m_engine;
};

// Every notification, and the bodies of start and stop, run on the engine's own thread: a
// record is never freed while a callback may use it, and the port is torn down on the
// thread that serves it.
class UsbDiscoveryEngine {
public:
    struct DeviceRecord {
        DeviceRecord() = default;
        ~DeviceRecord();
        DeviceRecord(const DeviceRecord&) = delete;
        DeviceRecord& operator=(const DeviceRecord&) = delete;

        UsbDiscoveryEngine* engine = nullptr;
        std::unique_ptr<platform::UsbNotification> notification;
        UsbDiscovery::DeviceInfo info;
    };

    UsbDiscoveryEngine();
    ~UsbDiscoveryEngine();
    UsbDiscoveryEngine(const UsbDiscoveryEngine&) = delete;
    UsbDiscoveryEngine& operator=(const UsbDiscoveryEngine&) = delete;

    bool start(platform::DispatchQueue* queue, UsbDiscovery::Block block, UsbDiscovery* discovery);
    void stop();
    bool isActive() const { return m_active.load(); }
    unsigned deviceCount() const;

    void getDevices(std::list<UsbIdentifier>& devices);
    bool getDeviceInfo(UsbDiscovery::DeviceInfo* info, const UsbIdentifier& identifier);
    void setFilter(const std::vector<UsbFilter>& filters);
    void clearFilter();
    bool passesFilter(unsigned short idVendor, unsigned short idProduct, unsigned short bcdDevice,
                      unsigned int locationId);

    static void usbDeviceAddedCallback(void* refCon, platform::UsbIterator* iterator);
    static void usbDeviceRemovedCallback(void* refCon, platform::UsbService* service, std::uint32_t messageType,
                                         void* messageArgument);

private:
    // What posted work reads when it runs: cleared by stop, which waits for a running block.
    struct Client {
        std::recursive_mutex mutex;
        UsbDiscovery::Block block;
        UsbDiscovery* discovery = nullptr;
    };

    bool startOnThread();
    bool stopOnThread();
    IOReturn addDevice(UsbDevice& device);
    void removeDevice(DeviceRecord* record);
    void flushCallbacks();
    void setClient(UsbDiscovery::Block block, UsbDiscovery* discovery);

    std::atomic<bool> m_active;
    RunLoopThread m_runLoopThread;
    std::unique_ptr<platform::UsbNotificationPort> m_notifyPort;
    std::unique_ptr<platform::UsbIterator> m_deviceAddedIterator;
    mutable std::mutex m_mutex;
    std::list<std::unique_ptr<DeviceRecord>> m_deviceRecords;
    // The records by identifier, oldest first, so that listing every device's details is
    // linear in their number.
    std::unordered_map<std::uint64_t, std::vector<DeviceRecord*>> m_recordIndex;
    std::vector<UsbFilter> m_filters;
    // The client as the engine's thread sees it; set by start, cleared by stop.
    platform::DispatchQueue* m_queue;
    UsbDiscovery::Block m_block;
    UsbDiscovery* m_discovery;
    bool m_changed;
    const std::shared_ptr<Client> m_client;
};

}  // namespace kel
