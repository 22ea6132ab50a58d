// A scripted fake HID bus: each device answers the requests its script expects, in order,
// with canned replies, and records when each came and what went wrong.
// Input reports and the removal reach the run loop the device is scheduled on.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/hid.h"
#include "platform/runloop.h"

namespace kel {
namespace testing {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

struct Step {
    enum Kind { kSet, kGet } kind;
    std::uint8_t reportId;
    Bytes bytes;  // set: the expected prefix of what is sent; get: the reply
    IOReturn result = kIOReturnSuccess;
    std::function<void()> then = nullptr;  // runs once the request has been answered
};

inline Step expectSet(std::uint8_t id, Bytes prefix, IOReturn result = kIOReturnSuccess)
{
    return {Step::kSet, id, std::move(prefix), result};
}
inline Step reply(std::uint8_t id, Bytes bytes, IOReturn result = kIOReturnSuccess)
{
    return {Step::kGet, id, std::move(bytes), result};
}

class FakeHidDevice : public platform::HidDevice {
public:
    explicit FakeHidDevice(platform::HidMatching properties) : props(std::move(properties)) {}

    platform::HidMatching props;
    std::deque<Step> script;
    std::vector<Clock::time_point> times;  // of every request served
    std::vector<Bytes> sent;               // every set-report, with its type in front
    IOReturn openResult = kIOReturnSuccess;
    std::vector<std::string> errors;  // unscripted requests and unexpected bytes

    IOReturn open(bool) override { return openResult; }
    bool getProperty(const std::string& key, std::int64_t& value) override
    {
        const auto found = props.find(key);
        if (found == props.end())
            return false;
        value = found->second;
        return true;
    }
    IOReturn setReport(ReportType type, std::uint32_t id, const std::uint8_t* data, std::size_t length) override
    {
        Bytes bytes(data, data + length);
        bytes.insert(bytes.begin(), static_cast<std::uint8_t>(type));
        sent.push_back(bytes);
        Step step;
        if (!take(Step::kSet, id, step))
            return m_removed ? kIOReturnNoDevice : kIOReturnError;
        if (length < step.bytes.size() || !std::equal(step.bytes.begin(), step.bytes.end(), data))
            errors.push_back("unexpected bytes in set-report " + std::to_string(id));
        return finish(step);
    }
    IOReturn getReport(ReportType, std::uint32_t id, std::uint8_t* buffer, std::size_t& length) override
    {
        Step step;
        if (!take(Step::kGet, id, step))
            return m_removed ? kIOReturnNoDevice : kIOReturnError;
        length = std::min(length, step.bytes.size());
        std::copy_n(step.bytes.begin(), length, buffer);
        return finish(step);
    }

    void registerInputReportCallback(std::uint8_t* buffer, std::size_t size, InputReportCallback callback,
                                     void* context) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_buffer = buffer, m_size = size, m_input = callback, m_inputContext = context;
    }
    void registerRemovalCallback(RemovalCallback callback, void* context) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_removal = callback, m_removalContext = context;
    }
    void scheduleWithRunLoop(platform::RunLoop* loop) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_source = platform::RunLoopSource::create(this, &FakeHidDevice::perform);
        loop->addSource(m_source);
        m_loop = loop;
        if (!m_events.empty())
            signalLocked();
    }
    void unscheduleFromRunLoop(platform::RunLoop*) override
    {
        std::shared_ptr<platform::RunLoopSource> source;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            source.swap(m_source);
            m_loop = nullptr;
        }
        if (source)
            source->invalidate();
        if (m_performer != std::this_thread::get_id())
            std::lock_guard<std::mutex> waitForDelivery(m_performMutex);
    }

    bool scheduled()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_source != nullptr;
    }
    // Any thread: an input report for the scheduled loop, or the device leaving for good.
    void sendInput(std::uint32_t id, Bytes bytes) { post({false, id, std::move(bytes)}); }
    void remove()
    {
        m_removed = true;
        post({true, 0, {}});
    }

private:
    struct Event {
        bool removal;
        std::uint32_t id;
        Bytes bytes;
    };

    bool take(Step::Kind kind, std::uint32_t id, Step& step)
    {
        if (m_removed)
            return false;
        if (script.empty() || script.front().kind != kind || script.front().reportId != id) {
            errors.push_back(std::string("unscripted ") + (kind == Step::kSet ? "set" : "get") + "-report " +
                             std::to_string(id));
            return false;
        }
        step = std::move(script.front());
        script.pop_front();
        times.push_back(Clock::now());
        return true;
    }
    static IOReturn finish(Step& step)
    {
        if (step.then)
            step.then();
        return step.result;
    }
    void post(Event event)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_source && !event.removal)
            return;  // nobody listens
        m_events.push_back(std::move(event));
        if (m_source)
            signalLocked();
    }
    void signalLocked()
    {
        m_source->signal();
        m_loop->wakeUp();
    }
    static void perform(void* info)
    {
        auto* self = static_cast<FakeHidDevice*>(info);
        std::lock_guard<std::mutex> performing(self->m_performMutex);
        self->m_performer = std::this_thread::get_id();
        std::deque<Event> events;
        {
            std::lock_guard<std::mutex> lock(self->m_mutex);
            if (self->m_source)
                events.swap(self->m_events);
        }
        for (const Event& event : events) {
            if (event.removal && self->m_removal) {
                self->m_removal(self->m_removalContext, kIOReturnSuccess, self);
            } else if (!event.removal && self->m_input) {
                const std::size_t length = std::min(event.bytes.size(), self->m_size);
                std::copy_n(event.bytes.begin(), length, self->m_buffer);
                self->m_input(self->m_inputContext, kIOReturnSuccess, self, kReportTypeInput, event.id, self->m_buffer,
                              static_cast<long>(length));
            }
        }
        self->m_performer = std::thread::id();
    }

    std::atomic<bool> m_removed{false};
    std::mutex m_mutex;  // guards the callbacks, the loop and the events
    std::mutex m_performMutex;
    std::atomic<std::thread::id> m_performer{};
    std::deque<Event> m_events;
    platform::RunLoop* m_loop = nullptr;
    std::shared_ptr<platform::RunLoopSource> m_source;
    std::uint8_t* m_buffer = nullptr;
    std::size_t m_size = 0;
    InputReportCallback m_input = nullptr;
    void* m_inputContext = nullptr;
    RemovalCallback m_removal = nullptr;
    void* m_removalContext = nullptr;
};

// The bus: managers match the attached devices by every key of their matching. It records
// each matching asked for, and installs itself as the backend for its lifetime.
class FakeHidBus : public platform::HidBackend {
public:
    FakeHidBus() { platform::setHidBackend(this); }
    ~FakeHidBus() override { platform::setHidBackend(nullptr); }

    std::vector<std::shared_ptr<FakeHidDevice>> devices;
    std::vector<platform::HidMatching> matchings;
    IOReturn openResult = kIOReturnSuccess;
    bool creationFails = false;

    FakeHidDevice& attach(platform::HidMatching properties)
    {
        devices.push_back(std::make_shared<FakeHidDevice>(std::move(properties)));
        return *devices.back();
    }

    std::unique_ptr<platform::HidManager> createManager() override
    {
        if (creationFails)
            return nullptr;
        return std::make_unique<Manager>(*this);
    }

private:
    struct Manager : platform::HidManager {
        explicit Manager(FakeHidBus& owner) : bus(owner) {}
        void setDeviceMatching(const platform::HidMatching& matching) override
        {
            bus.matchings.push_back(matching);
        }
        IOReturn open() override { return bus.openResult; }
        std::vector<platform::HidDevice*> copyDevices() override
        {
            std::vector<platform::HidDevice*> found;
            for (const auto& device : bus.devices)
                if (std::all_of(bus.matchings.back().begin(), bus.matchings.back().end(),
                                [&](const auto& entry) { return device->props.count(entry.first) &&
                                                                device->props.at(entry.first) == entry.second; }))
                    found.push_back(device.get());
            return found;
        }
        FakeHidBus& bus;
    };
};

// A device with the sizes of a CSR HID DFU device.
inline platform::HidMatching csrProperties(std::uint32_t location = 0x01200000, std::int64_t product = 0x1004)
{
    return {{platform::kHidLocationIdKey, location},     {platform::kHidVendorIdKey, 0x0A12},
            {platform::kHidProductIdKey, product},       {platform::kHidVersionNumberKey, 0x0321},
            {platform::kHidPrimaryUsageKey, 1},          {platform::kHidPrimaryUsagePageKey, 0xFF00},
            {platform::kHidMaxInputReportSizeKey, 64},   {platform::kHidMaxOutputReportSizeKey, 64},
            {platform::kHidMaxFeatureReportSizeKey, 1023}};
}

}  // namespace testing
}  // namespace kel
