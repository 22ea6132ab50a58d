#include "platform/linux/hid_linux.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/hidraw.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <libudev.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "platform/linux/access_hint.h"
#include "platform/linux/hid_report_descriptor.h"
#include "platform/linux/errno.h"
#include "platform/linux/fd_source.h"
#include "platform/linux/location.h"
#include "platform/runloop.h"

namespace kel {
namespace platform {

// LinuxHidDevice

LinuxHidDevice::LinuxHidDevice(std::string node, HidMatching properties, bool usesReportIds, int fd)
    : m_node(std::move(node)), m_properties(std::move(properties)), m_usesReportIds(usesReportIds), m_fd(fd)
{
}

LinuxHidDevice::~LinuxHidDevice()
{
    close();
}

void LinuxHidDevice::close()
{
    unscheduleFromRunLoop(nullptr);
    if (m_fd >= 0) {
        ::close(m_fd);  // also drops the flock
        m_fd = -1;
    }
}

IOReturn LinuxHidDevice::failure(int error)
{
    const IOReturn result = ioReturnForErrno(error);
    if (result == kIOReturnNoDevice)
        m_removed = true;
    return result;
}

IOReturn LinuxHidDevice::open(bool seize)
{
    if (m_removed)
        return kIOReturnNoDevice;
    if (m_fd >= 0)
        return kIOReturnSuccess;
    // Non-blocking so that a wake-up without a report never stalls the run loop's thread.
    const int fd = ::open(m_node.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        hintOnAccessDenied(m_node, errno);
        return ioReturnForErrno(errno);
    }
    if (seize && lockExclusive(fd) != kIOReturnSuccess) {
        ::close(fd);
        return kIOReturnExclusiveAccess;
    }
    m_fd = fd;
    return kIOReturnSuccess;
}

bool LinuxHidDevice::getProperty(const std::string& key, std::int64_t& value)
{
    const auto found = m_properties.find(key);
    if (found == m_properties.end())
        return false;
    value = found->second;
    return true;
}

IOReturn LinuxHidDevice::setReport(ReportType type, std::uint32_t reportId, const std::uint8_t* data,
                                   std::size_t length)
{
    if (m_removed)
        return kIOReturnNoDevice;
    if (m_fd < 0)
        return kIOReturnNotOpen;
    if (reportId > 0xFF || (length > 0 && data == nullptr) || type == kReportTypeInput)
        return kIOReturnBadArgument;
    // hidraw takes the report number in byte 0 always; numbered reports bring theirs, an
    // unnumbered one gets a 0 in front.
    std::vector<std::uint8_t> framed;
    const std::uint8_t* bytes = data;
    std::size_t size = length;
    if (reportId == 0) {
        framed.reserve(length + 1);
        framed.push_back(0);
        framed.insert(framed.end(), data, data + length);
        bytes = framed.data();
        size = framed.size();
    } else if (length == 0 || data[0] != reportId) {
        return kIOReturnBadArgument;
    }

    if (type == kReportTypeFeature) {
        if (size > _IOC_SIZEMASK)
            return kIOReturnBadArgument;
        if (retryOnEintr([&] { return ::ioctl(m_fd, HIDIOCSFEATURE(size), const_cast<std::uint8_t*>(bytes)); }) < 0)
            return failure(errno);
        return kIOReturnSuccess;
    }
    const ssize_t written = retryOnEintr([&] { return ::write(m_fd, bytes, size); });
    if (written < 0)
        return failure(errno);
    return static_cast<std::size_t>(written) == size ? kIOReturnSuccess : kIOReturnError;
}

IOReturn LinuxHidDevice::getReport(ReportType type, std::uint32_t reportId, std::uint8_t* buffer,
                                   std::size_t& length)
{
    if (m_removed)
        return kIOReturnNoDevice;
    if (m_fd < 0)
        return kIOReturnNotOpen;
    if (reportId > 0xFF || (length > 0 && buffer == nullptr))
        return kIOReturnBadArgument;

    unsigned long request = 0;
    // The kernel's buffer holds the report number in byte 0 and its answer counts that byte.
    // The request number carries at most _IOC_SIZEMASK bytes; no report this device sends
    // is longer, even when its largest is declared so.
    const std::size_t capacity = std::min<std::size_t>(length + (reportId == 0 ? 1 : 0), _IOC_SIZEMASK);
    if (capacity == 0)
        return kIOReturnBadArgument;
    switch (type) {
    case kReportTypeFeature:
        request = HIDIOCGFEATURE(capacity);
        break;
    case kReportTypeInput:
#ifdef HIDIOCGINPUT
        request = HIDIOCGINPUT(capacity);
        break;
#else
        return kIOReturnUnsupported;
#endif
    case kReportTypeOutput:
#ifdef HIDIOCGOUTPUT
        request = HIDIOCGOUTPUT(capacity);
        break;
#else
        return kIOReturnUnsupported;
#endif
    default:
        return kIOReturnBadArgument;
    }

    std::vector<std::uint8_t> framed;
    std::uint8_t* target = buffer;
    if (reportId == 0) {
        framed.assign(capacity, 0);
        target = framed.data();
    }
    target[0] = static_cast<std::uint8_t>(reportId);
    const int received = retryOnEintr([&] { return ::ioctl(m_fd, request, target); });
    if (received < 0) {
        // Kernels before the input and output requests answer EINVAL or ENOTTY to them.
        if (type != kReportTypeFeature && (errno == EINVAL || errno == ENOTTY))
            return kIOReturnUnsupported;
        return failure(errno);
    }
    std::size_t count = std::min(static_cast<std::size_t>(received), capacity);
    if (reportId == 0) {
        count = count > 0 ? count - 1 : 0;
        std::copy(framed.begin() + 1, framed.begin() + 1 + static_cast<std::ptrdiff_t>(count), buffer);
    }
    length = count;
    return kIOReturnSuccess;
}

void LinuxHidDevice::registerInputReportCallback(std::uint8_t* buffer, std::size_t size,
                                                 InputReportCallback callback, void* context)
{
    std::lock_guard<std::recursive_mutex> lock(m_callbackMutex);
    m_inputBuffer = buffer;
    m_inputBufferSize = buffer ? size : 0;
    m_inputCallback = callback;
    m_inputContext = context;
}

void LinuxHidDevice::registerRemovalCallback(RemovalCallback callback, void* context)
{
    std::lock_guard<std::recursive_mutex> lock(m_callbackMutex);
    m_removalCallback = callback;
    m_removalContext = context;
}

void LinuxHidDevice::scheduleWithRunLoop(RunLoop* loop)
{
    std::lock_guard<std::recursive_mutex> lock(m_callbackMutex);
    if (loop == nullptr || m_fd < 0 || m_source || m_removalDelivered)
        return;
    m_source = FdSource::create(m_fd, this, &LinuxHidDevice::fdCallback);
    if (!m_source) {
        std::fprintf(stderr, "hidraw %s: cannot watch the device for input\n", m_node.c_str());
        return;
    }
    m_loop = loop;
    addFdSource(loop, m_source);
}

void LinuxHidDevice::unscheduleFromRunLoop(RunLoop* loop)
{
    // Waits for a callback in progress on the loop's thread; a null loop means any loop.
    std::lock_guard<std::recursive_mutex> lock(m_callbackMutex);
    if (!m_source || (loop != nullptr && loop != m_loop))
        return;
    // invalidate() reaches the source wherever it is, so a loop that has already ended with
    // its thread is never touched.
    m_source->invalidate();
    m_source.reset();
    m_loop = nullptr;
}

void LinuxHidDevice::fdCallback(void* info, int, unsigned events)
{
    static_cast<LinuxHidDevice*>(info)->handleEvents(events);
}

void LinuxHidDevice::handleEvents(unsigned events)
{
    std::lock_guard<std::recursive_mutex> lock(m_callbackMutex);
    if (!m_source)
        return;  // unscheduled while the loop was on its way here
    if (events & FdSource::kReadable) {
        // One report per call; the loop calls again while more are queued.
        // Without a buffer the report is still read, and dropped, or the fd stays readable.
        const bool deliver = m_inputCallback && m_inputBuffer && m_inputBufferSize > 0;
        std::uint8_t scratch[1];
        std::uint8_t* target = deliver ? m_inputBuffer : scratch;
        const std::size_t capacity = deliver ? m_inputBufferSize : sizeof scratch;
        const ssize_t n = retryOnEintr([&] { return ::read(m_fd, target, capacity); });
        if (n > 0 && deliver) {
            const std::uint32_t reportId = m_usesReportIds ? target[0] : 0;
            m_inputCallback(m_inputContext, kIOReturnSuccess, this, kReportTypeInput, reportId, target,
                            static_cast<long>(n));
        } else if (n == 0 || (n < 0 && (errno == ENODEV || errno == EIO))) {
            // hidraw answers EIO once its device is gone; a stream at its end is gone too.
            deliverRemoval();
            return;
        }
        if (!m_source)
            return;  // the callback unscheduled the device
    }
    if (events & (FdSource::kHangUp | FdSource::kError))
        deliverRemoval();
}

void LinuxHidDevice::deliverRemoval()
{
    m_removed = true;
    if (m_source) {
        m_source->invalidate();
        m_source.reset();
        m_loop = nullptr;
    }
    if (m_removalDelivered)
        return;
    m_removalDelivered = true;
    if (m_removalCallback)
        m_removalCallback(m_removalContext, kIOReturnSuccess, this);
}

// LinuxHidManager

LinuxHidManager::LinuxHidManager() : m_udev(udev_new()) {}

LinuxHidManager::~LinuxHidManager()
{
    m_devices.clear();  // closes every device
    if (m_udev)
        udev_unref(m_udev);
}

void LinuxHidManager::setDeviceMatching(const HidMatching& matching)
{
    m_matching = matching;
}

IOReturn LinuxHidManager::open()
{
    return m_udev ? kIOReturnSuccess : kIOReturnNoResources;
}

std::vector<HidDevice*> LinuxHidManager::copyDevices()
{
    std::vector<HidDevice*> matches;
    if (!m_udev)
        return matches;
    udev_enumerate* enumerate = udev_enumerate_new(m_udev);
    if (!enumerate)
        return matches;
    udev_enumerate_add_match_subsystem(enumerate, "hidraw");
    udev_enumerate_scan_devices(enumerate);
    std::vector<std::string> syspaths;
    for (udev_list_entry* entry = udev_enumerate_get_list_entry(enumerate); entry;
         entry = udev_list_entry_get_next(entry))
        syspaths.emplace_back(udev_list_entry_get_name(entry));
    udev_enumerate_unref(enumerate);
    // The interface index picks from this order, so it must not depend on udev's.
    std::sort(syspaths.begin(), syspaths.end(), sysfsPathLess);

    for (const std::string& syspath : syspaths) {
        udev_device* hidraw = udev_device_new_from_syspath(m_udev, syspath.c_str());
        if (!hidraw)
            continue;
        // Parents belong to the child and go with it.
        udev_device* hid = udev_device_get_parent_with_subsystem_devtype(hidraw, "hid", nullptr);
        udev_device* usb = udev_device_get_parent_with_subsystem_devtype(hidraw, "usb", "usb_device");
        const char* node = udev_device_get_devnode(hidraw);
        HidMatching properties;
        bool usesReportIds = false;
        const bool usable = hid && usb && node && readUsbDeviceProperties(udev_device_get_syspath(usb), properties);
        if (usable)
            readReportDescriptorProperties(udev_device_get_syspath(hid), node, properties, usesReportIds);
        const std::string nodePath = node ? node : "";
        udev_device_unref(hidraw);
        if (!usable || !hidPropertiesMatch(m_matching, properties))
            continue;

        // Hand out the same object again for a device seen before, unless it has gone.
        LinuxHidDevice* device = nullptr;
        for (std::size_t i = 0; i < m_devices.size(); ++i) {
            LinuxHidDevice* known = m_devices[i].get();
            if (m_syspaths[i] == syspath && !known->isRemoved() && known->node() == nodePath &&
                known->properties() == properties) {
                device = known;
                break;
            }
        }
        if (!device) {
            m_devices.push_back(std::make_unique<LinuxHidDevice>(nodePath, properties, usesReportIds));
            m_syspaths.push_back(syspath);
            device = m_devices.back().get();
        }
        matches.push_back(device);
    }
    return matches;
}

// The backend

namespace {

class LinuxHidBackend final : public HidBackend {
public:
    std::unique_ptr<HidManager> createManager() override
    {
        auto manager = std::make_unique<LinuxHidManager>();
        if (manager->open() != kIOReturnSuccess)
            return nullptr;
        return manager;
    }
};

}  // namespace

HidBackend& linuxHidBackend()
{
    static LinuxHidBackend backend;
    return backend;
}

}  // namespace platform
}  // namespace kel
