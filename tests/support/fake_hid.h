// A scripted fake HID bus: each device answers the requests its script expects, in order,
// with canned replies, and records what it was sent, when, and what went wrong.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/hid.h"

namespace kel {
namespace testing {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

struct Step {
    bool get;  // a get-report answered with `bytes`, or a set-report that must start with them
    std::uint8_t reportId;
    Bytes bytes;
    IOReturn result = kIOReturnSuccess;
};

inline Step expectSet(std::uint8_t id, Bytes prefix, IOReturn result = kIOReturnSuccess)
{
    return {false, id, std::move(prefix), result};
}
inline Step reply(std::uint8_t id, Bytes bytes, IOReturn result = kIOReturnSuccess)
{
    return {true, id, std::move(bytes), result};
}

// Input reports and the removal are delivered on the sending thread, never after the device
// is unscheduled: HidEngine's callbacks only queue and wake, whatever thread they run on.
struct FakeHidDevice : platform::HidDevice {
    explicit FakeHidDevice(platform::HidMatching properties) : props(std::move(properties)) {}

    platform::HidMatching props;
    IOReturn openResult = kIOReturnSuccess;
    std::deque<Step> script;
    std::vector<Clock::time_point> times;  // of every request served
    std::vector<Bytes> sent;               // every set-report, with its type in front
    std::vector<std::string> errors;       // unscripted requests and unexpected bytes
    bool scheduled = false;

    IOReturn open(bool) override { return openResult; }
    bool getProperty(const std::string& key, std::int64_t& value) override
    {
        if (props.count(key))
            value = props.at(key);
        return props.count(key) != 0;
    }
    IOReturn setReport(ReportType type, std::uint32_t id, const std::uint8_t* data, std::size_t length) override
    {
        sent.emplace_back(1, static_cast<std::uint8_t>(type));
        sent.back().insert(sent.back().end(), data, data + length);
        return answer(false, id, [&](const Bytes& prefix) {
            if (length < prefix.size() || !std::equal(prefix.begin(), prefix.end(), data))
                errors.push_back("unexpected bytes in set-report " + std::to_string(id));
        });
    }
    IOReturn getReport(ReportType, std::uint32_t id, std::uint8_t* buffer, std::size_t& length) override
    {
        return answer(true, id, [&](const Bytes& bytes) {
            length = std::min(length, bytes.size());
            std::copy_n(bytes.begin(), length, buffer);
        });
    }
    template <typename Use>
    IOReturn answer(bool get, std::uint32_t id, Use use)
    {
        if (removed)
            return kIOReturnNoDevice;
        if (script.empty() || script.front().get != get || script.front().reportId != id) {
            errors.push_back(std::string("unscripted ") + (get ? "get" : "set") + "-report " + std::to_string(id));
            return kIOReturnError;
        }
        const Step step = std::move(script.front());
        script.pop_front();
        times.push_back(Clock::now());
        use(step.bytes);
        return step.result;
    }

    void registerInputReportCallback(std::uint8_t* buffer, std::size_t size, InputReportCallback callback,
                                     void* context) override
    {
        input = [=](std::uint32_t id, const Bytes& bytes) {
            const std::size_t length = std::min(bytes.size(), size);
            std::copy_n(bytes.begin(), length, buffer);
            callback(context, kIOReturnSuccess, this, kReportTypeInput, id, buffer, static_cast<long>(length));
        };
    }
    void registerRemovalCallback(RemovalCallback callback, void* context) override
    {
        removal = [=] { callback(context, kIOReturnSuccess, this); };
    }
    void scheduleWithRunLoop(platform::RunLoop*) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        scheduled = true;
    }
    void unscheduleFromRunLoop(platform::RunLoop*) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        scheduled = false;
        input = nullptr;  // the next open registers again
    }

    // Any thread: an input report (dropped unless scheduled), or the device leaving for good.
    void sendInput(std::uint32_t id, const Bytes& bytes)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (scheduled && input)
            input(id, bytes);
    }
    void remove()
    {
        std::lock_guard<std::mutex> lock(mutex);
        removed = true;
        if (scheduled)
            removal();
    }

    std::atomic<bool> removed{false};
    std::function<void(std::uint32_t, const Bytes&)> input;
    std::function<void()> removal;
    std::mutex mutex;  // guards delivery against unscheduling
};

// The bus: a manager finds the attached devices that have every property of its matching.
// It records each matching asked for, and is the HID backend while it lives.
struct FakeHidBus : platform::HidBackend {
    FakeHidBus() { platform::setHidBackend(this); }
    ~FakeHidBus() override { platform::setHidBackend(nullptr); }

    std::vector<std::unique_ptr<FakeHidDevice>> devices;
    std::vector<platform::HidMatching> matchings;
    IOReturn openResult = kIOReturnSuccess;
    bool creationFails = false;

    FakeHidDevice& attach(platform::HidMatching properties)
    {
        devices.push_back(std::make_unique<FakeHidDevice>(std::move(properties)));
        return *devices.back();
    }
    std::unique_ptr<platform::HidManager> createManager() override
    {
        return creationFails ? nullptr : std::make_unique<Manager>(*this);
    }
    struct Manager : platform::HidManager {
        explicit Manager(FakeHidBus& owner) : bus(owner) {}
        void setDeviceMatching(const platform::HidMatching& matching) override { bus.matchings.push_back(matching); }
        IOReturn open() override { return bus.openResult; }
        std::vector<platform::HidDevice*> copyDevices() override
        {
            std::vector<platform::HidDevice*> found;
            for (const auto& device : bus.devices)
                if (std::includes(device->props.begin(), device->props.end(), bus.matchings.back().begin(),
                                  bus.matchings.back().end()))
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
