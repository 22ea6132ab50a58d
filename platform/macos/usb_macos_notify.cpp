// Arrival and termination notifications on an IONotificationPort: first-match notifications of
// USB device nodes, and general-interest notifications of single devices. The port's source is
// added to the run loop that is to receive them.
#include "platform/macos/runloop_macos.h"
#include "platform/macos/usb_macos.h"

#include <IOKit/IOKitKeys.h>

#include <mutex>
#include <vector>

namespace kel {
namespace platform {

namespace {

// Shared by the port and the registrations, which the client may keep longer than the port.
struct PortCore {
    // Held while a callback runs, and by unscheduling and unregistering, which therefore wait
    // for a callback in progress on the loop's thread. Recursive: callbacks may do both.
    std::recursive_mutex callbackMutex;
    bool scheduled = false;
};

// The refcon IOKit hands back. A message queued before its notification was released is still
// delivered, so the port keeps every registration until it is destroyed itself.
struct MatchingRegistration {
    std::shared_ptr<PortCore> core;
    UsbNotificationPort::MatchingCallback callback = nullptr;
    void* refCon = nullptr;
    io_iterator_t iterator = IO_OBJECT_NULL;  // released by the client's handle
    UsbIterator* handle = nullptr;            // the client's handle while registered
};

struct InterestRegistration {
    std::shared_ptr<PortCore> core;
    UsbNotificationPort::InterestCallback callback = nullptr;
    void* refCon = nullptr;
    io_object_t notification = IO_OBJECT_NULL;  // released by the client's handle
    UsbServiceRef service;                      // while registered
};

// Callbacks may unregister, and so drop what the registration holds: the call keeps its own.
void deviceMatched(void* refCon, io_iterator_t)
{
    auto* registration = static_cast<MatchingRegistration*>(refCon);
    const std::shared_ptr<PortCore> core = registration->core;
    std::lock_guard<std::recursive_mutex> lock(core->callbackMutex);
    if (core->scheduled && registration->handle)
        registration->callback(registration->refCon, registration->handle);
}

void deviceInterest(void* refCon, io_service_t, uint32_t messageType, void* messageArgument)
{
    auto* registration = static_cast<InterestRegistration*>(refCon);
    const std::shared_ptr<PortCore> core = registration->core;
    std::lock_guard<std::recursive_mutex> lock(core->callbackMutex);
    const UsbServiceRef service = registration->service;
    if (core->scheduled && service)
        registration->callback(registration->refCon, service.get(), messageType, messageArgument);
}

// The client's handle on a first-match notification: yields the arrivals, re-arming the
// notification when drained, and unregisters when destroyed.
class MatchingHandle final : public UsbIterator {
public:
    explicit MatchingHandle(std::shared_ptr<MatchingRegistration> registration)
        : m_registration(std::move(registration))
    {
        std::lock_guard<std::recursive_mutex> lock(m_registration->core->callbackMutex);
        m_registration->handle = this;
    }
    ~MatchingHandle() override
    {
        {
            std::lock_guard<std::recursive_mutex> lock(m_registration->core->callbackMutex);
            m_registration->handle = nullptr;
        }
        IOObjectRelease(m_registration->iterator);
    }
    MatchingHandle(const MatchingHandle&) = delete;
    MatchingHandle& operator=(const MatchingHandle&) = delete;

    UsbServiceRef next() override
    {
        const io_service_t service = IOIteratorNext(m_registration->iterator);
        return service ? std::make_shared<MacUsbService>(service) : nullptr;
    }

private:
    const std::shared_ptr<MatchingRegistration> m_registration;
};

class InterestHandle final : public UsbNotification {
public:
    explicit InterestHandle(std::shared_ptr<InterestRegistration> registration)
        : m_registration(std::move(registration))
    {
    }
    ~InterestHandle() override
    {
        UsbServiceRef service;
        {
            std::lock_guard<std::recursive_mutex> lock(m_registration->core->callbackMutex);
            service.swap(m_registration->service);
        }
        IOObjectRelease(m_registration->notification);
    }
    InterestHandle(const InterestHandle&) = delete;
    InterestHandle& operator=(const InterestHandle&) = delete;

private:
    const std::shared_ptr<InterestRegistration> m_registration;
};

class MacUsbNotificationPort final : public UsbNotificationPort {
public:
    explicit MacUsbNotificationPort(IONotificationPortRef port) : m_port(port), m_core(std::make_shared<PortCore>()) {}

    ~MacUsbNotificationPort() override
    {
        unscheduleFromRunLoop(nullptr);
        IONotificationPortDestroy(m_port);  // with its run-loop source
    }
    MacUsbNotificationPort(const MacUsbNotificationPort&) = delete;
    MacUsbNotificationPort& operator=(const MacUsbNotificationPort&) = delete;

    bool scheduleWithRunLoop(RunLoop* loop) override
    {
        std::lock_guard<std::recursive_mutex> lock(m_core->callbackMutex);
        CFRunLoopRef cfLoop = cfRunLoop(loop);
        CFRunLoopSourceRef source = IONotificationPortGetRunLoopSource(m_port);  // the port's own
        if (!cfLoop || !source)
            return false;
        if (m_loop)
            return m_loop.get() == cfLoop;
        CFRunLoopAddSource(cfLoop, source, kCFRunLoopDefaultMode);
        m_loop = CfRef<CFRunLoopRef>::retained(cfLoop);
        m_core->scheduled = true;
        return true;
    }

    void unscheduleFromRunLoop(RunLoop* loop) override
    {
        std::lock_guard<std::recursive_mutex> lock(m_core->callbackMutex);
        if (!m_loop || (loop && cfRunLoop(loop) != m_loop.get()))
            return;
        CFRunLoopRemoveSource(m_loop.get(), IONotificationPortGetRunLoopSource(m_port), kCFRunLoopDefaultMode);
        m_loop.reset();
        m_core->scheduled = false;
    }

    IOReturn addMatchingNotification(const UsbMatching& matching, MatchingCallback callback, void* refCon,
                                     std::unique_ptr<UsbIterator>& iterator) override
    {
        if (!callback)
            return kIOReturnBadArgument;
        CFMutableDictionaryRef dictionary = createUsbMatchingDictionary(matching);
        if (!dictionary)
            return kIOReturnNoResources;
        auto registration = std::make_shared<MatchingRegistration>();
        registration->core = m_core;
        registration->callback = callback;
        registration->refCon = refCon;
        // Consumes the dictionary. The iterator lists what is attached; the callback comes for
        // later arrivals once it has been drained.
        const IOReturn result = IOServiceAddMatchingNotification(m_port, kIOFirstMatchNotification, dictionary,
                                                                 &deviceMatched, registration.get(),
                                                                 &registration->iterator);
        if (result != kIOReturnSuccess)
            return result;
        keep(m_matchings, registration);
        iterator.reset(new MatchingHandle(std::move(registration)));
        return kIOReturnSuccess;
    }

    IOReturn addInterestNotification(const UsbServiceRef& service, InterestCallback callback, void* refCon,
                                     std::unique_ptr<UsbNotification>& notification) override
    {
        const auto macService = std::dynamic_pointer_cast<MacUsbService>(service);
        if (!macService || !callback)
            return kIOReturnBadArgument;
        auto registration = std::make_shared<InterestRegistration>();
        registration->core = m_core;
        registration->callback = callback;
        registration->refCon = refCon;
        registration->service = service;
        // Refused (kIOReturnNotReady) for a device whose termination has begun.
        const IOReturn result = IOServiceAddInterestNotification(m_port, macService->service(), kIOGeneralInterest,
                                                                 &deviceInterest, registration.get(),
                                                                 &registration->notification);
        if (result != kIOReturnSuccess)
            return result;
        keep(m_interests, registration);
        notification.reset(new InterestHandle(std::move(registration)));
        return kIOReturnSuccess;
    }

private:
    template <typename Registration>
    void keep(std::vector<std::shared_ptr<Registration>>& list, const std::shared_ptr<Registration>& registration)
    {
        std::lock_guard<std::recursive_mutex> lock(m_core->callbackMutex);
        list.push_back(registration);
    }

    const IONotificationPortRef m_port;
    const std::shared_ptr<PortCore> m_core;
    // Under m_core->callbackMutex. Registrations stay small once unregistered.
    CfRef<CFRunLoopRef> m_loop;
    std::vector<std::shared_ptr<MatchingRegistration>> m_matchings;
    std::vector<std::shared_ptr<InterestRegistration>> m_interests;
};

}  // namespace

std::unique_ptr<UsbNotificationPort> createMacUsbNotificationPort()
{
    IONotificationPortRef port = IONotificationPortCreate(kDefaultMainPort);
    if (!port)
        return nullptr;
    return std::unique_ptr<UsbNotificationPort>(new MacUsbNotificationPort(port));
}

}  // namespace platform
}  // namespace kel
