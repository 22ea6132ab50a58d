#include "lib/kel_hidengine.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <system_error>

#include "lib/kel_usbidentifier.h"
#include "platform/runloop.h"

namespace kel {

HidEngine::HidEngine()
    : m_isOpen(false),
      m_isConnected(false),
      m_device(nullptr),
      m_maxInputReportSize(0),
      m_maxOutputReportSize(0),
      m_maxFeatureReportSize(0),
      m_inputThread(),
      m_inputThreadCreated(false),
      m_runLoop(nullptr),
      m_inputThreadState(kInputThreadIdle)
{
}

HidEngine::~HidEngine()
{
    close();
}

bool HidEngine::open(const UsbIdentifier& identifier, std::uint16_t usage, std::uint16_t usagePage,
                     std::uint32_t interfaceIndex)
{
    return open(identifier.locationId(), identifier.idVendor(), identifier.idProduct(), usage, usagePage,
                interfaceIndex);
}

bool HidEngine::open(std::uint32_t locationId, std::uint16_t idVendor, std::uint16_t idProduct, std::uint16_t usage,
                     std::uint16_t usagePage, std::uint32_t interfaceIndex)
{
    constexpr std::size_t kMaxHidInterfaces = 16;

    close();
    if (!m_manager)
        m_manager = platform::hidBackend().createManager();
    if (!m_manager) {
        close();
        return false;
    }

    // A location ID of 0 is matched literally; the other keys only when given.
    platform::HidMatching matching;
    matching[platform::kHidLocationIdKey] = locationId;
    if (idVendor != 0)
        matching[platform::kHidVendorIdKey] = idVendor;
    if (idProduct != 0)
        matching[platform::kHidProductIdKey] = idProduct;
    if (usage != 0)
        matching[platform::kHidPrimaryUsageKey] = usage;
    if (usagePage != 0)
        matching[platform::kHidPrimaryUsagePageKey] = usagePage;
    m_manager->setDeviceMatching(matching);
    if (m_manager->open() != kIOReturnSuccess) {
        close();
        return false;
    }

    const std::vector<platform::HidDevice*> devices = m_manager->copyDevices();
    if (devices.empty() || devices.size() > kMaxHidInterfaces || devices.size() <= interfaceIndex) {
        close();
        return false;
    }
    m_device = devices[interfaceIndex];
    if (m_device->open(true) != kIOReturnSuccess) {
        close();
        return false;
    }

    const char* const sizeKeys[] = {platform::kHidMaxInputReportSizeKey, platform::kHidMaxOutputReportSizeKey,
                                    platform::kHidMaxFeatureReportSizeKey};
    std::uint32_t sizes[3];
    for (int i = 0; i < 3; ++i) {
        std::int64_t value = 0;
        if (!getNumericProperty(sizeKeys[i], value) || value < 0 || value > 65535) {
            close();
            return false;
        }
        sizes[i] = static_cast<std::uint32_t>(value);
    }
    m_maxInputReportSize = sizes[0];
    m_maxOutputReportSize = sizes[1];
    m_maxFeatureReportSize = sizes[2];

    m_inputBuffer.assign(m_maxInputReportSize, 0);
    m_isConnected = true;
    m_device->registerRemovalCallback(&HidEngine::inputThreadDisconnectCallback, this);
    if (m_maxInputReportSize != 0)
        m_device->registerInputReportCallback(m_inputBuffer.data(), m_inputBuffer.size(),
                                              &HidEngine::inputThreadReportCallback, this);

    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_inputThreadState = kInputThreadIdle;
        // Reports of an earlier open are stale: they answered requests of that session.
        m_inputReports.clear();
    }
    if (pthread_create(&m_inputThread, nullptr, &HidEngine::inputThreadEntry, this) != 0) {
        close();
        return false;
    }
    m_inputThreadCreated = true;

    InputThreadState reached;
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_stateCondition.wait(lock, [this] { return m_inputThreadState != kInputThreadIdle; });
        reached = m_inputThreadState;
    }
    if (reached != kInputThreadRunning) {
        close();
        return false;
    }
    m_isOpen = true;
    return true;
}

void HidEngine::close()
{
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_inputThreadState == kInputThreadRunning && m_runLoop && m_runLoopSource) {
            // Holding the mutex keeps the thread, and so its run loop, alive while we wake it.
            m_runLoopSource->signal();
            m_runLoop->wakeUp();
            m_stateCondition.wait(lock, [this] { return m_inputThreadState != kInputThreadRunning; });
        }
    }
    // A thread that ended by itself is joined as well, so none is ever left behind.
    if (m_inputThreadCreated) {
        pthread_join(m_inputThread, nullptr);
        m_inputThreadCreated = false;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_inputThreadState = kInputThreadIdle;
        m_runLoop = nullptr;
        m_runLoopSource.reset();
    }

    m_manager.reset();
    m_device = nullptr;
    m_maxInputReportSize = 0;
    m_inputBuffer.clear();
    m_isOpen = false;
    m_isConnected = false;
}

bool HidEngine::getNumericProperty(const char* key, std::int64_t& value)
{
    value = 0;
    if (!m_device)
        return false;
    if (!m_device->getProperty(key, value)) {
        value = 0;
        return false;
    }
    return true;
}

std::uint16_t HidEngine::getU16Property(const char* key)
{
    std::int64_t value = 0;
    if (!getNumericProperty(key, value) || value < 0 || value > 65535)
        return 0;
    return static_cast<std::uint16_t>(value);
}

std::uint16_t HidEngine::idVendor()
{
    return getU16Property(platform::kHidVendorIdKey);
}

std::uint16_t HidEngine::idProduct()
{
    return getU16Property(platform::kHidProductIdKey);
}

std::uint16_t HidEngine::deviceReleaseNumber()
{
    return getU16Property(platform::kHidVersionNumberKey);
}

std::uint32_t HidEngine::locationId()
{
    std::int64_t value = 0;
    getNumericProperty(platform::kHidLocationIdKey, value);
    return static_cast<std::uint32_t>(value);
}

bool HidEngine::setReport(std::uint8_t reportId, const void* data, std::size_t length, bool feature)
{
    if (!m_isOpen || !m_isConnected)
        return false;
    const IOReturn result =
        m_device->setReport(feature ? platform::HidDevice::kReportTypeFeature : platform::HidDevice::kReportTypeOutput,
                            reportId, static_cast<const std::uint8_t*>(data), length);
    if (result == kIOReturnNoDevice)
        m_isConnected = false;
    return result == kIOReturnSuccess;
}

bool HidEngine::setReport(std::uint8_t reportId, const std::vector<std::uint8_t>& data, bool feature)
{
    return setReport(reportId, data.data(), data.size(), feature);
}

bool HidEngine::getReport(std::uint8_t reportId, std::vector<std::uint8_t>& report, bool feature)
{
    if (!m_isOpen || !m_isConnected)
        return false;
    report.clear();
    report.resize(feature ? m_maxFeatureReportSize : m_maxInputReportSize);
    std::size_t length = report.size();
    const IOReturn result =
        m_device->getReport(feature ? platform::HidDevice::kReportTypeFeature : platform::HidDevice::kReportTypeInput,
                            reportId, report.data(), length);
    if (result != kIOReturnSuccess) {
        report.clear();
        return false;
    }
    report.resize(std::min(length, report.size()));
    return true;
}

bool HidEngine::takeReportLocked(std::uint32_t reportId, std::vector<std::uint8_t>& report)
{
    const auto found = std::find_if(m_inputReports.begin(), m_inputReports.end(), [reportId](const InputReport& r) {
        return reportId == 256 || r.reportId == reportId;
    });
    if (found == m_inputReports.end())
        return false;
    report.swap(found->data);
    m_inputReports.erase(found);
    return true;
}

bool HidEngine::asyncGetNextReport(std::uint32_t reportId, std::vector<std::uint8_t>& report, std::uint32_t timeoutMs)
{
    report.clear();
    if (!m_isOpen || !m_isConnected)
        return false;

    // The monotonic clock: setting the time must neither cut the wait short nor stretch it.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        // Reports queued before the call count, and a report with another ID does not end the wait.
        if (takeReportLocked(reportId, report))
            return true;
        if (m_inputThreadState != kInputThreadRunning || !m_isConnected)
            return false;
        if (m_reportCondition.wait_until(lock, deadline) == std::cv_status::timeout)
            return takeReportLocked(reportId, report);
    }
}

void* HidEngine::inputThreadEntry(void* arg)
{
    const platform::ThreadScope scope;
    auto* engine = static_cast<HidEngine*>(arg);
    if (!engine) {
        fprintf(stderr, "HidEngine::inputThreadEntry() -- no engine\n");
        return nullptr;
    }

    platform::RunLoop* loop;
    try {
        loop = platform::RunLoop::current();
    } catch (const std::system_error&) {
        // Out of descriptors: open learns that the thread failed, as an exception here would abort.
        std::lock_guard<std::mutex> lock(engine->m_mutex);
        engine->m_inputThreadState = kInputThreadStopped;
        engine->m_stateCondition.notify_all();
        return nullptr;
    }
    engine->m_device->scheduleWithRunLoop(loop);
    std::shared_ptr<platform::RunLoopSource> source =
        platform::RunLoopSource::create(engine, &HidEngine::inputThreadTerminate);
    {
        std::lock_guard<std::mutex> lock(engine->m_mutex);
        engine->m_runLoop = loop;
        engine->m_runLoopSource = source;
    }
    if (!source) {
        fprintf(stderr, "HidEngine::inputThreadEntry() -- no runloop source\n");
        engine->m_device->unscheduleFromRunLoop(loop);
        // Stopped, not idle: open is waiting for this thread and must learn that it failed.
        std::lock_guard<std::mutex> lock(engine->m_mutex);
        engine->m_inputThreadState = kInputThreadStopped;
        engine->m_stateCondition.notify_all();
        return nullptr;
    }
    loop->addSource(source);
    {
        std::lock_guard<std::mutex> lock(engine->m_mutex);
        engine->m_inputThreadState = kInputThreadRunning;
        engine->m_stateCondition.notify_all();
    }

    for (;;) {
        const platform::RunLoop::Result result = loop->runFor(60.0, false);
        if (result == platform::RunLoop::Result::kFinished || result == platform::RunLoop::Result::kStopped)
            break;
    }

    // The loop goes away with this thread: nothing may stay scheduled on it.
    engine->m_device->unscheduleFromRunLoop(loop);
    loop->removeSource(source);
    source->invalidate();

    std::lock_guard<std::mutex> lock(engine->m_mutex);
    engine->m_inputThreadState = kInputThreadStopped;
    engine->m_stateCondition.notify_all();
    return nullptr;
}

void HidEngine::inputThreadTerminate(void* info)
{
    auto* engine = static_cast<HidEngine*>(info);
    if (engine && engine->m_runLoop)
        engine->m_runLoop->stop();
}

void HidEngine::inputThreadReportCallback(void* context, IOReturn, void*, platform::HidDevice::ReportType,
                                          std::uint32_t reportId, std::uint8_t* report, long length)
{
    auto* engine = static_cast<HidEngine*>(context);
    if (!engine || length < 0 || length > 65535)
        return;
    InputReport input(static_cast<std::uint8_t>(reportId), report, static_cast<std::size_t>(length));
    std::lock_guard<std::mutex> lock(engine->m_mutex);
    engine->m_inputReports.push_back(std::move(input));
    engine->m_reportCondition.notify_all();
}

void HidEngine::inputThreadDisconnectCallback(void* context, IOReturn, void*)
{
    auto* engine = static_cast<HidEngine*>(context);
    if (!engine)
        return;
    engine->m_isConnected = false;
    // Waiters learn at once that nothing more will come.
    std::lock_guard<std::mutex> lock(engine->m_mutex);
    engine->m_reportCondition.notify_all();
}

}  // namespace kel
