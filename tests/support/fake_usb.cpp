#include "tests/support/fake_usb.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <deque>

#include "platform/runloop.h"
#include "platform/usb_port.h"

namespace kel {
namespace platform {

namespace {

constexpr IOReturn kStall = kIOReturnError;  // what a stalled control pipe reports

bool matches(const UsbMatching& matching, const EmulatedUsbDeviceConfig& config)
{
    return (!matching.matchVendor || matching.idVendor == config.idVendor) &&
           (!matching.matchProduct || matching.idProduct == config.idProduct);
}

struct PortState;

// Arrivals and removals in bus order; `sequence` tells a registration which arrivals its
// snapshot of the bus already holds.
struct BusEvent {
    std::uint64_t sequence;
    bool arrival;
    std::shared_ptr<EmulatedUsbDevice> device;
};

struct EmulatedMatching {
    std::uint64_t since = 0;  // the last event its snapshot of the bus holds
};

using Registrations = UsbPortRegistrations<EmulatedUsbDevice, EmulatedMatching>;

// Its lock is taken after the bus's, never before.
struct PortState : Registrations {
    int eventFd = -1;
    std::deque<BusEvent> events;

    ~PortState()
    {
        if (eventFd >= 0)
            ::close(eventFd);
    }

    void post(BusEvent event)
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            events.push_back(std::move(event));
        }
        const std::uint64_t one = 1;
        (void)!::write(eventFd, &one, sizeof one);
    }

    void deliver();
    void arrive(const BusEvent& event);
    void leave(const BusEvent& event);
};

void PortState::deliver()
{
    std::uint64_t count;
    (void)!::read(eventFd, &count, sizeof count);
    std::deque<BusEvent> batch;
    {
        std::lock_guard<std::mutex> lock(mutex);
        batch.swap(events);
    }
    for (const BusEvent& event : batch) {
        if (event.arrival)
            arrive(event);
        else
            leave(event);
    }
}

void PortState::arrive(const BusEvent& event)
{
    std::vector<std::shared_ptr<Matching>> toCall;
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (const auto& registration : matchings) {
            if (registration->active && event.sequence > registration->since &&
                matches(registration->matching, event.device->config()) && queueLocked(*registration, event.device))
                toCall.push_back(registration);
        }
    }
    callMatchings(toCall);
}

void PortState::leave(const BusEvent& event)
{
    std::vector<std::shared_ptr<Interest>> toCall;
    {
        std::lock_guard<std::mutex> lock(mutex);
        toCall = terminateLocked([&](const std::shared_ptr<EmulatedUsbDevice>& device) { return device == event.device; });
    }
    callInterests(toCall);
}

class SnapshotIterator final : public UsbIterator {
public:
    explicit SnapshotIterator(std::deque<std::shared_ptr<EmulatedUsbDevice>> devices) : m_devices(std::move(devices)) {}
    UsbServiceRef next() override
    {
        if (m_devices.empty())
            return nullptr;
        UsbServiceRef service = std::move(m_devices.front());
        m_devices.pop_front();
        return service;
    }

private:
    std::deque<std::shared_ptr<EmulatedUsbDevice>> m_devices;
};

}  // namespace

struct EmulatedUsbBusState {
    std::mutex mutex;
    std::vector<std::shared_ptr<EmulatedUsbDevice>> attached;
    std::uint64_t sequence = 0;
    std::vector<std::weak_ptr<PortState>> ports;
    bool portCreationFails = false;
    IOReturn matchingResult = kIOReturnSuccess;
    IOReturn interestResult = kIOReturnSuccess;

    // With `mutex` held.
    void postLocked(bool arrival, const std::shared_ptr<EmulatedUsbDevice>& device)
    {
        const std::uint64_t event = ++sequence;
        ports.erase(std::remove_if(ports.begin(), ports.end(),
                                   [&](const std::weak_ptr<PortState>& weak) {
                                       const auto port = weak.lock();
                                       if (port)
                                           port->post(BusEvent{event, arrival, device});
                                       return !port;
                                   }),
                    ports.end());
    }

    void detach(const std::shared_ptr<EmulatedUsbDevice>& device)
    {
        std::lock_guard<std::mutex> lock(mutex);
        const auto it = std::find(attached.begin(), attached.end(), device);
        if (it == attached.end())
            return;
        attached.erase(it);
        {
            // Terminated before any port hears of it: an interest registration either sees
            // this or is found by the event.
            std::lock_guard<std::mutex> deviceLock(device->m_mutex);
            device->m_terminated = true;
            device->m_bus.reset();
        }
        postLocked(false, device);
    }
};

// ---------------------------------------------------------------------------------------------
// Devices

class EmulatedUsbDeviceInterface final : public UsbDeviceInterface {
public:
    explicit EmulatedUsbDeviceInterface(std::shared_ptr<EmulatedUsbDevice> device) : m_device(std::move(device)) {}
    ~EmulatedUsbDeviceInterface() override
    {
        if (m_open)
            m_device->close();
    }

    IOReturn USBDeviceOpen() override
    {
        if (m_open)
            return kIOReturnExclusiveAccess;
        const IOReturn result = m_device->open();
        m_open = result == kIOReturnSuccess;
        return result;
    }
    IOReturn USBDeviceClose() override
    {
        if (!m_open)
            return kIOReturnNotOpen;
        m_open = false;
        m_device->close();
        return kIOReturnSuccess;
    }
    IOReturn DeviceRequest(UsbDevRequest& request) override { return m_device->deviceRequest(request); }

#define HIDDFU_FAKE_GETTER(method, type, query, value) \
    IOReturn method(type* out) override { return get(EmulatedUsbDevice::query, out, static_cast<type>(value)); }
    HIDDFU_FAKE_GETTER(GetUSBDeviceInformation, std::uint32_t, kInformation, config().configuration != 0 ? 1 : 0)
    HIDDFU_FAKE_GETTER(GetLocationID, std::uint32_t, kLocation, config().locationId)
    HIDDFU_FAKE_GETTER(GetDeviceVendor, std::uint16_t, kVendor, config().idVendor)
    HIDDFU_FAKE_GETTER(GetDeviceProduct, std::uint16_t, kProduct, config().idProduct)
    HIDDFU_FAKE_GETTER(GetDeviceReleaseNumber, std::uint16_t, kRelease, config().bcdDevice)
    HIDDFU_FAKE_GETTER(GetDeviceClass, std::uint8_t, kClass, config().deviceClass)
    HIDDFU_FAKE_GETTER(GetDeviceSubClass, std::uint8_t, kSubClass, config().deviceSubClass)
    HIDDFU_FAKE_GETTER(GetDeviceProtocol, std::uint8_t, kProtocol, config().deviceProtocol)
    HIDDFU_FAKE_GETTER(GetDeviceSpeed, std::uint8_t, kSpeed, config().speed)
    HIDDFU_FAKE_GETTER(GetConfiguration, std::uint8_t, kConfiguration, config().configuration)
    HIDDFU_FAKE_GETTER(USBGetManufacturerStringIndex, std::uint8_t, kManufacturerIndex, config().manufacturerIndex)
    HIDDFU_FAKE_GETTER(USBGetProductStringIndex, std::uint8_t, kProductIndex, config().productIndex)
    HIDDFU_FAKE_GETTER(USBGetSerialNumberStringIndex, std::uint8_t, kSerialIndex, config().serialIndex)
#undef HIDDFU_FAKE_GETTER

private:
    const EmulatedUsbDeviceConfig& config() const { return m_device->config(); }

    template <class T>
    IOReturn get(EmulatedUsbDevice::Query query, T* out, T value)
    {
        const IOReturn result = m_device->query(query);
        if (result == kIOReturnSuccess)
            *out = value;
        return result;
    }

    const std::shared_ptr<EmulatedUsbDevice> m_device;
    bool m_open = false;
};

namespace {

class EmulatedUsbPlugIn final : public UsbPlugInInterface {
public:
    explicit EmulatedUsbPlugIn(std::shared_ptr<EmulatedUsbDevice> device) : m_device(std::move(device)) {}
    IOReturn queryDeviceInterface(std::unique_ptr<UsbDeviceInterface>& deviceInterface) override
    {
        if (m_device->isTerminated())
            return kIOReturnNoDevice;
        deviceInterface.reset(new EmulatedUsbDeviceInterface(m_device));
        return kIOReturnSuccess;
    }

private:
    const std::shared_ptr<EmulatedUsbDevice> m_device;
};

}  // namespace

std::shared_ptr<EmulatedUsbDevice> EmulatedUsbDevice::create(EmulatedUsbDeviceConfig config)
{
    return std::shared_ptr<EmulatedUsbDevice>(new EmulatedUsbDevice(std::move(config)));
}

EmulatedUsbDevice::EmulatedUsbDevice(EmulatedUsbDeviceConfig config) : m_config(std::move(config)) {}

EmulatedUsbDevice::~EmulatedUsbDevice() = default;

void EmulatedUsbDevice::setString(std::uint8_t index, std::uint16_t languageId, const std::u16string& text)
{
    std::vector<std::uint8_t> bytes{0, 3};
    for (const char16_t unit : text) {
        bytes.push_back(static_cast<std::uint8_t>(unit & 0xff));
        bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    bytes[0] = static_cast<std::uint8_t>(std::min<std::size_t>(bytes.size(), 255));
    bytes.resize(bytes[0]);
    setRawString(index, languageId, std::move(bytes));
}

void EmulatedUsbDevice::setRawString(std::uint8_t index, std::uint16_t languageId, std::vector<std::uint8_t> bytes)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_strings[{index, languageId}] = std::move(bytes);
}

void EmulatedUsbDevice::failQuery(Query query, IOReturn result)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_failures[query] = result;
}

void EmulatedUsbDevice::detachAfterRequests(std::size_t count)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_detachAfter = count == 0 ? 0 : m_requests + count;
}

bool EmulatedUsbDevice::isTerminated() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_terminated;
}

bool EmulatedUsbDevice::isOpen() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_open;
}

IOReturn EmulatedUsbDevice::createPlugInInterface(std::unique_ptr<UsbPlugInInterface>& plugIn)
{
    if (isTerminated())
        return kIOReturnNoDevice;
    plugIn.reset(new EmulatedUsbPlugIn(shared_from_this()));
    return kIOReturnSuccess;
}

IOReturn EmulatedUsbDevice::query(Query query) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_terminated ? kIOReturnNoDevice : m_failures[query];
}

IOReturn EmulatedUsbDevice::open()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_terminated)
        return kIOReturnNoDevice;
    if (m_open)
        return kIOReturnExclusiveAccess;
    m_open = true;
    return kIOReturnSuccess;
}

void EmulatedUsbDevice::close()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_open = false;
}

IOReturn EmulatedUsbDevice::deviceRequest(UsbDevRequest& request)
{
    request.wLenDone = 0;
    std::shared_ptr<EmulatedUsbBusState> detachFrom;
    IOReturn result = kStall;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_terminated)
            return kIOReturnNoDevice;
        std::vector<std::uint8_t> answer;
        if (request.bmRequestType == 0x80 && request.bRequest == 6) {
            const std::uint8_t type = request.wValue >> 8;
            const std::uint8_t index = request.wValue & 0xff;
            if (type == 1) {
                const std::uint8_t descriptor[18] = {
                    18, 1, 0x00, 0x02, m_config.deviceClass, m_config.deviceSubClass, m_config.deviceProtocol, 64,
                    std::uint8_t(m_config.idVendor), std::uint8_t(m_config.idVendor >> 8),
                    std::uint8_t(m_config.idProduct), std::uint8_t(m_config.idProduct >> 8),
                    std::uint8_t(m_config.bcdDevice), std::uint8_t(m_config.bcdDevice >> 8),
                    m_config.manufacturerIndex, m_config.productIndex, m_config.serialIndex, 1};
                answer.assign(descriptor, descriptor + sizeof descriptor);
                result = kIOReturnSuccess;
            } else if (type == 3 && index == 0 && !m_config.languages.empty()) {
                answer = {static_cast<std::uint8_t>(2 + 2 * m_config.languages.size()), 3};
                for (const std::uint16_t language : m_config.languages) {
                    answer.push_back(static_cast<std::uint8_t>(language & 0xff));
                    answer.push_back(static_cast<std::uint8_t>(language >> 8));
                }
                result = kIOReturnSuccess;
            } else if (type == 3) {
                const auto found = m_strings.find({index, request.wIndex});
                if (found != m_strings.end()) {
                    answer = found->second;
                    result = kIOReturnSuccess;
                }
            }
        }
        if (result == kIOReturnSuccess) {
            const std::size_t length = std::min<std::size_t>(answer.size(), request.wLength);
            if (length > 0)
                std::memcpy(request.pData, answer.data(), length);
            request.wLenDone = static_cast<std::uint32_t>(length);
        }
        ++m_requests;
        if (m_detachAfter != 0 && m_requests >= m_detachAfter) {
            m_detachAfter = 0;
            detachFrom = m_bus.lock();
        }
    }
    if (detachFrom)
        detachFrom->detach(shared_from_this());
    return result;
}

// ---------------------------------------------------------------------------------------------
// Notification port

namespace {

class EmulatedUsbNotificationPort final : public UsbNotificationPort {
public:
    EmulatedUsbNotificationPort(std::shared_ptr<EmulatedUsbBusState> bus, std::shared_ptr<PortState> state,
                                std::shared_ptr<FdSource> source)
        : m_bus(std::move(bus)), m_state(std::move(state)), m_source(std::move(source))
    {
    }

    ~EmulatedUsbNotificationPort() override
    {
        m_source->invalidate();
        std::lock_guard<std::mutex> lock(m_state->mutex);
        m_state->clearLocked();
        m_state->events.clear();
    }

    std::shared_ptr<FdSource> runLoopSource() override { return m_source; }

    IOReturn addMatchingNotification(const UsbMatching& matching, MatchingCallback callback, void* refCon,
                                     std::unique_ptr<UsbIterator>& iterator) override
    {
        if (callback == nullptr)
            return kIOReturnBadArgument;
        std::shared_ptr<Registrations::Matching> registration;
        {
            // The snapshot and the event sequence agree: arrivals after it come as events.
            std::lock_guard<std::mutex> busLock(m_bus->mutex);
            if (m_bus->matchingResult != kIOReturnSuccess)
                return m_bus->matchingResult;
            std::lock_guard<std::mutex> lock(m_state->mutex);
            registration = std::make_shared<Registrations::Matching>(*m_state, matching, callback, refCon);
            registration->since = m_bus->sequence;
            for (const auto& device : m_bus->attached) {
                if (matches(matching, device->config()))
                    registration->pending.push_back(device);
            }
            m_state->matchings.push_back(registration);
        }
        iterator = Registrations::iterator(m_state, std::move(registration));
        return kIOReturnSuccess;
    }

    IOReturn addInterestNotification(const UsbServiceRef& service, InterestCallback callback, void* refCon,
                                     std::unique_ptr<UsbNotification>& notification) override
    {
        auto device = std::dynamic_pointer_cast<EmulatedUsbDevice>(service);
        if (!device || callback == nullptr)
            return kIOReturnBadArgument;
        {
            std::lock_guard<std::mutex> busLock(m_bus->mutex);
            if (m_bus->interestResult != kIOReturnSuccess)
                return m_bus->interestResult;
        }
        return Registrations::addInterest(
            m_state, std::move(device), callback, refCon,
            [](const EmulatedUsbDevice& candidate) { return candidate.isTerminated(); }, notification);
    }

private:
    const std::shared_ptr<EmulatedUsbBusState> m_bus;
    const std::shared_ptr<PortState> m_state;
    const std::shared_ptr<FdSource> m_source;
};

// ---------------------------------------------------------------------------------------------
// Registry

// A registry node: the root, a device, or an interface naming its driver.
class Entry final : public UsbRegistryEntry {
public:
    Entry(std::string className, std::string name, std::map<std::string, std::int64_t> numbers = {},
          std::string driver = "")
        : m_className(std::move(className)), m_name(std::move(name)), m_numbers(std::move(numbers)),
          m_driver(std::move(driver))
    {
    }
    std::string className() override { return m_className; }
    bool nameInPlane(std::string& name) override
    {
        name = m_name;
        return !name.empty();
    }
    bool numberProperty(const std::string& key, std::int64_t& value) override
    {
        const auto found = m_numbers.find(key);
        return found != m_numbers.end() && (value = found->second, true);
    }
    bool stringProperty(const std::string& key, std::string& value) override
    {
        return key == kUsbBundleIdentifierKey && !m_driver.empty() && (value = m_driver, true);
    }
    std::vector<std::shared_ptr<UsbRegistryEntry>> children() override { return m_children; }

    std::vector<std::shared_ptr<UsbRegistryEntry>> m_children;

private:
    const std::string m_className, m_name;
    const std::map<std::string, std::int64_t> m_numbers;
    const std::string m_driver;
};

std::shared_ptr<UsbRegistryEntry> registryOf(const std::vector<std::shared_ptr<EmulatedUsbDevice>>& devices)
{
    auto root = std::make_shared<Entry>("IORegistryEntry", "Root");
    for (const auto& device : devices) {
        const auto& config = device->config();
        auto entry = std::make_shared<Entry>(kUsbDeviceClassName, config.name,
                                             std::map<std::string, std::int64_t>{{kUsbVendorIdKey, config.idVendor},
                                                                                 {kUsbProductIdKey, config.idProduct},
                                                                                 {kUsbLocationIdKey, config.locationId}});
        for (const std::string& driver : config.drivers)
            entry->m_children.push_back(std::make_shared<Entry>("IOUSBInterface", "interface",
                                                                std::map<std::string, std::int64_t>{}, driver));
        root->m_children.push_back(entry);
    }
    return root;
}

void portReadable(void* info, int /*fd*/, unsigned /*events*/)
{
    static_cast<PortState*>(info)->deliver();
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Bus

EmulatedUsbBus::EmulatedUsbBus() : m_state(std::make_shared<EmulatedUsbBusState>()) {}

EmulatedUsbBus::~EmulatedUsbBus()
{
    detachAll();
}

void EmulatedUsbBus::attach(const std::shared_ptr<EmulatedUsbDevice>& device)
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    {
        std::lock_guard<std::mutex> deviceLock(device->m_mutex);
        if (device->m_terminated || !device->m_bus.expired())
            return;
        device->m_bus = m_state;
    }
    m_state->attached.push_back(device);
    m_state->postLocked(true, device);
}

void EmulatedUsbBus::detach(const std::shared_ptr<EmulatedUsbDevice>& device)
{
    m_state->detach(device);
}

void EmulatedUsbBus::detachAll()
{
    for (const auto& device : devices())
        detach(device);
}

std::vector<std::shared_ptr<EmulatedUsbDevice>> EmulatedUsbBus::devices() const
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    return m_state->attached;
}

void EmulatedUsbBus::setPortCreationFails(bool fails)
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->portCreationFails = fails;
}

void EmulatedUsbBus::setMatchingResult(IOReturn result)
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->matchingResult = result;
}

void EmulatedUsbBus::setInterestResult(IOReturn result)
{
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->interestResult = result;
}

IOReturn EmulatedUsbBus::getMatchingServices(const UsbMatching& matching, std::unique_ptr<UsbIterator>& iterator)
{
    std::deque<std::shared_ptr<EmulatedUsbDevice>> found;
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        if (m_state->matchingResult != kIOReturnSuccess)
            return m_state->matchingResult;
        for (const auto& device : m_state->attached) {
            if (matches(matching, device->config()))
                found.push_back(device);
        }
    }
    iterator.reset(new SnapshotIterator(std::move(found)));
    return kIOReturnSuccess;
}

std::unique_ptr<UsbNotificationPort> EmulatedUsbBus::createNotificationPort()
{
    auto state = std::make_shared<PortState>();
    state->eventFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (state->eventFd < 0)
        return nullptr;
    auto source = FdSource::create(state->eventFd, state.get(), &portReadable);
    if (!source)
        return nullptr;
    {
        std::lock_guard<std::mutex> lock(m_state->mutex);
        if (m_state->portCreationFails)
            return nullptr;
        m_state->ports.push_back(state);
    }
    return std::unique_ptr<UsbNotificationPort>(
        new EmulatedUsbNotificationPort(m_state, std::move(state), std::move(source)));
}

std::shared_ptr<UsbRegistryEntry> EmulatedUsbBus::registryRoot()
{
    return registryOf(devices());
}

}  // namespace platform
}  // namespace kel
