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

bool matches(const UsbMatching& matching, const EmulatedUsbDeviceConfig& config)
{
    return (!matching.matchVendor || matching.idVendor == config.idVendor) &&
           (!matching.matchProduct || matching.idProduct == config.idProduct);
}

struct Since {
    std::uint64_t since = 0;  // the last bus event the registration's snapshot holds
};

struct BusEvent {
    std::uint64_t sequence;
    bool arrival;
    std::shared_ptr<EmulatedUsbDevice> device;
};

class Interface final : public UsbDeviceInterface, public UsbPlugInInterface {
public:
    explicit Interface(std::shared_ptr<EmulatedUsbDevice> device) : m_device(std::move(device)) {}
    ~Interface() override
    {
        if (m_open)
            m_device->setOpen(false);
    }

    IOReturn queryDeviceInterface(std::unique_ptr<UsbDeviceInterface>& deviceInterface) override
    {
        if (m_device->isTerminated())
            return kIOReturnNoDevice;
        deviceInterface.reset(new Interface(m_device));
        return kIOReturnSuccess;
    }

    IOReturn USBDeviceOpen() override
    {
        const IOReturn result = m_open ? kIOReturnExclusiveAccess : m_device->setOpen(true);
        m_open = m_open || result == kIOReturnSuccess;
        return result;
    }
    IOReturn USBDeviceClose() override
    {
        if (!m_open)
            return kIOReturnNotOpen;
        m_open = false;
        return m_device->setOpen(false);
    }
    IOReturn DeviceRequest(UsbDevRequest& request) override { return m_device->deviceRequest(request); }

#define HIDDFU_FAKE_GETTER(method, type, query, value) \
    IOReturn method(type* out) override { return get(EmulatedUsbDevice::query, out, static_cast<type>(value)); }
    HIDDFU_FAKE_GETTER(GetUSBDeviceInformation, std::uint32_t, kInformation, config().configuration != 0)
    HIDDFU_FAKE_GETTER(GetLocationID, std::uint32_t, kLocation, config().locationId)
    HIDDFU_FAKE_GETTER(GetDeviceVendor, std::uint16_t, kVendor, config().idVendor)
    HIDDFU_FAKE_GETTER(GetDeviceProduct, std::uint16_t, kProduct, config().idProduct)
    HIDDFU_FAKE_GETTER(GetDeviceReleaseNumber, std::uint16_t, kRelease, config().bcdDevice)
    HIDDFU_FAKE_GETTER(GetDeviceClass, std::uint8_t, kClass, config().deviceClass)
    HIDDFU_FAKE_GETTER(GetDeviceSubClass, std::uint8_t, kQueryCount, 0)
    HIDDFU_FAKE_GETTER(GetDeviceProtocol, std::uint8_t, kQueryCount, 0)
    HIDDFU_FAKE_GETTER(GetDeviceSpeed, std::uint8_t, kQueryCount, 2)
    HIDDFU_FAKE_GETTER(GetConfiguration, std::uint8_t, kQueryCount, config().configuration)
    HIDDFU_FAKE_GETTER(USBGetManufacturerStringIndex, std::uint8_t, kQueryCount, config().manufacturerIndex)
    HIDDFU_FAKE_GETTER(USBGetProductStringIndex, std::uint8_t, kProductIndex, config().productIndex)
    HIDDFU_FAKE_GETTER(USBGetSerialNumberStringIndex, std::uint8_t, kQueryCount, config().serialIndex)
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

// A registry node: the root, a device, or an interface naming its driver.
struct Entry final : UsbRegistryEntry {
    Entry(std::string kind, std::string plane, std::map<std::string, std::int64_t> values = {}, std::string bundle = "")
        : className_(std::move(kind)), name(std::move(plane)), numbers(std::move(values)), driver(std::move(bundle))
    {
    }
    std::string className() override { return className_; }
    bool nameInPlane(std::string& value) override { return !(value = name).empty(); }
    bool numberProperty(const std::string& key, std::int64_t& value) override
    {
        const auto found = numbers.find(key);
        return found != numbers.end() && (value = found->second, true);
    }
    bool stringProperty(const std::string& key, std::string& value) override
    {
        return key == kUsbBundleIdentifierKey && !driver.empty() && (value = driver, true);
    }
    std::vector<std::shared_ptr<UsbRegistryEntry>> children() override { return nodes; }

    const std::string className_, name;
    const std::map<std::string, std::int64_t> numbers;
    const std::string driver;
    std::vector<std::shared_ptr<UsbRegistryEntry>> nodes;
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// Devices

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

IOReturn EmulatedUsbDevice::createPlugInInterface(std::unique_ptr<UsbPlugInInterface>& plugIn)
{
    if (isTerminated())
        return kIOReturnNoDevice;
    plugIn.reset(new Interface(shared_from_this()));
    return kIOReturnSuccess;
}

IOReturn EmulatedUsbDevice::query(Query query) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_terminated ? kIOReturnNoDevice : query == kQueryCount ? kIOReturnSuccess : m_failures[query];
}

IOReturn EmulatedUsbDevice::setOpen(bool open)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (open && (m_terminated || m_open))
        return m_terminated ? kIOReturnNoDevice : kIOReturnExclusiveAccess;
    m_open = open;
    return kIOReturnSuccess;
}

IOReturn EmulatedUsbDevice::deviceRequest(UsbDevRequest& request)
{
    request.wLenDone = 0;
    EmulatedUsbBus* detachFrom = nullptr;
    IOReturn result = kIOReturnError;  // what a stalled control pipe reports
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_terminated)
            return kIOReturnNoDevice;
        const auto type = std::uint8_t(request.wValue >> 8), index = std::uint8_t(request.wValue & 0xff);
        std::vector<std::uint8_t> answer;
        const auto& c = m_config;
        if (request.bmRequestType != 0x80 || request.bRequest != 6) {
        } else if (type == 1) {
            answer = {18, 1, 0x00, 0x02, c.deviceClass, 0, 0, 64,
                      std::uint8_t(c.idVendor), std::uint8_t(c.idVendor >> 8),
                      std::uint8_t(c.idProduct), std::uint8_t(c.idProduct >> 8),
                      std::uint8_t(c.bcdDevice), std::uint8_t(c.bcdDevice >> 8),
                      c.manufacturerIndex, c.productIndex, c.serialIndex, 1};
        } else if (type == 3 && index == 0 && !c.languages.empty()) {
            answer = {static_cast<std::uint8_t>(2 + 2 * c.languages.size()), 3};
            for (const std::uint16_t language : c.languages)
                answer.insert(answer.end(), {std::uint8_t(language), std::uint8_t(language >> 8)});
        } else if (type == 3 && m_strings.count({index, request.wIndex})) {
            answer = m_strings.at({index, request.wIndex});
        }
        if (!answer.empty()) {
            request.wLenDone = static_cast<std::uint32_t>(std::min<std::size_t>(answer.size(), request.wLength));
            std::memcpy(request.pData, answer.data(), request.wLenDone);
            result = kIOReturnSuccess;
        }
        if (m_detachAfter != 0 && ++m_requests >= m_detachAfter) {
            m_detachAfter = 0;
            detachFrom = m_bus;
        }
    }
    if (detachFrom)
        detachFrom->detach(shared_from_this());
    return result;
}

// ---------------------------------------------------------------------------------------------
// Notification ports: the bus posts its events to every port, which hands them to the
// registrations on its run loop. Its lock is taken after the bus's, never before.

struct EmulatedUsbBus::Port : UsbPortRegistrations<EmulatedUsbDevice, Since> {
    explicit Port(EmulatedUsbBus& owner) : bus(owner) {}
    EmulatedUsbBus& bus;
    int eventFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    std::deque<BusEvent> events;

    ~Port()
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

    static void readable(void* info, int /*fd*/, unsigned /*events*/)
    {
        auto* port = static_cast<Port*>(info);
        std::uint64_t count;
        (void)!::read(port->eventFd, &count, sizeof count);
        std::deque<BusEvent> batch;
        {
            std::lock_guard<std::mutex> lock(port->mutex);
            batch.swap(port->events);
        }
        for (const BusEvent& event : batch)
            port->deliver(event);
    }

    void deliver(const BusEvent& event)
    {
        std::vector<std::shared_ptr<Matching>> arrivals;
        std::vector<std::shared_ptr<Interest>> removals;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (!event.arrival)
                removals = terminateLocked([&](const std::shared_ptr<EmulatedUsbDevice>& d) { return d == event.device; });
            for (const auto& registration : matchings) {
                if (event.arrival && registration->active && event.sequence > registration->since &&
                    matches(registration->matching, event.device->config()) && queueLocked(*registration, event.device))
                    arrivals.push_back(registration);
            }
        }
        callMatchings(arrivals);
        callInterests(removals);
    }

    // The snapshot and the event sequence agree: arrivals after it come as events.
    IOReturn addMatching(const std::shared_ptr<Matching>& registration)
    {
        std::lock_guard<std::mutex> busLock(bus.m_mutex);
        if (bus.m_matchingResult != kIOReturnSuccess)
            return bus.m_matchingResult;
        std::lock_guard<std::mutex> lock(mutex);
        registration->since = bus.m_sequence;
        for (const auto& device : bus.m_attached) {
            if (matches(registration->matching, device->config()))
                registration->pending.push_back(device);
        }
        matchings.push_back(registration);
        return kIOReturnSuccess;
    }

    IOReturn interestResult()
    {
        std::lock_guard<std::mutex> busLock(bus.m_mutex);
        return bus.m_interestResult;
    }
};

namespace {

class NotificationPort final : public UsbNotificationPort {
public:
    using Port = EmulatedUsbBus::Port;

    NotificationPort(std::shared_ptr<Port> port, std::shared_ptr<FdSource> source)
        : m_port(std::move(port)), m_source(std::move(source))
    {
    }
    ~NotificationPort() override
    {
        m_source->invalidate();
        std::lock_guard<std::mutex> lock(m_port->mutex);
        m_port->clearLocked();
        m_port->events.clear();
    }

    std::shared_ptr<FdSource> runLoopSource() override { return m_source; }

    IOReturn addMatchingNotification(const UsbMatching& matching, MatchingCallback callback, void* refCon,
                                     std::unique_ptr<UsbIterator>& iterator) override
    {
        if (callback == nullptr)
            return kIOReturnBadArgument;
        auto registration = std::make_shared<Port::Matching>(*m_port, matching, callback, refCon);
        const IOReturn result = m_port->addMatching(registration);
        if (result == kIOReturnSuccess)
            iterator = Port::iterator(m_port, std::move(registration));
        return result;
    }

    IOReturn addInterestNotification(const UsbServiceRef& service, InterestCallback callback, void* refCon,
                                     std::unique_ptr<UsbNotification>& notification) override
    {
        auto device = std::dynamic_pointer_cast<EmulatedUsbDevice>(service);
        if (!device || callback == nullptr)
            return kIOReturnBadArgument;
        if (const IOReturn result = m_port->interestResult())
            return result;
        return Port::addInterest(
            m_port, std::move(device), callback, refCon,
            [](const EmulatedUsbDevice& candidate) { return candidate.isTerminated(); }, notification);
    }

private:
    const std::shared_ptr<Port> m_port;
    const std::shared_ptr<FdSource> m_source;
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// Bus

EmulatedUsbBus::~EmulatedUsbBus()
{
    for (const auto& device : devices())
        detach(device);
}

void EmulatedUsbBus::post(bool arrival, const std::shared_ptr<EmulatedUsbDevice>& device)
{
    const std::uint64_t sequence = ++m_sequence;
    m_ports.erase(std::remove_if(m_ports.begin(), m_ports.end(),
                                 [&](const std::weak_ptr<Port>& weak) {
                                     const auto port = weak.lock();
                                     if (port)
                                         port->post(BusEvent{sequence, arrival, device});
                                     return !port;
                                 }),
                  m_ports.end());
}

void EmulatedUsbBus::attach(const std::shared_ptr<EmulatedUsbDevice>& device)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    {
        std::lock_guard<std::mutex> deviceLock(device->m_mutex);
        if (device->m_terminated || device->m_bus)
            return;
        device->m_bus = this;
    }
    m_attached.push_back(device);
    post(true, device);
}

void EmulatedUsbBus::detach(const std::shared_ptr<EmulatedUsbDevice>& device)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = std::find(m_attached.begin(), m_attached.end(), device);
    if (it == m_attached.end())
        return;
    m_attached.erase(it);
    {
        // Terminated before any port hears of it: an interest registration either sees this
        // or is found by the event.
        std::lock_guard<std::mutex> deviceLock(device->m_mutex);
        device->m_terminated = true;
        device->m_bus = nullptr;
    }
    post(false, device);
}

std::vector<std::shared_ptr<EmulatedUsbDevice>> EmulatedUsbBus::devices() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_attached;
}

// A registration on a port no event reaches: its iterator lists what the bus holds now.
IOReturn EmulatedUsbBus::getMatchingServices(const UsbMatching& matching, std::unique_ptr<UsbIterator>& iterator)
{
    auto port = std::make_shared<Port>(*this);
    auto registration = std::make_shared<Port::Matching>(*port, matching, nullptr, nullptr);
    const IOReturn result = port->addMatching(registration);
    if (result == kIOReturnSuccess)
        iterator = Port::iterator(port, std::move(registration));
    return result;
}

std::unique_ptr<UsbNotificationPort> EmulatedUsbBus::createNotificationPort()
{
    auto port = std::make_shared<Port>(*this);
    auto source = port->eventFd < 0 ? nullptr : FdSource::create(port->eventFd, port.get(), &Port::readable);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!source || m_portCreationFails)
        return nullptr;
    m_ports.push_back(port);
    return std::unique_ptr<UsbNotificationPort>(new NotificationPort(port, std::move(source)));
}

std::shared_ptr<UsbRegistryEntry> EmulatedUsbBus::registryRoot()
{
    auto root = std::make_shared<Entry>("IORegistryEntry", "Root");
    for (const auto& device : devices()) {
        const auto& c = device->config();
        auto entry = std::make_shared<Entry>(
            kUsbDeviceClassName, c.name,
            std::map<std::string, std::int64_t>{
                {kUsbVendorIdKey, c.idVendor}, {kUsbProductIdKey, c.idProduct}, {kUsbLocationIdKey, c.locationId}});
        for (const std::string& driver : c.drivers)
            entry->nodes.push_back(std::make_shared<Entry>("IOUSBInterface", "interface",
                                                           std::map<std::string, std::int64_t>{}, driver));
        root->nodes.push_back(entry);
    }
    return root;
}

}  // namespace platform
}  // namespace kel
