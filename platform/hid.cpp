#include "platform/hid.h"

#include <atomic>

namespace kel {
namespace platform {

namespace {
std::atomic<HidBackend*> g_backend{nullptr};
thread_local int g_quietAccessRefusals = 0;
}  // namespace

QuietAccessRefusals::QuietAccessRefusals()
{
    ++g_quietAccessRefusals;
}

QuietAccessRefusals::~QuietAccessRefusals()
{
    --g_quietAccessRefusals;
}

bool QuietAccessRefusals::active()
{
    return g_quietAccessRefusals > 0;
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
