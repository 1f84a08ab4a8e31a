// Iteration in logical order over contiguous, fixed-stride and padded
// layouts, iterator copies, and the element-wise operations SetTo, += and *=.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <vector>

#include "nxarraylib.h"
#include "test_support.h"

namespace {

using Sizes = std::vector<size_t>;

std::vector<double> Iota(size_t n)
{
    std::vector<double> v(n);
    std::iota(v.begin(), v.end(), 0.0);
    return v;
}

struct View
{
    Sizes             dims;
    Sizes             strides;   // empty: contiguous
    std::vector<long> visits;
    long              endelement;
};
class nxArrayIterLayouts : public testing::TestWithParam<View>
{
};

}   // namespace

TEST_P(nxArrayIterLayouts, VisitsEveryElementInLogicalOrder)
{
    const View&           v   = GetParam();
    std::vector<double>   buf = Iota(24);
    nxArrayLinear<double> a;
    ASSERT_TRUE(a.Attach(v.dims.size(), v.dims.data(), buf.data(), nullptr, v.strides.empty() ? nullptr : v.strides.data()));
    std::vector<long> visits;
    for (nxArrayIter<double> it = a.begin(), last = a.end(); it != last; ++it) visits.push_back(&*it - buf.data());
    EXPECT_EQ(visits, v.visits);
    EXPECT_EQ(a.end().Pointer(), buf.data() + v.endelement);
    a.SetTo(-1.0);   // writes exactly the visited elements
    for (long k = 0; k < 24; ++k) {
        bool visited = std::find(v.visits.begin(), v.visits.end(), k) != v.visits.end();
        EXPECT_EQ(buf[k], visited ? -1.0 : (double)k) << k;
    }
}

INSTANTIATE_TEST_SUITE_P(Layouts, nxArrayIterLayouts,
                         testing::Values(View{{3, 2}, {}, {0, 1, 2, 3, 4, 5}, 6},                      // contiguous
                                         View{{5}, {16}, {0, 2, 4, 6, 8}, 10},                          // every second
                                         View{{3, 2}, {8, 32}, {0, 1, 2, 4, 5, 6}, 8},                  // padded rows
                                         View{{2, 2, 2}, {8, 24, 64}, {0, 1, 3, 4, 8, 9, 11, 12}, 16},  // padded rank 3
                                         View{{0, 3}, {8, 32}, {}, 0}));                                // no elements

TEST(nxArrayIter, EmptyArraysVisitNothing)
{
    nx2dArray<double> fresh, erased;
    EXPECT_TRUE(fresh.begin() == fresh.end());
    fresh.SetTo(1.0);
    fresh *= 2.0;
    erased.SetReuseMemory(true);
    ASSERT_TRUE(erased.SetSize(2, 2));
    erased.erase();
    EXPECT_FALSE(erased.IsEmpty());              // the buffer is kept for reuse ...
    EXPECT_TRUE(erased.begin() == erased.end());  // ... but holds no elements
}

TEST(nxArrayIter, ArithmeticAndDistance)
{
    std::vector<double> buf = Iota(12);
    nx2dArray<double>   a(3, 4, buf.data());
    EXPECT_EQ(a.end() - a.begin(), 12u);

    nx1dArray<double> strided;
    Sizes             d5 = {5}, s16 = {16};
    ASSERT_TRUE(strided.Attach(1, d5.data(), buf.data(), nullptr, s16.data()));
    nxArrayIter<double> it = strided.begin();
    EXPECT_EQ(strided.end() - it, 5u);
    EXPECT_EQ(it[2], 4.0);
    EXPECT_EQ(*it++, 0.0);
    EXPECT_EQ(*(it + 2), 6.0);
    it += 3;
    EXPECT_EQ(*(--it - 1), 4.0);

    nxArrayLinear<double> padded;
    Sizes                 dims = {3, 2}, strides = {8, 32};
    ASSERT_TRUE(padded.Attach(2, dims.data(), buf.data(), nullptr, strides.data()));
    nxArrayIter<double> p = padded.begin();
    EXPECT_EQ(p[4], 5.0);
    p += 3;
    EXPECT_EQ(*p, 4.0);
    EXPECT_EQ(p - padded.begin(), 3u);
}

TEST(nxArrayIter, CopiesUseTheirOwnImplementation)
{
    std::vector<double>   buf = Iota(24);
    nxArrayLinear<double> padded, strided;
    Sizes                 dims = {3, 2}, strides = {8, 32}, d5 = {5}, s16 = {16};
    ASSERT_TRUE(padded.Attach(2, dims.data(), buf.data(), nullptr, strides.data()));
    ASSERT_TRUE(strided.Attach(1, d5.data(), buf.data(), nullptr, s16.data()));
    nxArrayIter<double> fromfixed, fromvariable;
    {
        nxArrayIter<double> f = strided.begin(), v = padded.begin();
        ++f;
        ++v;
        fromfixed = f;                   // assignment
        nxArrayIter<double> copied(v);   // copy construction
        fromvariable = copied;
    }
    // The originals are gone (the sanitizer build checks their stack slots).
    ++fromfixed;
    ++(++fromvariable);
    EXPECT_EQ(fromfixed.Pointer(), &buf[4]);
    EXPECT_EQ(fromvariable.Pointer(), &buf[4]);
}

TEST(nxArrayIter, ContiguousCoreRefusesOtherLayoutsWithoutThrowing)
{
    CaptureLog        log;
    RankSpecification rs;
    size_t            d = 5, s = 16;
    double            buf[10];
    rs.Configure(1, &d, 8, &s);
    nxArrayIterCore<double> core;
    core.Configure(reinterpret_cast<nxBYTE*>(buf), &rs);
    EXPECT_EQ(core.Pointer(), nullptr);
    EXPECT_EQ(log.Count(nxlog_error, "nxArrayIterCore::Configure, Rank is not contiguous"), 1);
}

TEST(nxArrayOps, AddWalksBothArraysInLogicalOrder)
{
    std::vector<double> abuf(12, 100.0), bbuf = Iota(12);
    nx2dArray<double>   a(3, 4, abuf.data()), b(4, 3, bbuf.data());
    a += b;
    for (size_t k = 0; k < 12; ++k) EXPECT_EQ(abuf[k], 100.0 + (double)k);

    // Padded on either side: the skipped elements take no part.
    std::vector<double>   pbuf = Iota(16), cbuf(12, 0.0);
    nxArrayLinear<double> padded;
    Sizes                 dims = {3, 4}, strides = {8, 32};
    ASSERT_TRUE(padded.Attach(2, dims.data(), pbuf.data(), nullptr, strides.data()));
    nx2dArray<double> c(12, 1, cbuf.data());
    c += padded;
    EXPECT_EQ(cbuf, (std::vector<double>{0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14}));
    padded += c;
    EXPECT_EQ(pbuf[14] + pbuf[15], 28.0 + 15.0);
}

TEST(nxArrayOps, AddRefusesArraysOfAnotherSize)
{
    CaptureLog             log;
    std::vector<double>    abuf(12, 1.0), bbuf(11, 5.0);
    nx2dArray<double>      a(3, 4, abuf.data()), b(11, 1, bbuf.data());
    nxArrayLinear<double>& result = (a += b);
    EXPECT_EQ(&result, &a);
    EXPECT_EQ(abuf, std::vector<double>(12, 1.0));
    EXPECT_EQ(log.Count(nxlog_warning, "nxArrayLinearUnaryAssignment, arrays are not the same size, operation not "
                                       "performed"),
              1);
}

TEST(nxArrayOps, ScaleMultipliesEveryElement)
{
    nx2dArray<int> a;
    ASSERT_TRUE(a.SetSize(2, 3));
    int v = 0;
    for (nxArrayIter<int> it = a.begin(), e = a.end(); it != e; ++it) *it = v++;
    a *= 2;
    EXPECT_EQ(a.at(1, 2), 10);

    std::vector<double> buf = Iota(10);
    nx1dArray<double>   strided;
    Sizes               d5 = {5}, s16 = {16};
    ASSERT_TRUE(strided.Attach(1, d5.data(), buf.data(), nullptr, s16.data()));
    strided *= 2.0;
    EXPECT_EQ(buf, (std::vector<double>{0, 1, 4, 3, 8, 5, 12, 7, 16, 9}));
}
