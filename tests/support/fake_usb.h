// A fake USB bus for tests and benchmarks: devices with descriptors and strings that arrive and
// leave at any moment from any thread. Each notification port hears of arrivals and removals, in
// bus order, on the run loop it is scheduled on.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/usb.h"

namespace kel {
namespace platform {

struct EmulatedUsbDeviceConfig {
    std::uint16_t idVendor = 0;
    std::uint16_t idProduct = 0;
    std::uint16_t bcdDevice = 0;
    std::uint32_t locationId = 0;
    std::uint8_t deviceClass = 0;
    std::uint8_t configuration = 1;
    std::uint8_t manufacturerIndex = 0;
    std::uint8_t productIndex = 0;
    std::uint8_t serialIndex = 0;
    std::vector<std::uint16_t> languages{0x0409};  // string descriptor 0; empty: it stalls
};

// The fields are set from one thread at a time: before the device is attached, or by the test
// that uses it. Once it has left the bus it stays gone.
class EmulatedUsbDevice final : public UsbService, public std::enable_shared_from_this<EmulatedUsbDevice> {
public:
    // The device interface's getters that can be made to fail; kOther stands for all the rest.
    enum Query { kInformation, kLocation, kVendor, kProduct, kRelease, kClass, kProductIndex, kOther };

    explicit EmulatedUsbDevice(EmulatedUsbDeviceConfig configuration) : config(std::move(configuration)) {}
    void setString(std::uint8_t index, std::uint16_t languageId, const std::u16string& text);
    IOReturn createPlugInInterface(std::unique_ptr<UsbPlugInInterface>& plugIn) override;

    const EmulatedUsbDeviceConfig config;
    // By index and language: the bytes a request is answered with, cut to the length asked for;
    // they may lie about their own length. None: the request stalls.
    std::map<std::pair<std::uint8_t, std::uint16_t>, std::vector<std::uint8_t>> strings;
    IOReturn failures[kOther + 1] = {};
    std::size_t requestsLeft = ~std::size_t(0);  // control requests answered before it fails as gone
    bool open = false;
    std::atomic<bool> terminated{false};
};

// Must outlive the ports and iterators made from it.
class EmulatedUsbBus final : public UsbBackend {
public:
    // Any thread. Attaching a device twice, or detaching one that is not there, does nothing.
    void attach(const std::shared_ptr<EmulatedUsbDevice>& device);
    void detach(const std::shared_ptr<EmulatedUsbDevice>& device);
    std::vector<std::shared_ptr<EmulatedUsbDevice>> devices() const;  // in order of arrival

    // Faults of the host side, set while no port is in use.
    bool portCreationFails = false;
    IOReturn matchingResult = kIOReturnSuccess;
    IOReturn interestResult = kIOReturnSuccess;
    std::shared_ptr<UsbRegistryEntry> registry;  // what registryRoot() answers

    IOReturn getMatchingServices(const UsbMatching& matching, std::unique_ptr<UsbIterator>& iterator) override;
    std::unique_ptr<UsbNotificationPort> createNotificationPort() override;
    std::shared_ptr<UsbRegistryEntry> registryRoot() override { return registry; }

    struct Port;

private:
    void post(bool arrival, const std::shared_ptr<EmulatedUsbDevice>& device);  // under m_mutex

    mutable std::mutex m_mutex;  // taken before a port's
    std::vector<std::shared_ptr<EmulatedUsbDevice>> m_attached;
    std::uint64_t m_sequence = 0;  // of arrivals and removals
    std::vector<std::weak_ptr<Port>> m_ports;
};

// Installs a bus as the backend for its lifetime.
class ScopedUsbBackend {
public:
    explicit ScopedUsbBackend(UsbBackend& backend) { setUsbBackend(&backend); }
    ~ScopedUsbBackend() { setUsbBackend(nullptr); }
    ScopedUsbBackend(const ScopedUsbBackend&) = delete;
    ScopedUsbBackend& operator=(const ScopedUsbBackend&) = delete;
};

}  // namespace platform
}  // namespace kel
