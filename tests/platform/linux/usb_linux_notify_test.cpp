#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/linux/usb_linux.h"
#include "platform/linux/usb_linux_device.h"
#include "platform/runloop.h"

namespace kel {
namespace platform {
namespace {

using Action = UsbDeviceEvent::Action;

// Hot-plug events scripted by the test; a pipe makes the port's source readable while some wait.
class ScriptedEvents {
public:
    ScriptedEvents() { EXPECT_EQ(0, ::pipe(m_pipe)); }
    ~ScriptedEvents()
    {
        ::close(m_pipe[0]);
        ::close(m_pipe[1]);
    }

    void post(Action action, const std::string& syspath, std::uint32_t devnum)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        UsbDeviceEvent event;
        event.action = action;
        event.syspath = syspath;
        event.devnode = "/nonexistent";
        event.devnum = devnum;
        m_events.push_back(event);
        EXPECT_EQ(1, ::write(m_pipe[1], "e", 1));
    }

    void attach(const std::string& syspath)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        UsbDeviceEvent device;
        device.action = Action::kAdd;
        device.syspath = syspath;
        device.devnode = "/nonexistent";
        m_attached.push_back(device);
    }

    void detachAll()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_attached.clear();
    }

    class Source final : public UsbEventSource {
    public:
        explicit Source(ScriptedEvents& script) : m_script(script) {}
        int fd() override { return m_script.m_pipe[0]; }
        bool receive(UsbDeviceEvent& event) override
        {
            std::lock_guard<std::mutex> lock(m_script.m_mutex);
            if (m_script.m_events.empty())
                return false;
            char byte;
            EXPECT_EQ(1, ::read(m_script.m_pipe[0], &byte, 1));
            event = m_script.m_events.front();
            m_script.m_events.pop_front();
            return true;
        }
        std::vector<UsbDeviceEvent> enumerate() override
        {
            std::lock_guard<std::mutex> lock(m_script.m_mutex);
            return m_script.m_attached;
        }

    private:
        ScriptedEvents& m_script;
    };

private:
    int m_pipe[2] = {-1, -1};
    std::mutex m_mutex;
    std::deque<UsbDeviceEvent> m_events;
    std::vector<UsbDeviceEvent> m_attached;
};

class UsbNotificationPortTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // deliver() returns after the first source handled: work that earlier tests left on
        // this loop must not be it.
        while (RunLoop::current()->runFor(0, true) == RunLoop::Result::kHandledSource) {
        }
        char pattern[] = "/tmp/usb_notify_test.XXXXXX";
        ASSERT_NE(nullptr, ::mkdtemp(pattern));
        m_root = pattern;
        m_port = createUsbNotificationPort(std::unique_ptr<UsbEventSource>(new ScriptedEvents::Source(m_events)));
        ASSERT_TRUE(m_port);
        ASSERT_TRUE(m_port->runLoopSource());
        RunLoop::current()->addFdSource(m_port->runLoopSource());
    }

    void TearDown() override
    {
        if (m_port)
            RunLoop::current()->removeFdSource(m_port->runLoopSource());
        m_port.reset();
        ::nftw(m_root.c_str(), [](const char* path, const struct stat*, int, FTW*) { return ::remove(path); }, 16,
               FTW_DEPTH | FTW_PHYS);
    }

    std::string plug(const std::string& name, std::uint32_t devnum, const char* idVendor = "0a12")
    {
        const std::string path = m_root + "/" + name;
        ::mkdir(path.c_str(), 0755);
        std::ofstream(path + "/idVendor") << idVendor << "\n";
        std::ofstream(path + "/idProduct") << "0001\n";
        std::ofstream(path + "/devnum") << devnum << "\n";
        return path;
    }

    void unplug(const std::string& name)
    {
        for (const char* attribute : {"idVendor", "idProduct", "devnum"})
            ::unlink((m_root + "/" + name + "/" + attribute).c_str());
        ::rmdir((m_root + "/" + name).c_str());
    }

    // Lets the port handle what has been posted: the pipe is readable before the loop runs.
    void deliver() { RunLoop::current()->runFor(10.0, true); }

    static std::vector<std::string> drain(UsbIterator* iterator)
    {
        std::vector<std::string> syspaths;
        while (UsbServiceRef service = iterator->next())
            syspaths.push_back(std::static_pointer_cast<LinuxUsbService>(service)->syspath());
        return syspaths;
    }

    struct Arrivals {
        int calls = 0;
        std::vector<std::string> syspaths;
        bool drainInCallback = true;
    };
    static void arrived(void* refCon, UsbIterator* iterator)
    {
        auto* arrivals = static_cast<Arrivals*>(refCon);
        ++arrivals->calls;
        if (arrivals->drainInCallback) {
            for (const std::string& syspath : drain(iterator))
                arrivals->syspaths.push_back(syspath);
        }
    }

    struct Removals {
        std::vector<UsbService*> services;
        std::vector<std::uint32_t> messages;
    };
    static void removed(void* refCon, UsbService* service, std::uint32_t message, void*)
    {
        auto* removals = static_cast<Removals*>(refCon);
        removals->services.push_back(service);
        removals->messages.push_back(message);
    }

    std::string m_root;
    ScriptedEvents m_events;
    std::unique_ptr<UsbNotificationPort> m_port;
};

TEST_F(UsbNotificationPortTest, ListsAttachedDevicesThenReportsArrivalsOnceDrained)
{
    const std::string a = plug("1-1", 2);
    const std::string b = plug("1-2", 3);
    m_events.attach(a);
    m_events.attach(b);
    m_events.attach(m_root + "/1-9");  // listed, but gone before it was looked at
    // Seen by the monitor as well as by the enumeration that follows it.
    m_events.post(Action::kAdd, b, 3);

    Arrivals arrivals;
    std::unique_ptr<UsbIterator> iterator;
    ASSERT_EQ(kIOReturnSuccess, m_port->addMatchingNotification(UsbMatching{}, &arrived, &arrivals, iterator));
    ASSERT_TRUE(iterator);

    // Arrivals before the first drain wait in the iterator and call nobody.
    const std::string c = plug("1-3", 4);
    m_events.post(Action::kAdd, m_root + "/1-8", 9);  // unplugged before the event was read
    m_events.post(Action::kAdd, c, 4);
    deliver();
    EXPECT_EQ(0, arrivals.calls);
    EXPECT_EQ((std::vector<std::string>{a, b, c}), drain(iterator.get()));

    const std::string d = plug("1-4", 5);
    m_events.post(Action::kAdd, d, 5);
    deliver();
    EXPECT_EQ(1, arrivals.calls);
    EXPECT_EQ((std::vector<std::string>{d}), arrivals.syspaths);

    // The same device again is no arrival; a new device at the same port is.
    m_events.post(Action::kAdd, d, 5);
    deliver();
    EXPECT_EQ(1, arrivals.calls);
    unplug("1-4");
    m_events.post(Action::kRemove, d, 5);
    plug("1-4", 6);
    m_events.post(Action::kAdd, d, 6);
    deliver();
    EXPECT_EQ(2, arrivals.calls);
    EXPECT_EQ((std::vector<std::string>{d, d}), arrivals.syspaths);
}

TEST_F(UsbNotificationPortTest, NarrowsByVendor)
{
    m_events.attach(plug("2-1", 2, "0a12"));
    m_events.attach(plug("2-2", 3, "1d6b"));

    UsbMatching matching;
    matching.matchVendor = true;
    matching.idVendor = 0x0A12;
    Arrivals arrivals;
    std::unique_ptr<UsbIterator> iterator;
    ASSERT_EQ(kIOReturnSuccess, m_port->addMatchingNotification(matching, &arrived, &arrivals, iterator));
    EXPECT_EQ((std::vector<std::string>{m_root + "/2-1"}), drain(iterator.get()));

    m_events.post(Action::kAdd, plug("2-4", 4, "1d6b"), 4);
    const std::string wanted = plug("2-6", 6, "0a12");
    m_events.post(Action::kAdd, wanted, 6);
    deliver();
    EXPECT_EQ(1, arrivals.calls);
    EXPECT_EQ((std::vector<std::string>{wanted}), arrivals.syspaths);
}

TEST_F(UsbNotificationPortTest, ArrivalRemovedBeforeTheDrainIsNeverHandedOut)
{
    Arrivals arrivals;
    arrivals.drainInCallback = false;
    std::unique_ptr<UsbIterator> iterator;
    ASSERT_EQ(kIOReturnSuccess, m_port->addMatchingNotification(UsbMatching{}, &arrived, &arrivals, iterator));
    EXPECT_TRUE(drain(iterator.get()).empty());

    const std::string a = plug("3-1", 2);
    const std::string b = plug("3-2", 3);
    m_events.post(Action::kAdd, a, 2);
    m_events.post(Action::kAdd, b, 3);
    deliver();
    EXPECT_EQ(1, arrivals.calls);  // not drained: the second arrival waits silently
    unplug("3-1");
    m_events.post(Action::kRemove, a, 2);
    deliver();
    EXPECT_EQ((std::vector<std::string>{b}), drain(iterator.get()));
}

TEST_F(UsbNotificationPortTest, RemovalTerminatesTheRegisteredDeviceOnly)
{
    const std::string a = plug("4-1", 7);
    const std::string b = plug("4-2", 8);
    const auto serviceA = LinuxUsbService::create(a, "/nonexistent");
    const auto serviceB = LinuxUsbService::create(b, "/nonexistent");
    Removals removals;
    std::unique_ptr<UsbNotification> notificationA, notificationB;
    ASSERT_EQ(kIOReturnSuccess, m_port->addInterestNotification(serviceA, &removed, &removals, notificationA));
    ASSERT_EQ(kIOReturnSuccess, m_port->addInterestNotification(serviceB, &removed, &removals, notificationB));

    // A stale removal of an earlier device at that port, then an unrelated one.
    m_events.post(Action::kRemove, a, 6);
    m_events.post(Action::kRemove, m_root + "/4-9", 1);
    deliver();
    EXPECT_TRUE(removals.services.empty());

    unplug("4-1");
    m_events.post(Action::kRemove, a, 7);
    m_events.post(Action::kRemove, a, 7);  // delivered once only
    deliver();
    ASSERT_EQ(1u, removals.services.size());
    EXPECT_EQ(serviceA.get(), removals.services[0]);
    EXPECT_EQ(kIOMessageServiceIsTerminated, removals.messages[0]);
    EXPECT_FALSE(serviceA->isAttached());
    EXPECT_TRUE(serviceB->isAttached());

    // A device that has gone cannot be watched; one that is unwatched is not reported.
    std::unique_ptr<UsbNotification> late;
    EXPECT_EQ(kIOReturnNoDevice, m_port->addInterestNotification(serviceA, &removed, &removals, late));
    EXPECT_FALSE(late);
    notificationB.reset();
    unplug("4-2");
    m_events.post(Action::kRemove, b, 8);
    deliver();
    EXPECT_EQ(1u, removals.services.size());
    // The monitor's word counts even though nobody was listening.
    EXPECT_FALSE(serviceB->isAttached());
}

TEST_F(UsbNotificationPortTest, LostEventsAreMadeUpFromWhatIsAttached)
{
    const std::string a = plug("6-1", 2);
    const std::string b = plug("6-2", 3);
    m_events.attach(a);
    m_events.attach(b);
    Arrivals arrivals;
    std::unique_ptr<UsbIterator> iterator;
    ASSERT_EQ(kIOReturnSuccess, m_port->addMatchingNotification(UsbMatching{}, &arrived, &arrivals, iterator));
    EXPECT_EQ((std::vector<std::string>{a, b}), drain(iterator.get()));
    const auto serviceA = LinuxUsbService::create(a, "/nonexistent");
    const auto serviceB = LinuxUsbService::create(b, "/nonexistent");
    Removals removals;
    std::unique_ptr<UsbNotification> notificationA, notificationB;
    ASSERT_EQ(kIOReturnSuccess, m_port->addInterestNotification(serviceA, &removed, &removals, notificationA));
    ASSERT_EQ(kIOReturnSuccess, m_port->addInterestNotification(serviceB, &removed, &removals, notificationB));

    // While the events were being dropped: b went, a was plugged in again, c arrived.
    unplug("6-2");
    unplug("6-1");
    plug("6-1", 9);
    const std::string c = plug("6-3", 4);
    m_events.detachAll();
    m_events.attach(a);
    m_events.attach(c);
    m_events.post(Action::kLost, "", 0);
    deliver();

    EXPECT_EQ((std::vector<UsbService*>{serviceA.get(), serviceB.get()}), removals.services);
    EXPECT_EQ((std::vector<std::string>{a, c}), arrivals.syspaths);
}

TEST_F(UsbNotificationPortTest, DestroyingTheIteratorOrThePortUnregisters)
{
    Arrivals arrivals;
    std::unique_ptr<UsbIterator> iterator;
    ASSERT_EQ(kIOReturnSuccess, m_port->addMatchingNotification(UsbMatching{}, &arrived, &arrivals, iterator));
    drain(iterator.get());
    iterator.reset();
    m_events.post(Action::kAdd, plug("5-1", 2), 2);
    deliver();
    EXPECT_EQ(0, arrivals.calls);

    const auto service = LinuxUsbService::create(plug("5-2", 3), "/nonexistent");
    Removals removals;
    std::unique_ptr<UsbNotification> notification;
    ASSERT_EQ(kIOReturnSuccess, m_port->addInterestNotification(service, &removed, &removals, notification));
    ASSERT_EQ(kIOReturnSuccess, m_port->addMatchingNotification(UsbMatching{}, &arrived, &arrivals, iterator));
    drain(iterator.get());
    RunLoop::current()->removeFdSource(m_port->runLoopSource());
    m_port.reset();
    // Registrations outliving their port are harmless, and can still be destroyed.
    EXPECT_FALSE(iterator->next());
    notification.reset();
    iterator.reset();
}

// Devices plugged in while the notification is being registered and drained, with the
// events handled on another thread: each one is handed out once, by the drain or a callback.
TEST_F(UsbNotificationPortTest, ArrivalsDuringRegistrationAreReportedExactlyOnce)
{
    constexpr int kDevices = 200;
    struct Seen {
        std::mutex mutex;
        std::condition_variable changed;
        std::vector<std::string> syspaths;
        void add(UsbIterator* iterator)
        {
            const std::vector<std::string> drained = drain(iterator);
            std::lock_guard<std::mutex> lock(mutex);
            syspaths.insert(syspaths.end(), drained.begin(), drained.end());
            changed.notify_all();
        }
    } seen;
    const auto arrivedOnLoop = [](void* refCon, UsbIterator* iterator) { static_cast<Seen*>(refCon)->add(iterator); };

    RunLoop::current()->removeFdSource(m_port->runLoopSource());
    std::atomic<RunLoop*> loop{nullptr};
    std::thread loopThread([&] {
        RunLoop* current = RunLoop::current();
        current->addFdSource(m_port->runLoopSource());
        loop = current;
        current->run();
        current->removeFdSource(m_port->runLoopSource());
    });
    std::atomic<int> plugged{0};
    std::vector<std::string> expected;
    for (int i = 0; i < kDevices; ++i)
        expected.push_back(m_root + "/7-" + std::to_string(i + 1));
    std::thread plugger([&] {
        for (int i = 0; i < kDevices; ++i) {
            plug("7-" + std::to_string(i + 1), static_cast<std::uint32_t>(i + 2));
            m_events.attach(expected[i]);
            m_events.post(Action::kAdd, expected[i], static_cast<std::uint32_t>(i + 2));
            ++plugged;
        }
    });
    while (plugged < kDevices / 4)
        std::this_thread::yield();

    std::unique_ptr<UsbIterator> iterator;
    ASSERT_EQ(kIOReturnSuccess, m_port->addMatchingNotification(UsbMatching{}, arrivedOnLoop, &seen, iterator));
    seen.add(iterator.get());
    plugger.join();
    {
        std::unique_lock<std::mutex> lock(seen.mutex);
        seen.changed.wait_for(lock, std::chrono::seconds(30), [&] { return seen.syspaths.size() >= kDevices; });
    }
    while (loop == nullptr)
        std::this_thread::yield();
    loop.load()->stop();
    loopThread.join();
    iterator.reset();

    std::vector<std::string> syspaths = seen.syspaths;
    std::sort(syspaths.begin(), syspaths.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(expected, syspaths);
}

}  // namespace
}  // namespace platform
}  // namespace kel
