#include "platform/emulated/hid_emulated.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

#include "platform/runloop.h"

namespace kel {
namespace platform {

// What one scheduled handle has still to deliver, and to whom. The run-loop source's info
// points here.
struct EmulatedHidDelivery {
    struct Event {
        bool removal;
        std::uint32_t reportId;
        std::vector<std::uint8_t> bytes;
    };

    std::mutex mutex;  // guards everything below but performMutex and deliveringThread
    std::deque<Event> events;
    RunLoop* loop = nullptr;
    std::shared_ptr<RunLoopSource> source;
    bool removalPending = false;  // removed before it was scheduled
    void* sender = nullptr;
    std::uint8_t* buffer = nullptr;
    std::size_t bufferSize = 0;
    HidDevice::InputReportCallback inputCallback = nullptr;
    void* inputContext = nullptr;
    HidDevice::RemovalCallback removalCallback = nullptr;
    void* removalContext = nullptr;

    std::mutex performMutex;  // held while callbacks run, so that unscheduling can wait for them
    std::atomic<std::thread::id> deliveringThread{};

    // Signalling under the mutex keeps the loop from being unscheduled (and freed) meanwhile.
    void postLocked(Event event)
    {
        if (!loop) {
            if (event.removal)
                removalPending = true;
            return;
        }
        events.push_back(std::move(event));
        source->signal();
        loop->wakeUp();
    }

    void post(Event event)
    {
        std::lock_guard<std::mutex> lock(mutex);
        postLocked(std::move(event));
    }

    static void perform(void* info)
    {
        auto* self = static_cast<EmulatedHidDelivery*>(info);
        std::lock_guard<std::mutex> performing(self->performMutex);
        self->deliveringThread = std::this_thread::get_id();
        std::deque<Event> events;
        {
            std::lock_guard<std::mutex> lock(self->mutex);
            events.swap(self->events);
        }
        for (const Event& event : events) {
            if (event.removal) {
                if (self->removalCallback)
                    self->removalCallback(self->removalContext, kIOReturnSuccess, self->sender);
            } else if (self->inputCallback && self->buffer) {
                const std::size_t length = std::min(event.bytes.size(), self->bufferSize);
                std::memcpy(self->buffer, event.bytes.data(), length);
                self->inputCallback(self->inputContext, kIOReturnSuccess, self->sender, HidDevice::kReportTypeInput,
                                    event.reportId, self->buffer, static_cast<long>(length));
            }
        }
        self->deliveringThread = std::thread::id();
    }
};

// The host's view of one device object: what HidManager::copyDevices hands out.
class EmulatedHidHandle : public HidDevice {
public:
    EmulatedHidHandle(std::shared_ptr<EmulatedHidDevice> device, std::uint64_t generation)
        : m_device(std::move(device)), m_generation(generation), m_delivery(std::make_shared<EmulatedHidDelivery>())
    {
        m_delivery->sender = this;
    }

    ~EmulatedHidHandle() override
    {
        unscheduleFromRunLoop(nullptr);
        m_device->closeHandle(this);
    }

    const std::shared_ptr<EmulatedHidDevice>& device() const { return m_device; }
    std::uint64_t generation() const { return m_generation; }

    IOReturn open(bool seize) override { return m_device->openHandle(this, m_generation, seize); }

    bool getProperty(const std::string& key, std::int64_t& value) override { return m_device->property(key, value); }

    IOReturn setReport(ReportType type, std::uint32_t reportId, const std::uint8_t* data, std::size_t length) override
    {
        return m_device->setReport(this, m_generation, type, reportId, data, length);
    }

    IOReturn getReport(ReportType type, std::uint32_t reportId, std::uint8_t* buffer, std::size_t& length) override
    {
        return m_device->getReport(this, m_generation, type, reportId, buffer, length);
    }

    void registerInputReportCallback(std::uint8_t* buffer, std::size_t size, InputReportCallback callback,
                                     void* context) override
    {
        std::lock_guard<std::mutex> lock(m_delivery->mutex);
        m_delivery->buffer = buffer;
        m_delivery->bufferSize = size;
        m_delivery->inputCallback = callback;
        m_delivery->inputContext = context;
    }

    void registerRemovalCallback(RemovalCallback callback, void* context) override
    {
        std::lock_guard<std::mutex> lock(m_delivery->mutex);
        m_delivery->removalCallback = callback;
        m_delivery->removalContext = context;
    }

    void scheduleWithRunLoop(RunLoop* loop) override
    {
        {
            std::lock_guard<std::mutex> lock(m_delivery->mutex);
            if (!loop || m_delivery->loop)
                return;
            m_delivery->source = RunLoopSource::create(m_delivery.get(), &EmulatedHidDelivery::perform);
            if (!m_delivery->source)
                return;
            loop->addSource(m_delivery->source);
            m_delivery->loop = loop;
            if (m_delivery->removalPending) {
                m_delivery->removalPending = false;
                m_delivery->postLocked({true, 0, {}});
            }
        }
        m_device->attachDelivery(m_generation, m_delivery);
    }

    void unscheduleFromRunLoop(RunLoop*) override
    {
        std::shared_ptr<RunLoopSource> source;
        {
            std::lock_guard<std::mutex> lock(m_delivery->mutex);
            source.swap(m_delivery->source);
            m_delivery->loop = nullptr;
            m_delivery->events.clear();
        }
        if (!source)
            return;
        source->invalidate();
        // A delivery already under way on another thread finishes before we return.
        if (m_delivery->deliveringThread.load() != std::this_thread::get_id())
            std::lock_guard<std::mutex> waitForDelivery(m_delivery->performMutex);
    }

private:
    std::shared_ptr<EmulatedHidDevice> m_device;
    std::uint64_t m_generation;
    std::shared_ptr<EmulatedHidDelivery> m_delivery;
};

// ---------------------------------------------------------------------------------------

EmulatedHidDevice::EmulatedHidDevice(HidMatching properties) : m_properties(std::move(properties)) {}

EmulatedHidDevice::~EmulatedHidDevice() = default;

void EmulatedHidDevice::setProperty(const std::string& key, std::int64_t value)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_properties[key] = value;
}

void EmulatedHidDevice::removeProperty(const std::string& key)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_properties.erase(key);
}

bool EmulatedHidDevice::property(const std::string& key, std::int64_t& value) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_properties.find(key);
    if (it == m_properties.end())
        return false;
    value = it->second;
    return true;
}

HidMatching EmulatedHidDevice::properties() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_properties;
}

bool EmulatedHidDevice::presentLocked() const
{
    if (m_removed && m_reappearAt && std::chrono::steady_clock::now() >= *m_reappearAt) {
        m_removed = false;
        m_reappearAt.reset();
    }
    return !m_removed;
}

bool EmulatedHidDevice::isPresent() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return presentLocked();
}

std::uint64_t EmulatedHidDevice::generation() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_generation;
}

void EmulatedHidDevice::removeLocked(std::optional<std::chrono::steady_clock::time_point> reappearAt)
{
    if (!presentLocked()) {
        m_reappearAt = reappearAt;
        return;
    }
    ++m_generation;
    m_removed = true;
    m_reappearAt = reappearAt;
    m_seizedBy = nullptr;
    m_openHandles.clear();
    for (const auto& weak : m_deliveries)
        if (const auto delivery = weak.lock())
            delivery->post({true, 0, {}});
    m_deliveries.clear();
}

void EmulatedHidDevice::remove()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    removeLocked(std::nullopt);
}

void EmulatedHidDevice::reenumerate(double delaySeconds)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    removeLocked(std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                        std::chrono::duration<double>(delaySeconds)));
}

void EmulatedHidDevice::sendInputReportLocked(std::uint32_t reportId, const std::vector<std::uint8_t>& bytes)
{
    if (!presentLocked())
        return;
    for (const auto& weak : m_deliveries)
        if (const auto delivery = weak.lock())
            delivery->post({false, reportId, bytes});
}

void EmulatedHidDevice::sendInputReport(std::uint32_t reportId, const std::vector<std::uint8_t>& bytes)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    sendInputReportLocked(reportId, bytes);
}

void EmulatedHidDevice::queueGetReply(HidDevice::ReportType type, std::uint32_t reportId, IOReturn result,
                                      std::vector<std::uint8_t> bytes)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_replies.push_back({type, reportId, result, std::move(bytes)});
}

void EmulatedHidDevice::queueSetFailure(HidDevice::ReportType type, std::uint32_t reportId, IOReturn result)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_setFailures.push_back({type, reportId, result, {}});
}

void EmulatedHidDevice::setOpenResult(IOReturn result)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_openResult = result;
}

void EmulatedHidDevice::removeAfterRequests(std::size_t count)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_removeAfter = count;
}

void EmulatedHidDevice::setRequestDelay(std::chrono::microseconds delay)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_requestDelay = delay;
}

void EmulatedHidDevice::setTextResponder(TextResponder responder)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_textResponder = std::move(responder);
}

void EmulatedHidDevice::setRecordReports(bool record)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_recordReports = record;
}

std::vector<EmulatedHidDevice::SentReport> EmulatedHidDevice::sentReports() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_sentReports;
}

std::size_t EmulatedHidDevice::setReportCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_setReportCount;
}

std::size_t EmulatedHidDevice::getReportCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_getReportCount;
}

IOReturn EmulatedHidDevice::openHandle(EmulatedHidHandle* handle, std::uint64_t generation, bool seize)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!presentLocked() || generation != m_generation)
        return kIOReturnNoDevice;
    if (m_openResult != kIOReturnSuccess)
        return m_openResult;
    if (m_seizedBy && m_seizedBy != handle)
        return kIOReturnExclusiveAccess;
    if (seize) {
        for (const EmulatedHidHandle* other : m_openHandles)
            if (other != handle)
                return kIOReturnExclusiveAccess;
        m_seizedBy = handle;
    }
    if (std::find(m_openHandles.begin(), m_openHandles.end(), handle) == m_openHandles.end())
        m_openHandles.push_back(handle);
    return kIOReturnSuccess;
}

void EmulatedHidDevice::closeHandle(EmulatedHidHandle* handle)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_openHandles.erase(std::remove(m_openHandles.begin(), m_openHandles.end(), handle), m_openHandles.end());
    if (m_seizedBy == handle)
        m_seizedBy = nullptr;
}

void EmulatedHidDevice::attachDelivery(std::uint64_t generation, const std::shared_ptr<EmulatedHidDelivery>& delivery)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!presentLocked() || generation != m_generation) {
        delivery->post({true, 0, {}});
        return;
    }
    m_deliveries.erase(std::remove_if(m_deliveries.begin(), m_deliveries.end(),
                                      [](const std::weak_ptr<EmulatedHidDelivery>& weak) { return weak.expired(); }),
                       m_deliveries.end());
    m_deliveries.push_back(delivery);
}

IOReturn EmulatedHidDevice::checkRequestLocked(EmulatedHidHandle* handle, std::uint64_t generation) const
{
    if (!presentLocked() || generation != m_generation)
        return kIOReturnNoDevice;
    if (std::find(m_openHandles.begin(), m_openHandles.end(), handle) == m_openHandles.end())
        return kIOReturnNotOpen;
    return kIOReturnSuccess;
}

void EmulatedHidDevice::requestDoneLocked()
{
    if (m_removeAfter != 0 && --m_removeAfter == 0)
        removeLocked(std::nullopt);
}

IOReturn EmulatedHidDevice::setReport(EmulatedHidHandle* handle, std::uint64_t generation, HidDevice::ReportType type,
                                      std::uint32_t reportId, const std::uint8_t* data, std::size_t length)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_requestDelay.count() > 0) {
        // Sleep unlocked: a removal from another thread must not wait for the transaction.
        const auto delay = m_requestDelay;
        lock.unlock();
        std::this_thread::sleep_for(delay);
        lock.lock();
    }
    IOReturn result = checkRequestLocked(handle, generation);
    if (result != kIOReturnSuccess)
        return result;
    ++m_setReportCount;
    const auto failure = std::find_if(m_setFailures.begin(), m_setFailures.end(),
                                      [&](const Reply& r) { return r.type == type && r.reportId == reportId; });
    if (failure != m_setFailures.end()) {
        result = failure->result;
        m_setFailures.erase(failure);
        requestDoneLocked();
        return result;
    }
    if (m_recordReports)
        m_sentReports.push_back({type, reportId, std::vector<std::uint8_t>(data, data + length)});
    result = handleSetReport(type, reportId, data, length);
    requestDoneLocked();
    return result;
}

IOReturn EmulatedHidDevice::getReport(EmulatedHidHandle* handle, std::uint64_t generation, HidDevice::ReportType type,
                                      std::uint32_t reportId, std::uint8_t* buffer, std::size_t& length)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_requestDelay.count() > 0) {
        const auto delay = m_requestDelay;
        lock.unlock();
        std::this_thread::sleep_for(delay);
        lock.lock();
    }
    IOReturn result = checkRequestLocked(handle, generation);
    if (result != kIOReturnSuccess) {
        length = 0;
        return result;
    }
    ++m_getReportCount;
    const auto reply = std::find_if(m_replies.begin(), m_replies.end(),
                                    [&](const Reply& r) { return r.type == type && r.reportId == reportId; });
    if (reply != m_replies.end()) {
        result = reply->result;
        if (result == kIOReturnSuccess) {
            length = std::min(length, reply->bytes.size());
            if (length != 0)
                std::memcpy(buffer, reply->bytes.data(), length);
        } else {
            length = 0;
        }
        m_replies.erase(reply);
    } else {
        result = handleGetReport(type, reportId, buffer, length);
    }
    requestDoneLocked();
    return result;
}

IOReturn EmulatedHidDevice::handleSetReport(HidDevice::ReportType type, std::uint32_t reportId,
                                            const std::uint8_t* data, std::size_t length)
{
    if (type != HidDevice::kReportTypeOutput)
        return kIOReturnUnsupported;
    if (reportId != 1 || !m_textResponder || length < 1)
        return kIOReturnSuccess;
    const auto* text = reinterpret_cast<const char*>(data + 1);
    const std::string request(text, strnlen(text, length - 1));
    const std::optional<std::string> answer = m_textResponder(request);
    if (!answer)
        return kIOReturnSuccess;
    std::vector<std::uint8_t> report;
    report.reserve(answer->size() + 2);
    report.push_back(1);
    report.insert(report.end(), answer->begin(), answer->end());
    report.push_back(0);
    const auto it = m_properties.find(kHidMaxInputReportSizeKey);
    if (it != m_properties.end() && it->second > 0 && static_cast<std::size_t>(it->second) > report.size())
        report.resize(static_cast<std::size_t>(it->second), 0);
    sendInputReportLocked(1, report);
    return kIOReturnSuccess;
}

IOReturn EmulatedHidDevice::handleGetReport(HidDevice::ReportType, std::uint32_t, std::uint8_t*, std::size_t& length)
{
    length = 0;
    return kIOReturnUnsupported;
}

// ---------------------------------------------------------------------------------------

namespace {

class EmulatedHidManager : public HidManager {
public:
    explicit EmulatedHidManager(EmulatedHidBus& bus) : m_bus(bus) {}
    ~EmulatedHidManager() override = default;  // the handles unschedule and close themselves

    void setDeviceMatching(const HidMatching& matching) override { m_matching = matching; }

    IOReturn open() override
    {
        const IOReturn result = m_bus.managerOpenResult();
        m_isOpen = result == kIOReturnSuccess;
        return result;
    }

    std::vector<HidDevice*> copyDevices() override
    {
        std::vector<HidDevice*> found;
        if (!m_isOpen)
            return found;
        for (const auto& device : m_bus.devices()) {
            if (!device->isPresent() || !matches(*device))
                continue;
            found.push_back(handleFor(device));
        }
        return found;
    }

private:
    bool matches(const EmulatedHidDevice& device) const
    {
        for (const auto& [key, wanted] : m_matching) {
            std::int64_t value = 0;
            if (!device.property(key, value) || value != wanted)
                return false;
        }
        return true;
    }

    HidDevice* handleFor(const std::shared_ptr<EmulatedHidDevice>& device)
    {
        const std::uint64_t generation = device->generation();
        for (const auto& handle : m_handles)
            if (handle->device() == device && handle->generation() == generation)
                return handle.get();
        m_handles.push_back(std::make_unique<EmulatedHidHandle>(device, generation));
        return m_handles.back().get();
    }

    EmulatedHidBus& m_bus;
    HidMatching m_matching;
    bool m_isOpen = false;
    std::vector<std::unique_ptr<EmulatedHidHandle>> m_handles;
};

}  // namespace

void EmulatedHidBus::attach(const std::shared_ptr<EmulatedHidDevice>& device)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (std::find(m_devices.begin(), m_devices.end(), device) == m_devices.end())
        m_devices.push_back(device);
}

void EmulatedHidBus::detach(const std::shared_ptr<EmulatedHidDevice>& device)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_devices.erase(std::remove(m_devices.begin(), m_devices.end(), device), m_devices.end());
    }
    device->remove();
}

std::vector<std::shared_ptr<EmulatedHidDevice>> EmulatedHidBus::devices() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_devices;
}

void EmulatedHidBus::setManagerCreationFails(bool fails)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_managerCreationFails = fails;
}

void EmulatedHidBus::setManagerOpenResult(IOReturn result)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_managerOpenResult = result;
}

IOReturn EmulatedHidBus::managerOpenResult() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_managerOpenResult;
}

std::unique_ptr<HidManager> EmulatedHidBus::createManager()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_managerCreationFails)
            return nullptr;
    }
    return std::make_unique<EmulatedHidManager>(*this);
}

}  // namespace platform
}  // namespace kel
