#include "lib/kel_usbdiscovery.h"

#include <algorithm>
#include <cassert>
#include <cstdio>

#include "lib/kel_usbdevice.h"

namespace kel {

// ---------------------------------------------------------------------------------------------
// Engine

UsbDiscoveryEngine::DeviceRecord::~DeviceRecord()
{
    engine = nullptr;
    notification.reset();
}

UsbDiscoveryEngine::UsbDiscoveryEngine()
    : m_active(false), m_queue(nullptr), m_discovery(nullptr), m_changed(false), m_client(std::make_shared<Client>())
{
}

UsbDiscoveryEngine::~UsbDiscoveryEngine()
{
    stop();
}

void UsbDiscoveryEngine::setClient(UsbDiscovery::Block block, UsbDiscovery* discovery)
{
    // Waits for a block running on another thread; a block may stop or restart its own
    // discovery, as the mutex is recursive.
    std::lock_guard<std::recursive_mutex> lock(m_client->mutex);
    m_client->block = std::move(block);
    m_client->discovery = discovery;
}

namespace {

struct StartRequest {
    platform::DispatchQueue* queue;
    UsbDiscovery::Block block;
    UsbDiscovery* discovery;
    bool result = false;
};

std::uint64_t recordKey(unsigned short idVendor, unsigned short idProduct, unsigned int locationId)
{
    return std::uint64_t(locationId) << 32 | std::uint32_t(idVendor) << 16 | idProduct;
}

}  // namespace

bool UsbDiscoveryEngine::start(platform::DispatchQueue* queue, UsbDiscovery::Block block, UsbDiscovery* discovery)
{
    setClient(block, discovery);
    StartRequest request{queue, std::move(block), discovery};
    struct Starter {
        UsbDiscoveryEngine* engine;
        void run(StartRequest* request)
        {
            engine->m_queue = request->queue;
            engine->m_block = std::move(request->block);
            engine->m_discovery = request->discovery;
            request->result = engine->startOnThread();
        }
    } starter{this};
    Bundle<void, StartRequest*> bundle(starter, &Starter::run, &request);
    m_runLoopThread.sendSynchronous(&bundle);
    return request.result;
}

// The client is already stored; the initial drain runs here, on the thread of every later
// notification, so that no removal can overtake the addition of its device.
bool UsbDiscoveryEngine::startOnThread()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_changed = false;
        if (m_active)
            return true;
        assert(0 == m_deviceRecords.size());

        const platform::UsbMatching matching;  // every "IOUSBDevice"
        m_notifyPort = platform::usbBackend().createNotificationPort();
        if (!m_notifyPort) {
            std::fprintf(stderr, "Can't create a USB notification port\n");
            return false;
        }
        platform::RunLoop* runLoop = m_runLoopThread;
        // A port that can hear of no change lists what is attached and no more: enough for a
        // client that does not watch.
        if (!m_notifyPort->scheduleWithRunLoop(runLoop) && m_block) {
            std::fprintf(stderr, "Can't watch for USB device changes\n");
            m_notifyPort.reset();
            return false;
        }

        const IOReturn kr = m_notifyPort->addMatchingNotification(matching, &usbDeviceAddedCallback, this,
                                                                  m_deviceAddedIterator);
        if (kr != kIOReturnSuccess) {
            std::fprintf(stderr, "Error %08x adding matching notification\n", static_cast<unsigned>(kr));
            m_notifyPort->unscheduleFromRunLoop(runLoop);
            m_deviceAddedIterator.reset();
            m_notifyPort.reset();
            return false;
        }
        m_active = true;
    }
    usbDeviceAddedCallback(this, m_deviceAddedIterator.get());
    return true;
}

void UsbDiscoveryEngine::stop()
{
    setClient(nullptr, nullptr);
    m_runLoopThread.call(*this, &UsbDiscoveryEngine::stopOnThread);
}

bool UsbDiscoveryEngine::stopOnThread()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_active)
        return false;
    assert(m_deviceAddedIterator);
    assert(m_notifyPort);

    m_notifyPort->unscheduleFromRunLoop(m_runLoopThread);
    m_deviceAddedIterator.reset();
    m_notifyPort.reset();

    m_queue = nullptr;
    m_block = nullptr;
    m_discovery = nullptr;

    m_recordIndex.clear();
    m_deviceRecords.clear();
    m_active = false;
    return true;
}

unsigned UsbDiscoveryEngine::deviceCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<unsigned>(m_deviceRecords.size());
}

void UsbDiscoveryEngine::getDevices(std::list<UsbIdentifier>& devices)
{
    devices.clear();
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& record : m_deviceRecords)
        devices.emplace_back(record->info.idVendor, record->info.idProduct, record->info.locationId);
}

bool UsbDiscoveryEngine::getDeviceInfo(UsbDiscovery::DeviceInfo* info, const UsbIdentifier& identifier)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto found =
            m_recordIndex.find(recordKey(identifier.idVendor(), identifier.idProduct(), identifier.locationId()));
        if (found != m_recordIndex.end()) {
            if (info)
                *info = found->second.front()->info;
            return true;
        }
    }
    if (info)
        info->clear();
    return false;
}

void UsbDiscoveryEngine::setFilter(const std::vector<UsbFilter>& filters)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (&filters != &m_filters)
        m_filters = filters;
}

void UsbDiscoveryEngine::clearFilter()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_filters.clear();
}

bool UsbDiscoveryEngine::passesFilter(unsigned short idVendor, unsigned short idProduct, unsigned short bcdDevice,
                                      unsigned int locationId)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_filters.empty())
        return true;
    for (const UsbFilter& filter : m_filters) {
        if (filter.matches(idVendor, idProduct, bcdDevice, locationId))
            return true;
    }
    return false;
}

void UsbDiscoveryEngine::usbDeviceAddedCallback(void* refCon, platform::UsbIterator* iterator)
{
    auto* engine = static_cast<UsbDiscoveryEngine*>(refCon);
    assert(engine);
    UsbDevice device;
    while (platform::UsbServiceRef service = iterator->next()) {
        if (device.bindService(std::move(service)) != kIOReturnSuccess)
            continue;
        (void)engine->addDevice(device);
    }
    engine->flushCallbacks();
}

void UsbDiscoveryEngine::usbDeviceRemovedCallback(void* refCon, platform::UsbService* /*service*/,
                                                  std::uint32_t messageType, void* /*messageArgument*/)
{
    if (messageType != kIOMessageServiceIsTerminated)
        return;
    auto* record = static_cast<DeviceRecord*>(refCon);
    assert(record);
    UsbDiscoveryEngine* engine = record->engine;
    assert(engine);
    engine->removeDevice(record);
    engine->flushCallbacks();
}

IOReturn UsbDiscoveryEngine::addDevice(UsbDevice& device)
{
    assert(device.isBound());
    platform::UsbDeviceInterface* dif = device.deviceInterface();
    assert(dif);

    std::uint32_t information = 0;
    std::uint32_t locationId = 0;
    std::uint16_t idVendor = 0;
    std::uint16_t idProduct = 0;
    std::uint16_t bcdDevice = 0;
    IOReturn kr = dif->GetUSBDeviceInformation(&information);
    if (kr == kIOReturnSuccess)
        kr = dif->GetLocationID(&locationId);
    if (kr == kIOReturnSuccess)
        kr = dif->GetDeviceVendor(&idVendor);
    if (kr == kIOReturnSuccess)
        kr = dif->GetDeviceProduct(&idProduct);
    if (kr == kIOReturnSuccess)
        kr = dif->GetDeviceReleaseNumber(&bcdDevice);
    if (kr != kIOReturnSuccess)
        return kr;
    if (!passesFilter(idVendor, idProduct, bcdDevice, locationId))
        return kIOReturnNotFound;

    const unsigned short languageId = device.chooseStringDescriptorLanguageId();

    std::unique_ptr<DeviceRecord> record(new DeviceRecord);
    record->engine = this;
    UsbDiscovery::DeviceInfo& info = record->info;
    info.locationId = locationId;
    info.idVendor = idVendor;
    info.idProduct = idProduct;
    info.bcdDevice = bcdDevice;

    using IndexGetter = IOReturn (platform::UsbDeviceInterface::*)(std::uint8_t*);
    const std::pair<IndexGetter, std::string*> strings[] = {
        {&platform::UsbDeviceInterface::USBGetManufacturerStringIndex, &info.manufacturer},
        {&platform::UsbDeviceInterface::USBGetProductStringIndex, &info.product},
        {&platform::UsbDeviceInterface::USBGetSerialNumberStringIndex, &info.serial},
    };
    for (const auto& string : strings) {
        std::uint8_t index = 0;
        if ((dif->*string.first)(&index) == kIOReturnSuccess && index != 0)
            (void)device.getStringDescriptor(*string.second, index, languageId);
    }
    (void)dif->GetDeviceClass(&info.deviceClass);
    (void)dif->GetDeviceSubClass(&info.deviceSubClass);
    (void)dif->GetDeviceProtocol(&info.deviceProtocol);

    info.name = info.product;
    if (info.name.empty())
        info.name = std::string("Unidentified device from ") + UsbDevice::lookupVendorName(idVendor);

    kr = m_notifyPort->addInterestNotification(device.service(), &usbDeviceRemovedCallback, record.get(),
                                               record->notification);
    if (kr != kIOReturnSuccess) {
        std::fprintf(stderr, "Failed to add un-plug notification for USB device - ignoring.\n");
        return kr;
    }

    std::lock_guard<std::mutex> lock(m_mutex);
    m_recordIndex[recordKey(info.idVendor, info.idProduct, info.locationId)].push_back(record.get());
    m_deviceRecords.push_back(std::move(record));
    m_changed = true;
    return kIOReturnSuccess;
}

void UsbDiscoveryEngine::removeDevice(DeviceRecord* record)
{
    std::unique_ptr<DeviceRecord> found;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto it = m_deviceRecords.begin(); it != m_deviceRecords.end(); ++it) {
            if (it->get() == record) {
                const auto key = recordKey(record->info.idVendor, record->info.idProduct, record->info.locationId);
                auto& same = m_recordIndex[key];
                same.erase(std::find(same.begin(), same.end(), record));
                if (same.empty())
                    m_recordIndex.erase(key);
                found = std::move(*it);
                m_deviceRecords.erase(it);
                break;
            }
        }
    }
    if (!found) {
        std::fprintf(stderr, "%s: Notified of non-existent device removal\n", "removeDevice");
        return;
    }
    m_changed = true;
}

void UsbDiscoveryEngine::flushCallbacks()
{
    if (!m_changed || !m_queue || !m_block || !m_discovery)
        return;
    m_changed = false;
    m_queue->async([client = m_client] {
        std::lock_guard<std::recursive_mutex> lock(client->mutex);
        if (!client->block || !client->discovery)
            return;
        // A copy: the block may replace itself by starting its discovery again.
        const UsbDiscovery::Block block = client->block;
        block(*client->discovery);
    });
}

// ---------------------------------------------------------------------------------------------
// Facade

UsbDiscovery::UsbDiscovery() : m_engine(new UsbDiscoveryEngine) {}

UsbDiscovery::~UsbDiscovery()
{
    m_engine.reset();
}

void UsbDiscovery::setFilter(const std::vector<UsbFilter>& filters)
{
    m_engine->setFilter(filters);
}

void UsbDiscovery::setFilter(const UsbFilter& filter)
{
    m_engine->setFilter(std::vector<UsbFilter>{filter});
}

void UsbDiscovery::setFilter(unsigned short idVendor)
{
    setFilter(UsbFilter(idVendor));
}

void UsbDiscovery::setFilter(unsigned short idVendor, unsigned short idProduct)
{
    setFilter(UsbFilter(idVendor, idProduct));
}

void UsbDiscovery::setFilter(const UsbIdentifier& identifier)
{
    UsbFilter filter;
    filter.idVendor().set(identifier.idVendor());
    filter.idProduct().set(identifier.idProduct());
    filter.locationId().set(identifier.locationId());
    setFilter(filter);
}

void UsbDiscovery::setLocationFilter(unsigned int locationId)
{
    UsbFilter filter;
    filter.locationId().set(locationId);
    setFilter(filter);
}

void UsbDiscovery::clearFilter()
{
    m_engine->clearFilter();
}

bool UsbDiscovery::start()
{
    return m_engine->start(nullptr, nullptr, nullptr);
}

bool UsbDiscovery::start(Block block)
{
    return start(platform::DispatchQueue::main(), std::move(block));
}

bool UsbDiscovery::start(platform::DispatchQueue* queue, Block block)
{
    return m_engine->start(queue, std::move(block), this);
}

void UsbDiscovery::stop()
{
    m_engine->stop();
}

bool UsbDiscovery::isActive() const
{
    return m_engine->isActive();
}

unsigned UsbDiscovery::deviceCount() const
{
    return m_engine->deviceCount();
}

void UsbDiscovery::getDevices(std::list<UsbIdentifier>& devices)
{
    m_engine->getDevices(devices);
}

bool UsbDiscovery::getDeviceInfo(DeviceInfo& info, const UsbIdentifier& identifier)
{
    return m_engine->getDeviceInfo(&info, identifier);
}

bool UsbDiscovery::isDevicePresent(const UsbIdentifier& identifier)
{
    return m_engine->getDeviceInfo(nullptr, identifier);
}

bool UsbDiscovery::getDeviceAtLocation(UsbIdentifier& identifier, unsigned int locationId)
{
    UsbDevice device;
    unsigned short idVendor = 0;
    unsigned short idProduct = 0;
    if (device.bindLocation(locationId) == kIOReturnSuccess && device.GetDeviceVendor(&idVendor) == kIOReturnSuccess &&
        device.GetDeviceProduct(&idProduct) == kIOReturnSuccess) {
        identifier.init(idVendor, idProduct, locationId);
        return true;
    }
    identifier.invalidate();
    return false;
}

bool UsbDiscovery::getDriverInfo(std::string& name, std::list<std::string>& drivers, const UsbIdentifier& identifier)
{
    return UsbDevice::getDriverInfo(name, drivers, identifier.idVendor(), identifier.idProduct(),
                                    identifier.locationId()) == kIOReturnSuccess;
}

}  // namespace kel
