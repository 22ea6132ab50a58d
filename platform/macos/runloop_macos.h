// The macOS run loop behind a RunLoop, for the backends that schedule on it.
#pragma once

#include "platform/macos/refs.h"
#include "platform/runloop.h"

namespace kel {
namespace platform {

// The CFRunLoop `loop` wraps; null for null. Valid while the wrapper lives.
CFRunLoopRef cfRunLoop(RunLoop* loop);

}  // namespace platform
}  // namespace kel
