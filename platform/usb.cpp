#include "platform/usb.h"

#include <atomic>

namespace kel {
namespace platform {

namespace {

std::atomic<UsbBackend*> g_installedBackend{nullptr};

}  // namespace

UsbBackend& usbBackend()
{
    UsbBackend* backend = g_installedBackend.load(std::memory_order_acquire);
    return backend ? *backend : defaultUsbBackend();
}

void setUsbBackend(UsbBackend* backend)
{
    g_installedBackend.store(backend, std::memory_order_release);
}

}  // namespace platform
}  // namespace kel
