#include "tests/support/fake_usb.h"

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

// The plug-in and the device interface in one.
class Interface final : public UsbDeviceInterface, public UsbPlugInInterface {
public:
    explicit Interface(std::shared_ptr<EmulatedUsbDevice> device) : m_device(std::move(device)) {}

    IOReturn queryDeviceInterface(std::unique_ptr<UsbDeviceInterface>& deviceInterface) override
    {
        if (m_device->terminated)
            return kIOReturnNoDevice;
        deviceInterface.reset(new Interface(m_device));
        return kIOReturnSuccess;
    }

    IOReturn USBDeviceOpen() override
    {
        if (m_device->terminated)
            return kIOReturnNoDevice;
        if (m_device->open)
            return kIOReturnExclusiveAccess;
        m_device->open = m_open = true;
        return kIOReturnSuccess;
    }
    IOReturn USBDeviceClose() override
    {
        if (!m_open)
            return kIOReturnNotOpen;
        m_device->open = m_open = false;
        return kIOReturnSuccess;
    }
    IOReturn DeviceRequest(UsbDevRequest& request) override;

#define HIDDFU_FAKE_GETTER(method, type, query, value) \
    IOReturn method(type* out) override { return get(EmulatedUsbDevice::query, out, static_cast<type>(value)); }
    HIDDFU_FAKE_GETTER(GetUSBDeviceInformation, std::uint32_t, kInformation, config().configuration != 0)
    HIDDFU_FAKE_GETTER(GetLocationID, std::uint32_t, kLocation, config().locationId)
    HIDDFU_FAKE_GETTER(GetDeviceVendor, std::uint16_t, kVendor, config().idVendor)
    HIDDFU_FAKE_GETTER(GetDeviceProduct, std::uint16_t, kProduct, config().idProduct)
    HIDDFU_FAKE_GETTER(GetDeviceReleaseNumber, std::uint16_t, kRelease, config().bcdDevice)
    HIDDFU_FAKE_GETTER(GetDeviceClass, std::uint8_t, kClass, config().deviceClass)
    HIDDFU_FAKE_GETTER(GetDeviceSubClass, std::uint8_t, kOther, 0)
    HIDDFU_FAKE_GETTER(GetDeviceProtocol, std::uint8_t, kOther, 0)
    HIDDFU_FAKE_GETTER(GetDeviceSpeed, std::uint8_t, kOther, 2)
    HIDDFU_FAKE_GETTER(GetConfiguration, std::uint8_t, kOther, config().configuration)
    HIDDFU_FAKE_GETTER(USBGetManufacturerStringIndex, std::uint8_t, kOther, config().manufacturerIndex)
    HIDDFU_FAKE_GETTER(USBGetProductStringIndex, std::uint8_t, kProductIndex, config().productIndex)
    HIDDFU_FAKE_GETTER(USBGetSerialNumberStringIndex, std::uint8_t, kOther, config().serialIndex)
#undef HIDDFU_FAKE_GETTER

private:
    const EmulatedUsbDeviceConfig& config() const { return m_device->config; }
    template <class T>
    IOReturn get(EmulatedUsbDevice::Query query, T* out, T value)
    {
        const IOReturn result = m_device->terminated ? kIOReturnNoDevice : m_device->failures[query];
        if (result == kIOReturnSuccess)
            *out = value;
        return result;
    }

    const std::shared_ptr<EmulatedUsbDevice> m_device;
    bool m_open = false;
};

// Standard GET_DESCRIPTOR requests for the device descriptor and strings; anything else stalls.
IOReturn Interface::DeviceRequest(UsbDevRequest& request)
{
    request.wLenDone = 0;
    EmulatedUsbDevice& device = *m_device;
    if (device.terminated || device.requestsLeft == 0)
        return kIOReturnNoDevice;
    --device.requestsLeft;
    const auto type = std::uint8_t(request.wValue >> 8), index = std::uint8_t(request.wValue & 0xff);
    const auto& c = config();
    std::vector<std::uint8_t> answer;
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
    } else if (type == 3 && device.strings.count({index, request.wIndex})) {
        answer = device.strings.at({index, request.wIndex});
    }
    if (answer.empty())
        return kIOReturnError;  // what a stalled control pipe reports
    request.wLenDone = static_cast<std::uint32_t>(std::min<std::size_t>(answer.size(), request.wLength));
    std::memcpy(request.pData, answer.data(), request.wLenDone);
    return kIOReturnSuccess;
}

}  // namespace

void EmulatedUsbDevice::setString(std::uint8_t index, std::uint16_t languageId, const std::u16string& text)
{
    // A descriptor holds at most 126 units; a longer text is cut there, as a device would.
    const std::size_t units = std::min<std::size_t>(text.size(), 126);
    std::vector<std::uint8_t> bytes{static_cast<std::uint8_t>(2 + 2 * units), 3};
    for (const char16_t unit : text.substr(0, units))
        bytes.insert(bytes.end(), {static_cast<std::uint8_t>(unit & 0xff), static_cast<std::uint8_t>(unit >> 8)});
    strings[{index, languageId}] = std::move(bytes);
}

IOReturn EmulatedUsbDevice::createPlugInInterface(std::unique_ptr<UsbPlugInInterface>& plugIn)
{
    if (terminated)
        return kIOReturnNoDevice;
    plugIn.reset(new Interface(shared_from_this()));
    return kIOReturnSuccess;
}

// ---------------------------------------------------------------------------------------------
// Notification ports: the bus posts its events to every port, which hands them to the
// registrations on its run loop. Its lock is taken after the bus's, never before.

struct EmulatedUsbBus::Port : UsbPortRegistrations<EmulatedUsbDevice, Since> {
    explicit Port(EmulatedUsbBus& owner) : bus(owner) {}

    void post(BusEvent event)
    {
        std::lock_guard<std::mutex> lock(mutex);
        events.push_back(std::move(event));
        source->signal();
        // Under the lock: unscheduling clears `loop` before its thread may end.
        if (loop)
            loop->wakeUp();
    }

    static void perform(void* info)
    {
        auto* port = static_cast<Port*>(info);
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
                    matches(registration->matching, event.device->config) && queueLocked(*registration, event.device))
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
        if (bus.matchingResult != kIOReturnSuccess)
            return bus.matchingResult;
        std::lock_guard<std::mutex> lock(mutex);
        registration->since = bus.m_sequence;
        for (const auto& device : bus.m_attached) {
            if (matches(registration->matching, device->config))
                registration->pending.push_back(device);
        }
        matchings.push_back(registration);
        return kIOReturnSuccess;
    }

    EmulatedUsbBus& bus;
    std::shared_ptr<RunLoopSource> source;  // set before the bus posts to the port
    std::deque<BusEvent> events;  // under the lock
    RunLoop* loop = nullptr;      // under the lock
};

namespace {

class NotificationPort final : public UsbNotificationPort {
public:
    using Port = EmulatedUsbBus::Port;

    explicit NotificationPort(std::shared_ptr<Port> port) : m_port(std::move(port)) {}
    ~NotificationPort() override
    {
        m_port->source->invalidate();
        std::lock_guard<std::mutex> lock(m_port->mutex);
        m_port->loop = nullptr;
        m_port->clearLocked();
        m_port->events.clear();
    }

    bool scheduleWithRunLoop(RunLoop* loop) override
    {
        if (!loop)
            return false;
        {
            std::lock_guard<std::mutex> lock(m_port->mutex);
            m_port->loop = loop;
        }
        loop->addSource(m_port->source);
        return true;
    }

    void unscheduleFromRunLoop(RunLoop* loop) override
    {
        {
            std::lock_guard<std::mutex> lock(m_port->mutex);
            if (!loop || loop != m_port->loop)
                return;
            m_port->loop = nullptr;
        }
        loop->removeSource(m_port->source);
    }

    IOReturn addMatchingNotification(const UsbMatching& matching, MatchingCallback callback, void* refCon,
                                     std::unique_ptr<UsbIterator>& iterator) override
    {
        auto registration = std::make_shared<Port::Matching>(*m_port, matching, callback, refCon);
        const IOReturn result = m_port->addMatching(registration);
        if (result == kIOReturnSuccess)
            iterator = Port::iterator(m_port, std::move(registration));
        return result;
    }

    IOReturn addInterestNotification(const UsbServiceRef& service, InterestCallback callback, void* refCon,
                                     std::unique_ptr<UsbNotification>& notification) override
    {
        if (m_port->bus.interestResult != kIOReturnSuccess)
            return m_port->bus.interestResult;
        return Port::addInterest(
            m_port, std::static_pointer_cast<EmulatedUsbDevice>(service), callback, refCon,
            [](const EmulatedUsbDevice& candidate) { return candidate.terminated.load(); }, notification);
    }

private:
    const std::shared_ptr<Port> m_port;
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// Bus

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
    if (device->terminated || std::find(m_attached.begin(), m_attached.end(), device) != m_attached.end())
        return;
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
    // Terminated before any port hears of it: an interest registration either sees this or is
    // found by the event.
    device->terminated = true;
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
    port->source = RunLoopSource::create(port.get(), &Port::perform);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!port->source || portCreationFails)
        return nullptr;
    m_ports.push_back(port);
    return std::unique_ptr<UsbNotificationPort>(new NotificationPort(port));
}

}  // namespace platform
}  // namespace kel
