// A call to a member function captured as data: the target object's address and the raw
// bytes of a pointer-to-member-function, so that calls of any class queue alike.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kel {

// Fills the argument positions a functor's call does not take.
struct FunDum_ {};

class FunctorBase {
public:
    FunctorBase();
    FunctorBase(void* object, const void* method, std::size_t initmsize);
    FunctorBase(const FunctorBase& other);
    FunctorBase& operator=(const FunctorBase& other);
    ~FunctorBase() = default;

    void bind(void* object, const void* method, std::size_t initmsize);
    void unbind();
    bool operator==(const FunctorBase& other) const;
    bool operator!=(const FunctorBase& other) const { return !(*this == other); }

    void* object() const
    {
        assert(m_object);
        return m_object;
    }
    const void* method() const { return m_method; }

protected:
    void* m_object;
    std::uint8_t m_msize;
    unsigned char m_method[16];
};

template <class R, class A1 = FunDum_, class A2 = FunDum_, class A3 = FunDum_, class A4 = FunDum_,
          class A5 = FunDum_, class A6 = FunDum_, class A7 = FunDum_, class A8 = FunDum_,
          class A9 = FunDum_, class A10 = FunDum_>
class Functor;

// No arguments.
template <class R>
class Functor<R> : public FunctorBase {
public:
    Functor() : m_adapter(nullptr) {}

    // The object may be of a class derived from the member's: it is stored as the
    // member's class, so the adapter needs no further adjustment.
    template <class T, class U>
    Functor(T& object, R (U::*member)())
        : FunctorBase(static_cast<U*>(&object), &member, sizeof member), m_adapter(&adapterFunction<U>)
    {
        static_assert(sizeof member <= sizeof m_method, "member pointer does not fit");
    }

    R operator()() const
    {
        assert(m_adapter);
        return m_adapter(*this);
    }

    template <class T>
    static R adapterFunction(const Functor& functor)
    {
        T* object = static_cast<T*>(functor.object());
        R (T::*method)();
        std::memcpy(&method, functor.method(), sizeof method);
        return (object->*method)();
    }

private:
    R (*m_adapter)(const Functor&);
};

// One argument.
template <class R, class A1>
class Functor<R, A1> : public FunctorBase {
public:
    Functor() : m_adapter(nullptr) {}

    // The object may be of a class derived from the member's: it is stored as the
    // member's class, so the adapter needs no further adjustment.
    template <class T, class U>
    Functor(T& object, R (U::*member)(A1))
        : FunctorBase(static_cast<U*>(&object), &member, sizeof member), m_adapter(&adapterFunction<U>)
    {
        static_assert(sizeof member <= sizeof m_method, "member pointer does not fit");
    }

    R operator()(A1 a1) const
    {
        assert(m_adapter);
        return m_adapter(*this, static_cast<A1>(a1));
    }

    template <class T>
    static R adapterFunction(const Functor& functor, A1 a1)
    {
        T* object = static_cast<T*>(functor.object());
        R (T::*method)(A1);
        std::memcpy(&method, functor.method(), sizeof method);
        return (object->*method)(static_cast<A1>(a1));
    }

private:
    R (*m_adapter)(const Functor&, A1);
};

}  // namespace kel
