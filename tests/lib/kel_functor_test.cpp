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
    void keep(const std::string& text) { kept = text; }
    std::string kept;
};

// A first base moves Shifted's Base part away from offset 0: a pointer to a Base member,
// taken as one of Shifted, carries a this-adjustment in its second word.
struct Padding {
    virtual ~Padding() = default;
    long pad[3] = {};
};
struct Shifted : Padding, Base {
    int value() override { return 11; }
};

// The same shift in plain classes: a call through an adjusted member pointer into a
// polymorphic class trips GCC's UBSan vptr check although it is well defined.
struct Tally {
    void add(int n) { total += n; }
    int total = 0;
};
struct Offset {
    long pad[3] = {};
};
struct Counted : Offset, Tally {};

// Binds raw method bytes of any length, as no real member pointer has.
struct RawFunctor : FunctorBase {
    using FunctorBase::FunctorBase;
};

TEST(Functor, EqualityFollowsObjectAndMethodThroughCopies)
{
    Base a;
    Base b;
    const Functor<int> bound(a, &Base::value);
    EXPECT_TRUE(bound == Functor<int>(a, &Base::value));
    EXPECT_FALSE(bound == Functor<int>(a, &Base::twice));
    EXPECT_FALSE(bound == Functor<int>(b, &Base::value));
    EXPECT_FALSE(bound == Functor<int>());
    EXPECT_TRUE(Functor<int>() == Functor<int>());

    Functor<int> copy(Functor<int>(b, &Base::twice));
    EXPECT_TRUE(copy == Functor<int>(b, &Base::twice));
    copy = bound;
    EXPECT_TRUE(copy == bound);
    EXPECT_EQ(&a, copy.object());

    // Only the bound length counts: bytes an assignment leaves behind are not compared.
    const unsigned char longer[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    const unsigned char shorter[4] = {0xA0, 0xA1, 0xA2, 0xA3};
    RawFunctor raw(&a, longer, sizeof longer);
    raw = RawFunctor(&a, shorter, sizeof shorter);
    EXPECT_TRUE(raw == RawFunctor(&a, shorter, sizeof shorter));
    raw.unbind();
    EXPECT_TRUE(raw == RawFunctor());
}

TEST(Functor, CallsThroughTheCopiedMemberPointer)
{
    Shifted shifted;
    Base& base = shifted;
    ASSERT_NE(static_cast<void*>(&shifted), static_cast<void*>(&base));
    // Virtual members dispatch on the object, also when named through the base class.
    EXPECT_EQ(11, Functor<int>(base, &Base::value)());
    EXPECT_EQ(22, Functor<int>(shifted, &Base::twice)());  // converted to Base on binding

    Counted counted;
    void (Counted::*adjusted)(int) = &Tally::add;  // carries the this-adjustment
    Functor<void, int> add;
    add = Functor<void, int>(counted, adjusted);
    add(3);
    add(4);
    EXPECT_EQ(7, counted.total);
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

TEST(Bundle, RunsItsCallAndKeepsACopyOfItsArgument)
{
    Shifted shifted;
    Bundle<int> value(shifted, &Base::twice);
    static_cast<BundleBase&>(value).run();
    EXPECT_EQ(22, value.result());

    // The caller's string may be gone by the time an asynchronous send runs.
    BundleBase* keep;
    {
        std::string text = "kept";
        keep = new Bundle<void, const std::string&>(shifted, &Base::keep, text);
        text = "changed";
    }
    keep->run();
    delete keep;
    EXPECT_EQ("kept", shifted.kept);
}

}  // namespace
}  // namespace kel
