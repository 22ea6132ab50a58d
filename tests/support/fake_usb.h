// A fake USB bus for tests and benchmarks: devices with descriptors, strings in any language
// and bound drivers, that arrive and leave at any moment from any thread. Each notification
// port hears of arrivals and removals, in bus order, on the run loop its source is in.
#pragma once

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

class EmulatedUsbBus;

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
    std::string name;                              // the registry name; empty: none
    std::vector<std::string> drivers;              // one interface per entry; "" has no driver
};

// Once it has left the bus it stays gone: plugging it in again is a new object, as for the host.
class EmulatedUsbDevice : public UsbService, public std::enable_shared_from_this<EmulatedUsbDevice> {
public:
    // The device interface's getters that can be made to fail.
    enum Query { kInformation, kLocation, kVendor, kProduct, kRelease, kClass, kProductIndex, kQueryCount };

    static std::shared_ptr<EmulatedUsbDevice> create(EmulatedUsbDeviceConfig config)
    {
        return std::shared_ptr<EmulatedUsbDevice>(new EmulatedUsbDevice(std::move(config)));
    }
    const EmulatedUsbDeviceConfig& config() const { return m_config; }

    void setString(std::uint8_t index, std::uint16_t languageId, const std::u16string& text);
    // The exact bytes a request for this string is answered with (which may lie about their
    // length); a request for more gets all of them, one for less the first bytes. None: it stalls.
    void setRawString(std::uint8_t index, std::uint16_t languageId, std::vector<std::uint8_t> bytes)
    {
        locked([&] { m_strings[{index, languageId}] = std::move(bytes); });
    }
    void failQuery(Query query, IOReturn result) { locked([&] { m_failures[query] = result; }); }
    // Leaves the bus right after it has answered `count` more control requests (0: never).
    void detachAfterRequests(std::size_t count)
    {
        locked([&] { m_detachAfter = count == 0 ? 0 : m_requests + count; });
    }
    bool isTerminated() const { return locked([&] { return m_terminated; }); }
    bool isOpen() const { return locked([&] { return m_open; }); }

    IOReturn createPlugInInterface(std::unique_ptr<UsbPlugInInterface>& plugIn) override;

    // For the bus's device interface.
    IOReturn query(Query query) const;
    IOReturn deviceRequest(UsbDevRequest& request);
    IOReturn setOpen(bool open);

private:
    friend class EmulatedUsbBus;
    explicit EmulatedUsbDevice(EmulatedUsbDeviceConfig config) : m_config(std::move(config)) {}
    template <typename F>
    auto locked(F f) const -> decltype(f())
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return f();
    }

    const EmulatedUsbDeviceConfig m_config;
    mutable std::mutex m_mutex;
    std::map<std::pair<std::uint8_t, std::uint16_t>, std::vector<std::uint8_t>> m_strings;
    IOReturn m_failures[kQueryCount] = {};
    std::size_t m_detachAfter = 0;
    std::size_t m_requests = 0;
    bool m_open = false;
    bool m_terminated = false;
    EmulatedUsbBus* m_bus = nullptr;  // while attached
};

// Must outlive the ports and iterators made from it.
class EmulatedUsbBus final : public UsbBackend {
public:
    EmulatedUsbBus() = default;
    ~EmulatedUsbBus() override;
    EmulatedUsbBus(const EmulatedUsbBus&) = delete;
    EmulatedUsbBus& operator=(const EmulatedUsbBus&) = delete;

    // Any thread. Attaching a device twice, or detaching one that is not there, does nothing.
    void attach(const std::shared_ptr<EmulatedUsbDevice>& device);
    void detach(const std::shared_ptr<EmulatedUsbDevice>& device);
    std::vector<std::shared_ptr<EmulatedUsbDevice>> devices() const;  // in order of arrival

    // Faults of the host side.
    void setPortCreationFails(bool fails) { set(m_portCreationFails, fails); }
    void setMatchingResult(IOReturn result) { set(m_matchingResult, result); }
    void setInterestResult(IOReturn result) { set(m_interestResult, result); }

    IOReturn getMatchingServices(const UsbMatching& matching, std::unique_ptr<UsbIterator>& iterator) override;
    std::unique_ptr<UsbNotificationPort> createNotificationPort() override;
    std::shared_ptr<UsbRegistryEntry> registryRoot() override;

    struct Port;

private:
    template <typename T>
    void set(T& field, T value)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        field = value;
    }
    void post(bool arrival, const std::shared_ptr<EmulatedUsbDevice>& device);  // under m_mutex

    mutable std::mutex m_mutex;  // taken before a port's or a device's
    std::vector<std::shared_ptr<EmulatedUsbDevice>> m_attached;
    std::uint64_t m_sequence = 0;  // of arrivals and removals
    std::vector<std::weak_ptr<Port>> m_ports;
    bool m_portCreationFails = false;
    IOReturn m_matchingResult = kIOReturnSuccess;
    IOReturn m_interestResult = kIOReturnSuccess;
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
