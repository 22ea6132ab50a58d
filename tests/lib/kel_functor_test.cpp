#include "lib/kel_functor.h"

#include <string>

#include <gtest/gtest.h>

#include "lib/kel_bundle.h"

namespace kel {
namespace {

struct Base {
    virtual ~Base() = default;
    virtual int value() { return 1; }
    int twice() { return 2 * value(); }
    void add(int n) { total += n; }
    void keep(const std::string& text) { kept = text; }
    int total = 0;
    std::string kept;
};

struct Derived : Base {
    int value() override { return 7; }
};

// A second base moves Derived2's Base part away from offset 0: the member pointer must
// carry the this-adjustment through the byte copy.
struct Padding {
    virtual ~Padding() = default;
    long pad[3] = {};
};
struct Derived2 : Padding, Base {
    int value() override { return 11; }
};

// Exposes the raw method bytes, which the tests compare.
struct RawFunctor : FunctorBase {
    using FunctorBase::FunctorBase;
    const unsigned char* bytes() const { return static_cast<const unsigned char*>(method()); }
    unsigned size() const { return m_msize; }
};

TEST(Functor, EqualityFollowsObjectAndMethod)
{
    Base a;
    Base b;
    EXPECT_TRUE(Functor<int>(a, &Base::value) == Functor<int>(a, &Base::value));
    EXPECT_FALSE(Functor<int>(a, &Base::value) == Functor<int>(a, &Base::twice));
    EXPECT_FALSE(Functor<int>(a, &Base::value) == Functor<int>(b, &Base::value));
    EXPECT_TRUE(Functor<int>() == Functor<int>());
    EXPECT_FALSE(Functor<int>() == Functor<int>(a, &Base::value));

    Functor<int> copy(Functor<int>(b, &Base::twice));
    EXPECT_TRUE(copy == Functor<int>(b, &Base::twice));
    copy = Functor<int>(a, &Base::value);
    EXPECT_TRUE(copy == Functor<int>(a, &Base::value));
    EXPECT_EQ(&a, copy.object());
}

TEST(Functor, CallsThroughTheCopiedMemberPointer)
{
    Derived derived;
    Base& base = derived;
    // Virtual members dispatch on the object, also when named through the base class.
    Functor<int> value(base, &Base::value);
    EXPECT_EQ(7, value());
    Functor<int> twice(base, &Base::twice);
    EXPECT_EQ(14, twice());

    Derived2 shifted;
    Base& shiftedBase = shifted;
    ASSERT_NE(static_cast<void*>(&shifted), static_cast<void*>(&shiftedBase));
    EXPECT_EQ(22, Functor<int>(shiftedBase, &Base::twice)());
    EXPECT_EQ(22, Functor<int>(shifted, &Base::twice)());  // converted to Base on binding
    Functor<int> own(shifted, &Derived2::value);
    Functor<int> assigned;
    assigned = own;
    EXPECT_EQ(11, assigned());

    Functor<void, int> add(derived, &Base::add);
    add(3);
    add(4);
    EXPECT_EQ(7, derived.total);
}

TEST(Functor, AssignmentCopiesOnlyTheMeaningfulBytes)
{
    const unsigned char full[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    const unsigned char shortBytes[4] = {0xA0, 0xA1, 0xA2, 0xA3};
    int target;
    RawFunctor destination(&target, full, sizeof full);
    RawFunctor source(&target, shortBytes, sizeof shortBytes);
    EXPECT_EQ(16u, destination.size());

    destination = source;
    EXPECT_EQ(4u, destination.size());
    EXPECT_EQ(0xA3, destination.bytes()[3]);
    EXPECT_EQ(5, destination.bytes()[4]);   // kept from before
    EXPECT_EQ(16, destination.bytes()[15]);
    EXPECT_TRUE(destination == source);    // trailing bytes are not compared

    RawFunctor copied(destination);        // a copy takes all sixteen bytes
    EXPECT_EQ(16, copied.bytes()[15]);

    destination.unbind();
    EXPECT_TRUE(destination == RawFunctor());
    EXPECT_EQ(0, destination.bytes()[4]);
}

TEST(FunctorDeathTest, BrokenInvariantsStopTheProgram)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const unsigned char bytes[17] = {};
    int target;
    RawFunctor functor;
    EXPECT_DEATH(functor.bind(&target, bytes, 17), "initmsize <= sizeof m_method");
    functor.bind(&target, bytes, 16);
    functor.unbind();
    EXPECT_DEATH(functor.object(), "m_object");
    Functor<int> unbound;
    EXPECT_DEATH(unbound(), "m_adapter");
}

TEST(Bundle, RunsItsCallAndKeepsWhatItNeeds)
{
    Derived derived;
    int calls = 0;
    struct Counter {
        int* calls;
        void bump() { ++*calls; }
    } counter{&calls};

    Bundle<void> bump(counter, &Counter::bump);
    BundleBase& work = bump;
    work.run();
    EXPECT_EQ(1, calls);

    Bundle<int> value(derived, &Base::twice);
    value.run();
    EXPECT_EQ(14, value.result());

    // The argument is a copy: the caller's string may be gone by the time it runs.
    BundleBase* keep;
    {
        std::string text = "kept";
        keep = new Bundle<void, const std::string&>(derived, &Base::keep, text);
        text = "changed";
    }
    keep->run();
    delete keep;
    EXPECT_EQ("kept", derived.kept);
}

}  // namespace
}  // namespace kel
