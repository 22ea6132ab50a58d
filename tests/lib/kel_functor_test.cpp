#include "lib/kel_functor.h"

#include <string>

#include <gtest/gtest.h>

#include "lib/kel_bundle.h"

namespace kel {
namespace {

struct Tally {
    void add(int n) { total += n; }
    void take(int n) { total -= n; }
    int twice() { return 2 * total; }
    void keep(const std::string& text) { kept = text; }
    int total = 0;
    std::string kept;
};

// A first base moves Counted's Tally part away from offset 0: bound to a Counted, a Tally
// member needs the object converted, and a Tally member taken as one of Counted carries the
// this-adjustment in its second word.
struct Offset {
    long pad[3] = {};
};
struct Counted : Offset, Tally {};

// Binds raw method bytes of any length, as no real member pointer has.
struct RawFunctor : FunctorBase {
    using FunctorBase::FunctorBase;
};

TEST(Functor, CallsThroughTheMemberPointerAsBoundAndComparesWhatWasBound)
{
    Counted counted;
    void (Counted::*adjusted)(int) = &Tally::add;
    Functor<void, int> add;
    add = Functor<void, int>(counted, adjusted);
    add(3);
    add(4);
    EXPECT_EQ(7, counted.total);
    EXPECT_EQ(14, Functor<int>(counted, &Tally::twice)());

    Counted other;
    const Functor<void, int> bound(counted, &Tally::add);
    EXPECT_EQ(bound, (Functor<void, int>(counted, &Tally::add)));
    EXPECT_NE(bound, (Functor<void, int>(counted, &Tally::take)));
    EXPECT_NE(bound, (Functor<void, int>(other, &Tally::add)));
    // Only the bound length counts: bytes an assignment leaves behind are not compared.
    const unsigned char longer[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    const unsigned char shorter[4] = {0xA0, 0xA1, 0xA2, 0xA3};
    RawFunctor raw(&counted, longer, sizeof longer);
    raw = RawFunctor(&counted, shorter, sizeof shorter);
    EXPECT_TRUE(raw == RawFunctor(&counted, shorter, sizeof shorter));
}

TEST(Bundle, KeepsACopyOfItsArgument)
{
    // The caller's string may be gone by the time an asynchronous send runs. Longer than the
    // small-string buffer, so that a copy that was not kept reads freed memory.
    const std::string kept = "kept by the bundle, whatever the caller does with its own";
    Counted counted;
    BundleBase* keep;
    {
        std::string text = kept;
        keep = new Bundle<void, const std::string&>(counted, &Tally::keep, text);
        text = "changed";
    }
    keep->run();
    delete keep;
    EXPECT_EQ(kept, counted.kept);
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

}  // namespace
}  // namespace kel
