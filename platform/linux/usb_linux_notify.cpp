// Arrival and termination notifications from a netlink monitor, on the registrations every
// backend's port shares.
#include "platform/linux/usb_linux_notify.h"

#include <algorithm>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>

#include "platform/linux/fd_source.h"
#include "platform/linux/usb_linux_device.h"
#include "platform/runloop.h"
#include "platform/usb_port.h"

namespace kel {
namespace platform {

namespace {

// The same device: the device numbers agree, or one side does not know its number.
bool sameDevice(std::uint32_t a, std::uint32_t b)
{
    return a == 0 || b == 0 || a == b;
}

struct LinuxMatching {
    std::map<std::string, std::uint32_t> known;  // syspath -> devnum of what was handed out
    // While the registration lists what is attached: the removals handled meanwhile.
    bool listing = true;
    std::vector<std::pair<std::string, std::uint32_t>> removedWhileListing;
};

using Registrations = UsbPortRegistrations<LinuxUsbService, LinuxMatching>;

struct PortState : Registrations {
    std::unique_ptr<UsbEventSource> source;
    FdSource* fdSource = nullptr;  // owned by the port
    // Registrations whose callback is due, called once the waiting events are all handled,
    // so that a hub plugged with its devices is one drain. Only the port's thread uses it.
    std::vector<std::shared_ptr<Matching>> due;

    void handleEvent(const UsbDeviceEvent& event);
    void handleAdd(const UsbDeviceEvent& event);
    void handleRemove(const UsbDeviceEvent& event);
    void handleLost();
};

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
    const auto service = LinuxUsbService::create(event.syspath, event.devnode, event.devnum);
    // A stale event: the device has gone, or another one has taken its place and has its own event.
    if (service->isTerminated())
        return;

    {
        std::lock_guard<std::mutex> lock(mutex);
        for (const auto& registration : matchings) {
            if (!registration->active || !usbDeviceMatches(registration->matching, *service))
                continue;
            const auto known = registration->known.find(event.syspath);
            if (known != registration->known.end() && sameDevice(known->second, service->devnum()))
                continue;  // already listed by the enumeration
            registration->known[event.syspath] = service->devnum();
            if (queueLocked(*registration, service))
                due.push_back(registration);
        }
    }
}

void PortState::handleRemove(const UsbDeviceEvent& event)
{
    std::vector<std::shared_ptr<Interest>> toCall;
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (const auto& registration : matchings) {
            if (registration->listing)
                registration->removedWhileListing.emplace_back(event.syspath, event.devnum);
            const auto known = registration->known.find(event.syspath);
            if (known != registration->known.end() && sameDevice(known->second, event.devnum))
                registration->known.erase(known);
        }
        // What was not yet handed out goes unheard of.
        toCall = terminateLocked([&](const std::shared_ptr<LinuxUsbService>& service) {
            if (service->syspath() != event.syspath || !sameDevice(service->devnum(), event.devnum))
                return false;
            service->setTerminated();
            return true;
        });
    }
    callInterests(toCall);
}

class LinuxUsbNotificationPort final : public UsbNotificationPort {
public:
    explicit LinuxUsbNotificationPort(std::shared_ptr<PortState> state) : m_state(std::move(state)) {}

    bool makeSource()
    {
        if (m_state->source->fd() < 0)
            return true;  // lists what is attached, and hears of no change
        m_source = FdSource::create(m_state->source->fd(), m_state.get(), &LinuxUsbNotificationPort::readable);
        m_state->fdSource = m_source.get();
        return m_source != nullptr;
    }

    ~LinuxUsbNotificationPort() override
    {
        if (m_source)
            m_source->invalidate();
        std::lock_guard<std::mutex> lock(m_state->mutex);
        m_state->clearLocked();
    }

    bool scheduleWithRunLoop(RunLoop* loop) override
    {
        if (!m_source || !loop)
            return false;
        addFdSource(loop, m_source);
        return true;
    }

    void unscheduleFromRunLoop(RunLoop* loop) override
    {
        if (m_source && loop)
            removeFdSource(loop, m_source);
    }

    IOReturn addMatchingNotification(const UsbMatching& matching, MatchingCallback callback, void* refCon,
                                     std::unique_ptr<UsbIterator>& iterator) override
    {
        if (callback == nullptr)
            return kIOReturnBadArgument;
        auto registration = std::make_shared<Registrations::Matching>(*m_state, matching, callback, refCon);
        // Registered before the enumeration, so that an arrival during it is queued as an
        // event; the merge below drops what both saw.
        {
            std::lock_guard<std::mutex> lock(m_state->mutex);
            m_state->matchings.push_back(registration);
        }
        std::vector<std::shared_ptr<LinuxUsbService>> attached;
        for (const UsbDeviceEvent& device : m_state->source->enumerate()) {
            auto service = LinuxUsbService::create(device.syspath, device.devnode, device.devnum);
            if (!service->isTerminated() && usbDeviceMatches(matching, *service))
                attached.push_back(std::move(service));
        }
        {
            std::lock_guard<std::mutex> lock(m_state->mutex);
            std::deque<std::shared_ptr<LinuxUsbService>> merged;
            std::map<std::string, std::uint32_t> listed;
            for (auto& service : attached) {
                const bool removed = std::any_of(
                    registration->removedWhileListing.begin(), registration->removedWhileListing.end(),
                    [&](const std::pair<std::string, std::uint32_t>& gone) {
                        return gone.first == service->syspath() && sameDevice(gone.second, service->devnum());
                    });
                if (removed)
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
            registration->listing = false;
            registration->removedWhileListing.clear();
            registration->pending.swap(merged);
        }
        iterator = Registrations::iterator(m_state, std::move(registration));
        return kIOReturnSuccess;
    }

    IOReturn addInterestNotification(const UsbServiceRef& service, InterestCallback callback, void* refCon,
                                     std::unique_ptr<UsbNotification>& notification) override
    {
        auto linuxService = std::dynamic_pointer_cast<LinuxUsbService>(service);
        if (!linuxService || callback == nullptr)
            return kIOReturnBadArgument;
        // A handled removal has emptied the device's directory.
        return Registrations::addInterest(
            m_state, std::move(linuxService), callback, refCon,
            [](const LinuxUsbService& candidate) { return candidate.isTerminated(); }, notification);
    }

private:
    static void readable(void* info, int /*fd*/, unsigned events)
    {
        auto* state = static_cast<PortState*>(info);
        UsbDeviceEvent event;
        int received = 0;
        for (; state->source->receive(event); ++received)
            state->handleEvent(event);
        std::vector<std::shared_ptr<PortState::Matching>> due;
        due.swap(state->due);
        state->callMatchings(due);
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
