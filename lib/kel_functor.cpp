#include "lib/kel_functor.h"

namespace kel {

namespace {
struct Probe {
    virtual ~Probe() = default;
    virtual void method();
};
}  // namespace

// Every member pointer of this ABI (code address or vtable offset, plus the this-adjustment)
// is two words; a bound functor always carries all of them.
static_assert(sizeof(void (Probe::*)()) == 16, "a pointer-to-member-function is not 16 bytes here");

FunctorBase::FunctorBase() : m_object(nullptr), m_msize(0), m_method{} {}

FunctorBase::FunctorBase(void* object, const void* method, std::size_t initmsize) : FunctorBase()
{
    bind(object, method, initmsize);
}

FunctorBase::FunctorBase(const FunctorBase& other) : FunctorBase()
{
    assert(other.m_msize <= sizeof m_method);
    m_object = other.m_object;
    m_msize = other.m_msize;
    std::memcpy(m_method, other.m_method, sizeof m_method);
}

FunctorBase& FunctorBase::operator=(const FunctorBase& other)
{
    m_object = nullptr;
    m_msize = 0;
    assert(other.m_msize <= sizeof m_method);
    // Only the meaningful bytes; the rest keep their old values, never compared.
    std::memmove(m_method, other.m_method, other.m_msize);
    m_object = other.m_object;
    m_msize = other.m_msize;
    return *this;
}

void FunctorBase::bind(void* object, const void* method, std::size_t initmsize)
{
    m_object = nullptr;
    m_msize = 0;
    assert(initmsize <= sizeof m_method);
    std::memset(m_method, 0, sizeof m_method);
    std::memcpy(m_method, method, initmsize);
    m_object = object;
    m_msize = static_cast<std::uint8_t>(initmsize);
}

void FunctorBase::unbind()
{
    m_object = nullptr;
    m_msize = 0;
    std::memset(m_method, 0, sizeof m_method);
}

bool FunctorBase::operator==(const FunctorBase& other) const
{
    return m_object == other.m_object && m_msize == other.m_msize &&
           std::memcmp(m_method, other.m_method, m_msize) == 0;
}

}  // namespace kel
