#include "platform/hid.h"

#include <atomic>

namespace kel {
namespace platform {

namespace {
std::atomic<HidBackend*> g_backend{nullptr};
}

HidBackend& hidBackend()
{
    HidBackend* backend = g_backend.load(std::memory_order_acquire);
    return backend ? *backend : defaultHidBackend();
}

void setHidBackend(HidBackend* backend)
{
    g_backend.store(backend, std::memory_order_release);
}

}  // namespace platform
}  // namespace kel
