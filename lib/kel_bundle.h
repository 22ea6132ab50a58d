// A unit of work for the run-loop call dispatcher: a functor and what it is called with.
#pragma once

#include <type_traits>
#include <utility>

#include "lib/kel_functor.h"

namespace kel {

// Fills the argument positions a bundle's call does not take.
struct KELUnused {};

class BundleBase {
public:
    virtual ~BundleBase() {}
    void run() { handleRun(); }

protected:
    virtual void handleRun() = 0;
};

template <class R, class A1 = KELUnused, class A2 = KELUnused, class A3 = KELUnused, class A4 = KELUnused>
class Bundle;

// No arguments, no result.
template <>
class Bundle<void> : public BundleBase {
public:
    template <class T, class U>
    Bundle(T& object, void (U::*method)()) : m_functor(object, method)
    {
    }
    ~Bundle() override {}

    void result() const {}

protected:
    void handleRun() override { m_functor(); }

private:
    Functor<void> m_functor;
};

// No arguments; the result is kept for the sender.
template <class R>
class Bundle<R> : public BundleBase {
public:
    template <class T, class U>
    Bundle(T& object, R (U::*method)()) : m_functor(object, method), m_result()
    {
    }
    ~Bundle() override {}

    R result() const { return m_result; }

protected:
    void handleRun() override { m_result = m_functor(); }

private:
    Functor<R> m_functor;
    R m_result;
};

// One argument; no result.
template <class A1>
class Bundle<void, A1> : public BundleBase {
public:
    template <class T, class U>
    Bundle(T& object, void (U::*method)(A1), std::decay_t<A1> a1) : m_functor(object, method), m_a1(std::move(a1))
    {
    }
    ~Bundle() override {}

    void result() const {}

protected:
    void handleRun() override { m_functor(m_a1); }

private:
    Functor<void, A1> m_functor;
    std::decay_t<A1> m_a1;  // a copy, so that an asynchronous send outlives the sender's value
};

}  // namespace kel
