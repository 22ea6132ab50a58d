// Arrival and termination notifications. One lock guards the registrations; callbacks run
// without it, so they may register, drain and unregister freely. As with the platform's own
// ports, a registration destroyed on another thread while its callback runs is not waited
// for: the owner unregisters on the port's run-loop thread, or while no event is delivered.
#include <algorithm>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>

#include "platform/linux/usb_linux.h"
#include "platform/linux/usb_linux_device.h"
#include "platform/runloop.h"

namespace kel {
namespace platform {

namespace {

// The same device: the device numbers agree, or one side does not know its number.
bool sameDevice(std::uint32_t a, std::uint32_t b)
{
    return a == 0 || b == 0 || a == b;
}

struct PortState;

struct MatchingRegistration {
    class DrainIterator final : public UsbIterator {
    public:
        DrainIterator(PortState& port, MatchingRegistration& registration) : m_port(port), m_registration(registration) {}
        UsbServiceRef next() override;

    private:
        PortState& m_port;
        MatchingRegistration& m_registration;
    };

    MatchingRegistration(PortState& port, const UsbMatching& matching, UsbNotificationPort::MatchingCallback callback,
                         void* refCon)
        : matching(matching), callback(callback), refCon(refCon), iterator(port, *this)
    {
    }

    const UsbMatching matching;
    const UsbNotificationPort::MatchingCallback callback;
    void* const refCon;
    DrainIterator iterator;  // handed to the callback; lives as long as a call may use it

    // Under the port's lock.
    bool active = true;
    bool armed = false;  // drained since the last callback
    std::deque<std::shared_ptr<LinuxUsbService>> pending;
    std::map<std::string, std::uint32_t> known;  // syspath -> devnum of what was handed out
};

struct InterestRegistration {
    std::shared_ptr<LinuxUsbService> service;
    UsbNotificationPort::InterestCallback callback = nullptr;
    void* refCon = nullptr;
    bool active = true;  // under the port's lock
};

struct PortState {
    std::unique_ptr<UsbEventSource> source;
    std::mutex mutex;
    std::vector<std::shared_ptr<MatchingRegistration>> matchings;
    std::vector<std::shared_ptr<InterestRegistration>> interests;
    FdSource* fdSource = nullptr;  // owned by the port

    void handleEvent(const UsbDeviceEvent& event);
    void handleAdd(const UsbDeviceEvent& event);
    void handleRemove(const UsbDeviceEvent& event);
    void handleLost();
};

UsbServiceRef MatchingRegistration::DrainIterator::next()
{
    std::lock_guard<std::mutex> lock(m_port.mutex);
    if (m_registration.pending.empty()) {
        m_registration.armed = true;
        return nullptr;
    }
    UsbServiceRef service = std::move(m_registration.pending.front());
    m_registration.pending.pop_front();
    return service;
}

void PortState::handleEvent(const UsbDeviceEvent& event)
{
    if (event.action == UsbDeviceEvent::Action::kAdd)
        handleAdd(event);
    else if (event.action == UsbDeviceEvent::Action::kRemove)
        handleRemove(event);
    else if (event.action == UsbDeviceEvent::Action::kLost)
        handleLost();
}

// Events were dropped: what the registrations know is compared with what is attached now.
void PortState::handleLost()
{
    std::map<std::string, std::uint32_t> watched;
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (const auto& registration : matchings)
            watched.insert(registration->known.begin(), registration->known.end());
        for (const auto& registration : interests)
            watched.emplace(registration->service->syspath(), registration->service->devnum());
    }
    for (const auto& device : watched) {
        if (!LinuxUsbService::isPresent(device.first, device.second)) {
            UsbDeviceEvent removal;
            removal.action = UsbDeviceEvent::Action::kRemove;
            removal.syspath = device.first;
            removal.devnum = device.second;
            handleRemove(removal);
        }
    }
    for (const UsbDeviceEvent& device : source->enumerate())
        handleAdd(device);
}

void PortState::handleAdd(const UsbDeviceEvent& event)
{
    const auto service = LinuxUsbService::create(event.syspath, event.devnode);
    // A stale event: the device has gone, or another one has taken its place and has its own event.
    if (!service->isAttached() || !sameDevice(service->devnum(), event.devnum))
        return;

    std::vector<std::shared_ptr<MatchingRegistration>> toCall;
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (const auto& registration : matchings) {
            if (!registration->active || !usbDeviceMatches(registration->matching, event.syspath))
                continue;
            const auto known = registration->known.find(event.syspath);
            if (known != registration->known.end() && sameDevice(known->second, service->devnum()))
                continue;  // already listed by the enumeration
            registration->known[event.syspath] = service->devnum();
            registration->pending.push_back(service);
            if (registration->armed) {
                registration->armed = false;
                toCall.push_back(registration);
            }
        }
    }
    for (const auto& registration : toCall) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (!registration->active)
                continue;
        }
        registration->callback(registration->refCon, &registration->iterator);
    }
}

void PortState::handleRemove(const UsbDeviceEvent& event)
{
    std::vector<std::shared_ptr<InterestRegistration>> toCall;
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (const auto& registration : matchings) {
            const auto known = registration->known.find(event.syspath);
            if (known != registration->known.end() && sameDevice(known->second, event.devnum))
                registration->known.erase(known);
            // Not yet handed out: nobody need hear of it.
            auto& pending = registration->pending;
            pending.erase(std::remove_if(pending.begin(), pending.end(),
                                         [&](const std::shared_ptr<LinuxUsbService>& service) {
                                             if (service->syspath() != event.syspath ||
                                                 !sameDevice(service->devnum(), event.devnum))
                                                 return false;
                                             service->setTerminated();
                                             return true;
                                         }),
                          pending.end());
        }
        for (auto it = interests.begin(); it != interests.end();) {
            const auto& registration = *it;
            if (registration->active && registration->service->syspath() == event.syspath &&
                sameDevice(registration->service->devnum(), event.devnum)) {
                registration->service->setTerminated();
                toCall.push_back(registration);
                it = interests.erase(it);  // a device terminates once
            } else {
                ++it;
            }
        }
    }
    for (const auto& registration : toCall) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (!registration->active)
                continue;
        }
        registration->callback(registration->refCon, registration->service.get(), kIOMessageServiceIsTerminated,
                               nullptr);
    }
}

class LinuxUsbIterator final : public UsbIterator {
public:
    LinuxUsbIterator(std::shared_ptr<PortState> port, std::shared_ptr<MatchingRegistration> registration)
        : m_port(std::move(port)), m_registration(std::move(registration))
    {
    }

    ~LinuxUsbIterator() override
    {
        std::lock_guard<std::mutex> lock(m_port->mutex);
        m_registration->active = false;
        m_registration->pending.clear();
        auto& matchings = m_port->matchings;
        matchings.erase(std::remove(matchings.begin(), matchings.end(), m_registration), matchings.end());
    }

    UsbServiceRef next() override { return m_registration->iterator.next(); }

private:
    const std::shared_ptr<PortState> m_port;
    const std::shared_ptr<MatchingRegistration> m_registration;
};

class LinuxUsbNotification final : public UsbNotification {
public:
    LinuxUsbNotification(std::shared_ptr<PortState> port, std::shared_ptr<InterestRegistration> registration)
        : m_port(std::move(port)), m_registration(std::move(registration))
    {
    }

    ~LinuxUsbNotification() override
    {
        std::lock_guard<std::mutex> lock(m_port->mutex);
        m_registration->active = false;
        auto& interests = m_port->interests;
        interests.erase(std::remove(interests.begin(), interests.end(), m_registration), interests.end());
    }

private:
    const std::shared_ptr<PortState> m_port;
    const std::shared_ptr<InterestRegistration> m_registration;
};

class LinuxUsbNotificationPort final : public UsbNotificationPort {
public:
    explicit LinuxUsbNotificationPort(std::shared_ptr<PortState> state) : m_state(std::move(state)) {}

    bool makeSource()
    {
        m_source = FdSource::create(m_state->source->fd(), m_state.get(), &LinuxUsbNotificationPort::readable);
        m_state->fdSource = m_source.get();
        return m_source != nullptr;
    }

    ~LinuxUsbNotificationPort() override
    {
        if (m_source)
            m_source->invalidate();
        std::lock_guard<std::mutex> lock(m_state->mutex);
        for (const auto& registration : m_state->matchings) {
            registration->active = false;
            registration->pending.clear();
        }
        for (const auto& registration : m_state->interests)
            registration->active = false;
        m_state->matchings.clear();
        m_state->interests.clear();
    }

    std::shared_ptr<FdSource> runLoopSource() override { return m_source; }

    IOReturn addMatchingNotification(const UsbMatching& matching, MatchingCallback callback, void* refCon,
                                     std::unique_ptr<UsbIterator>& iterator) override
    {
        if (callback == nullptr)
            return kIOReturnBadArgument;
        auto registration = std::make_shared<MatchingRegistration>(*m_state, matching, callback, refCon);
        // Registered before the enumeration, so that an arrival during it is queued as an
        // event; the merge below drops what both saw.
        {
            std::lock_guard<std::mutex> lock(m_state->mutex);
            m_state->matchings.push_back(registration);
        }
        std::vector<std::shared_ptr<LinuxUsbService>> attached;
        for (const UsbDeviceEvent& device : m_state->source->enumerate()) {
            if (usbDeviceMatches(matching, device.syspath))
                attached.push_back(LinuxUsbService::create(device.syspath, device.devnode));
        }
        {
            std::lock_guard<std::mutex> lock(m_state->mutex);
            std::deque<std::shared_ptr<LinuxUsbService>> merged;
            std::map<std::string, std::uint32_t> listed;
            // A removal already handled has taken the device's directory with it.
            for (auto& service : attached) {
                if (!service->isAttached())
                    continue;
                listed[service->syspath()] = service->devnum();
                merged.push_back(std::move(service));
            }
            for (auto& service : registration->pending) {
                const auto found = listed.find(service->syspath());
                if (found == listed.end() || !sameDevice(found->second, service->devnum()))
                    merged.push_back(std::move(service));
            }
            for (const auto& service : merged)
                registration->known[service->syspath()] = service->devnum();
            registration->pending.swap(merged);
        }
        iterator.reset(new LinuxUsbIterator(m_state, std::move(registration)));
        return kIOReturnSuccess;
    }

    IOReturn addInterestNotification(const UsbServiceRef& service, InterestCallback callback, void* refCon,
                                     std::unique_ptr<UsbNotification>& notification) override
    {
        auto linuxService = std::dynamic_pointer_cast<LinuxUsbService>(service);
        if (!linuxService || callback == nullptr)
            return kIOReturnBadArgument;
        auto registration = std::make_shared<InterestRegistration>();
        registration->service = std::move(linuxService);
        registration->callback = callback;
        registration->refCon = refCon;
        {
            // Checked under the lock: a removal handled before this has emptied the
            // directory; one handled after it finds the registration.
            std::lock_guard<std::mutex> lock(m_state->mutex);
            if (!registration->service->isAttached())
                return kIOReturnNoDevice;
            m_state->interests.push_back(registration);
        }
        notification.reset(new LinuxUsbNotification(m_state, std::move(registration)));
        return kIOReturnSuccess;
    }

private:
    static void readable(void* info, int /*fd*/, unsigned events)
    {
        constexpr int kMaxEventsPerWakeUp = 64;  // the loop calls again while more wait
        auto* state = static_cast<PortState*>(info);
        UsbDeviceEvent event;
        int received = 0;
        for (; received < kMaxEventsPerWakeUp && state->source->receive(event); ++received)
            state->handleEvent(event);
        // A broken monitor would wake the loop for ever.
        if (received == 0 && (events & (FdSource::kHangUp | FdSource::kError)) != 0) {
            std::fprintf(stderr, "USB monitor: event source failed; no more arrivals or removals\n");
            state->fdSource->invalidate();
        }
    }

    const std::shared_ptr<PortState> m_state;
    std::shared_ptr<FdSource> m_source;
};

}  // namespace

std::unique_ptr<UsbNotificationPort> createUsbNotificationPort(std::unique_ptr<UsbEventSource> source)
{
    if (!source)
        return nullptr;
    auto state = std::make_shared<PortState>();
    state->source = std::move(source);
    std::unique_ptr<LinuxUsbNotificationPort> port(new LinuxUsbNotificationPort(std::move(state)));
    if (!port->makeSource())
        return nullptr;
    return port;
}

}  // namespace platform
}  // namespace kel
