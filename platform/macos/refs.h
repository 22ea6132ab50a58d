// Owners of CoreFoundation and IOKit references, each released exactly once.
//
// Include this before any other Apple header: IOKit defines its status codes as macros, and
// platform/ioreturn.h must declare the portable constants of the same names first. Both carry
// the same values.
#pragma once

#include "platform/ioreturn.h"

// The codes the portable layer uses, read while the names are still its own...
#define KEL_STATUS_NAMES                                                                             \
    kIOReturnSuccess, kIOReturnError, kIOReturnNoMemory, kIOReturnNoResources, kIOReturnBadArgument,  \
        kIOReturnExclusiveAccess, kIOReturnNoDevice, kIOReturnNotPrivileged, kIOReturnNotOpen,        \
        kIOReturnUnsupported, kIOReturnTimeout, kIOReturnNotAttached, kIOReturnNotReadable,           \
        kIOReturnUnderrun, kIOReturnOverrun, kIOReturnNotFound,                                       \
        static_cast<IOReturn>(kIOMessageServiceIsTerminated)
namespace kel {
namespace platform {
namespace portable {
constexpr IOReturn kStatus[] = {KEL_STATUS_NAMES};
}  // namespace portable
}  // namespace platform
}  // namespace kel

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOKitLib.h>
#include <IOKit/IOMessage.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace kel {
namespace platform {

// ...and as IOKit defines them: the values must agree.
namespace portable {
constexpr IOReturn kIOKitStatus[] = {KEL_STATUS_NAMES};
constexpr bool sameStatus(std::size_t i = 0)
{
    return i == sizeof kStatus / sizeof kStatus[0] || (kStatus[i] == kIOKitStatus[i] && sameStatus(i + 1));
}
static_assert(sameStatus(), "platform/ioreturn.h disagrees with IOKit");
}  // namespace portable
#undef KEL_STATUS_NAMES

// One reference to a CoreFoundation object, from a Create or Copy call (or retained()).
template <typename T>
class CfRef {
public:
    CfRef() = default;
    explicit CfRef(T ref) : m_ref(ref) {}
    ~CfRef() { reset(); }
    CfRef(CfRef&& other) noexcept : m_ref(other.release()) {}
    CfRef& operator=(CfRef&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    CfRef(const CfRef&) = delete;
    CfRef& operator=(const CfRef&) = delete;

    // A new reference to an object the caller does not own (a Get call's result).
    static CfRef retained(T ref)
    {
        if (ref)
            CFRetain(ref);
        return CfRef(ref);
    }

    T get() const { return m_ref; }
    explicit operator bool() const { return m_ref != nullptr; }
    T release()
    {
        T ref = m_ref;
        m_ref = nullptr;
        return ref;
    }
    void reset(T ref = nullptr)
    {
        if (m_ref)
            CFRelease(m_ref);
        m_ref = ref;
    }

private:
    T m_ref = nullptr;
};

// One reference to an I/O Registry object (entry, service, iterator, notification).
class IoObject {
public:
    IoObject() = default;
    explicit IoObject(io_object_t object) : m_object(object) {}
    ~IoObject() { reset(); }
    IoObject(IoObject&& other) noexcept : m_object(other.release()) {}
    IoObject& operator=(IoObject&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    IoObject(const IoObject&) = delete;
    IoObject& operator=(const IoObject&) = delete;

    io_object_t get() const { return m_object; }
    explicit operator bool() const { return m_object != IO_OBJECT_NULL; }
    io_object_t release()
    {
        const io_object_t object = m_object;
        m_object = IO_OBJECT_NULL;
        return object;
    }
    void reset(io_object_t object = IO_OBJECT_NULL)
    {
        if (m_object != IO_OBJECT_NULL)
            IOObjectRelease(m_object);
        m_object = object;
    }

private:
    io_object_t m_object = IO_OBJECT_NULL;
};

// kIOMasterPortDefault is deprecated from macOS 12 and kIOMainPortDefault is missing before it;
// both stand for this.
constexpr mach_port_t kDefaultMainPort = MACH_PORT_NULL;

inline CfRef<CFStringRef> cfString(const std::string& text)
{
    return CfRef<CFStringRef>(CFStringCreateWithCString(kCFAllocatorDefault, text.c_str(), kCFStringEncodingUTF8));
}

// A registry or device property that is a number, as a signed 64-bit value.
inline bool cfNumberValue(CFTypeRef value, std::int64_t& number)
{
    if (!value || CFGetTypeID(value) != CFNumberGetTypeID())
        return false;
    SInt64 result = 0;
    if (!CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberSInt64Type, &result))
        return false;
    number = result;
    return true;
}

}  // namespace platform
}  // namespace kel
