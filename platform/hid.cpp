#include "platform/hid.h"

#include <atomic>

#include "platform/linux/hid_linux.h"

namespace kel {
namespace platform {

namespace {
std::atomic<HidBackend*> g_backend{nullptr};
}

HidBackend& hidBackend()
{
    HidBackend* backend = g_backend.load(std::memory_order_acquire);
    return backend ? *backend : linuxHidBackend();
}

void setHidBackend(HidBackend* backend)
{
    g_backend.store(backend, std::memory_order_release);
}

}  // namespace platform
}  // namespace kel
