// The registrations of a USB notification port, for the backends to build their ports on.
//
// An arrival waits in each matching registration it matches until the client drains the
// registration's iterator; the callback runs again only for an arrival after the iterator
// was drained empty. A device terminates once. One lock guards the registrations; callbacks
// run without it, so they may register, drain and unregister freely. As with the
// platform's own ports, a registration destroyed on another thread while its callback runs
// is not waited for: the owner unregisters on the port's run-loop thread, or while no event
// is delivered.
#pragma once

#include <algorithm>
#include <deque>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/usb.h"

namespace kel {
namespace platform {

// `Service` is the backend's service class; `Extra` what a backend keeps per matching
// registration besides.
template <typename Service, typename Extra>
class UsbPortRegistrations {
public:
    struct Matching : Extra {
        class DrainIterator final : public UsbIterator {
        public:
            DrainIterator(UsbPortRegistrations& port, Matching& registration) : m_port(port), m_registration(registration)
            {
            }
            UsbServiceRef next() override
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

        private:
            UsbPortRegistrations& m_port;
            Matching& m_registration;
        };

        Matching(UsbPortRegistrations& port, const UsbMatching& what,
                 UsbNotificationPort::MatchingCallback call, void* context)
            : matching(what), callback(call), refCon(context), iterator(port, *this)
        {
        }

        const UsbMatching matching;
        const UsbNotificationPort::MatchingCallback callback;
        void* const refCon;
        DrainIterator iterator;  // handed to the callback; lives as long as a call may use it

        // Under the port's lock.
        bool active = true;
        bool armed = false;  // drained since the last callback
        std::deque<std::shared_ptr<Service>> pending;
    };

    struct Interest {
        std::shared_ptr<Service> service;
        UsbNotificationPort::InterestCallback callback = nullptr;
        void* refCon = nullptr;
        bool active = true;  // under the port's lock
    };

    std::mutex mutex;
    std::vector<std::shared_ptr<Matching>> matchings;
    std::vector<std::shared_ptr<Interest>> interests;

    // The client's handle on a matching registration; it unregisters when destroyed. `port`
    // owns these registrations.
    static std::unique_ptr<UsbIterator> iterator(std::shared_ptr<UsbPortRegistrations> port,
                                                 std::shared_ptr<Matching> registration)
    {
        return std::unique_ptr<UsbIterator>(new Iterator(std::move(port), std::move(registration)));
    }

    // Registers an interest in `service` unless `gone(service)` holds. Checked under the lock:
    // a removal handled before has made it hold; one handled after finds the registration.
    template <typename Gone>
    static IOReturn addInterest(const std::shared_ptr<UsbPortRegistrations>& port, std::shared_ptr<Service> service,
                                UsbNotificationPort::InterestCallback callback, void* refCon, Gone gone,
                                std::unique_ptr<UsbNotification>& notification)
    {
        auto registration = std::make_shared<Interest>();
        registration->service = std::move(service);
        registration->callback = callback;
        registration->refCon = refCon;
        {
            std::lock_guard<std::mutex> lock(port->mutex);
            if (gone(*registration->service))
                return kIOReturnNoDevice;
            port->interests.push_back(registration);
        }
        notification.reset(new Notification(port, std::move(registration)));
        return kIOReturnSuccess;
    }

    // Under the lock: queues an arrival; true when the registration's callback is due.
    static bool queueLocked(Matching& registration, std::shared_ptr<Service> service)
    {
        registration.pending.push_back(std::move(service));
        if (!registration.armed)
            return false;
        registration.armed = false;
        return true;
    }

    // Under the lock: drops every queued arrival for which `leaving` holds, and unregisters and
    // returns the active interests in a service for which it holds.
    template <typename Predicate>
    std::vector<std::shared_ptr<Interest>> terminateLocked(Predicate leaving)
    {
        for (const auto& registration : matchings) {
            auto& pending = registration->pending;
            pending.erase(std::remove_if(pending.begin(), pending.end(), leaving), pending.end());
        }
        std::vector<std::shared_ptr<Interest>> terminated;
        for (auto it = interests.begin(); it != interests.end();) {
            if ((*it)->active && leaving((*it)->service)) {
                terminated.push_back(std::move(*it));
                it = interests.erase(it);
            } else {
                ++it;
            }
        }
        return terminated;
    }

    // Without the lock; a registration that went meanwhile is not called.
    void callMatchings(const std::vector<std::shared_ptr<Matching>>& registrations)
    {
        for (const auto& registration : registrations) {
            if (isActive(registration->active))
                registration->callback(registration->refCon, &registration->iterator);
        }
    }
    void callInterests(const std::vector<std::shared_ptr<Interest>>& registrations)
    {
        for (const auto& registration : registrations) {
            if (isActive(registration->active))
                registration->callback(registration->refCon, registration->service.get(),
                                       kIOMessageServiceIsTerminated, nullptr);
        }
    }

    // Under the lock: the port is going; no registration is called again.
    void clearLocked()
    {
        for (const auto& registration : matchings) {
            registration->active = false;
            registration->pending.clear();
        }
        for (const auto& registration : interests)
            registration->active = false;
        matchings.clear();
        interests.clear();
    }

private:
    class Iterator final : public UsbIterator {
    public:
        Iterator(std::shared_ptr<UsbPortRegistrations> port, std::shared_ptr<Matching> registration)
            : m_port(std::move(port)), m_registration(std::move(registration))
        {
        }
        ~Iterator() override
        {
            std::lock_guard<std::mutex> lock(m_port->mutex);
            m_registration->active = false;
            m_registration->pending.clear();
            auto& all = m_port->matchings;
            all.erase(std::remove(all.begin(), all.end(), m_registration), all.end());
        }
        UsbServiceRef next() override { return m_registration->iterator.next(); }

    private:
        const std::shared_ptr<UsbPortRegistrations> m_port;
        const std::shared_ptr<Matching> m_registration;
    };

    class Notification final : public UsbNotification {
    public:
        Notification(std::shared_ptr<UsbPortRegistrations> port, std::shared_ptr<Interest> registration)
            : m_port(std::move(port)), m_registration(std::move(registration))
        {
        }
        ~Notification() override
        {
            std::lock_guard<std::mutex> lock(m_port->mutex);
            m_registration->active = false;
            auto& all = m_port->interests;
            all.erase(std::remove(all.begin(), all.end(), m_registration), all.end());
        }

    private:
        const std::shared_ptr<UsbPortRegistrations> m_port;
        const std::shared_ptr<Interest> m_registration;
    };

    bool isActive(const bool& active)
    {
        std::lock_guard<std::mutex> lock(mutex);
        return active;
    }
};

}  // namespace platform
}  // namespace kel
