// nxArrayLinear<T> and the fixed-rank arrays: attaching without ownership,
// owning storage and its reuse, shallow and deep copies, indexing by layout,
// bounds checking and the empty-array answer.
#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <vector>

#include "nxarraylinear.h"
#include "test_support.h"

namespace {

using Sizes = std::vector<size_t>;

template <class T = double>
std::vector<T> Iota(size_t n)
{
    std::vector<T> v(n);
    std::iota(v.begin(), v.end(), T(0));
    return v;
}

Sizes DimsOf(const nxArrayLinear<double>& a)
{
    const RankSpecification* rs = a.ArrayRankSpecs();
    return {rs->Dims(), rs->Dims() + rs->Rank()};
}

}   // namespace

TEST(nxArrayAttach, ViewsIndexFirstIndexFastestAndNeverFree)
{
    std::vector<double> buf = Iota(6);
    {
        nx2dArray<double> a(3, 2, buf.data());
        EXPECT_EQ(&a.at(2, 1), &buf[5]);
        EXPECT_EQ(&a.at(1, 0), &buf[1]);
        EXPECT_EQ(a.XSize() * 10 + a.YSize(), 32u);
        EXPECT_TRUE(a.IsAttached() && !a.IsEmpty());
        EXPECT_EQ(a.MemoryManager(), nullptr);
    }   // the sanitizer build reports any free of the caller's buffer
    EXPECT_EQ(buf, Iota(6));

    std::vector<int> ibuf = Iota<int>(24);
    nx3dArray<int>   c(4, 3, 2, ibuf.data());
    EXPECT_EQ(&c.at(1, 2, 1), &ibuf[21]);
}

TEST(nxArrayAttach, FixedRankArraysPadOrFoldTheLayout)
{
    CaptureLog          log;
    std::vector<double> buf = Iota(32);
    nx3dArray<double>   a3;
    Sizes               d65 = {6, 5}, d234 = {2, 3, 4}, d322 = {3, 2, 2}, s322 = {8, 32, 80};
    ASSERT_TRUE(a3.Attach(2, d65.data(), buf.data(), nullptr, nullptr));
    EXPECT_EQ(DimsOf(a3), (Sizes{6, 5, 1}));
    nx2dArray<double> a2;
    ASSERT_TRUE(a2.Attach(3, d234.data(), buf.data(), nullptr, nullptr));
    EXPECT_EQ(DimsOf(a2), (Sizes{2, 12}));
    EXPECT_EQ(a2.at(1, 11), 23.0);

    // Planes padded beyond their rows cannot fold into rank 2.
    EXPECT_FALSE(a2.Attach(3, d322.data(), buf.data(), nullptr, s322.data()));
    EXPECT_TRUE(a2.IsEmpty() && !a2.IsAttached());
    EXPECT_TRUE(log.Contains("Cannot reshape array to lower rank"));
    nxArrayLinear<double> any;   // no mandatory rank: taken as it is
    ASSERT_TRUE(any.Attach(3, d322.data(), buf.data(), nullptr, s322.data()));
    size_t idx[3] = {2, 1, 1};
    EXPECT_EQ(any.At(idx), 16.0);
}

TEST(nxArrayAttach, ManagerBoundsAreChecked)
{
    CaptureLog                log;
    InxMemoryManager<double>* m = new InxMemoryManager<double>();
    RankSpecification         r6;
    size_t                    six = 6;
    double*                   p   = nullptr;
    m->AddRef();
    r6.Configure(1, &six, 8, nullptr);
    ASSERT_TRUE(m->AllocateAndLock(&r6, false, &p));
    {
        Sizes             d22 = {2, 2}, d32 = {3, 2};
        nx2dArray<double> inside, outside;
        ASSERT_TRUE(inside.Attach(2, d22.data(), p + 2, m, nullptr));
        EXPECT_EQ(m->RefCount() + m->LockCount(), 4u);
        EXPECT_FALSE(outside.Attach(2, d32.data(), p + 1, m, nullptr));
        EXPECT_TRUE(outside.IsEmpty() && outside.MemoryManager() == nullptr);
        EXPECT_EQ(log.Count(nxlog_error, "nxArrayLinear<T>::InternalAttach, the requested array is not within the "
                                         "bounds of the memory manager"),
                  1);
        // Attaching again to the manager it already holds keeps the buffer alive.
        ASSERT_TRUE(inside.Attach(2, d22.data(), p, m, nullptr));
        EXPECT_EQ(m->Pointer(), p);
        inside.at(1, 1) = 7.0;
        EXPECT_EQ(m->RefCount() + m->LockCount(), 4u);
    }
    EXPECT_EQ(m->RefCount() + m->LockCount(), 2u);
    EXPECT_EQ(p[3], 7.0);
    m->UnlockMemory();
    m->Release();
}

TEST(nxArrayAttach, NullPointersAndEmptyViews)
{
    CaptureLog        log;
    nx2dArray<double> a, none;
    EXPECT_FALSE(a.Attach(3, 2, nullptr));   // six elements with no memory behind them
    EXPECT_TRUE(a.IsEmpty());
    EXPECT_TRUE(log.Contains("nxArrayLinear<T>::InternalAttach, cannot attach (6) elements to a null pointer"));
    EXPECT_TRUE(none.Attach(0, 0, nullptr));   // an empty caller array is fine
    EXPECT_EQ(none.XSize() + none.YSize() + none.size(), 0u);
}

TEST(nxArraySetSize, OwnsAndReshapesItsStorage)
{
    nx2dArray<double> a;
    ASSERT_TRUE(a.SetSize(5, 4));
    InxMemoryManager<double>* m = a.MemoryManager();
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->LinearSize(), 20u);
    EXPECT_EQ(m->LockCount() + m->RefCount(), 2u);
    double* p = a.UnsafeArrayBasePtr();
    EXPECT_TRUE(a.SetSize(5, 4));
    EXPECT_TRUE(a.SetSize(4, 5));   // same count: same buffer, new layout
    EXPECT_EQ(a.UnsafeArrayBasePtr(), p);
    EXPECT_EQ(a.XSize(), 4u);
    ASSERT_TRUE(a.SetSize(6, 4));   // reuse off: a buffer of 24
    EXPECT_EQ(m->ReserveSize(), 24u);
    a.at(5, 3) = 1.0;
}

TEST(nxArraySetSize, ReuseKeepsTheBufferThroughErase)
{
    nx1dArray<int> a;
    a.SetReuseMemory(true);
    ASSERT_TRUE(a.SetSize(100));
    int* p = a.UnsafeArrayBasePtr();
    a.erase();
    EXPECT_EQ(a.size(), 0u);
    ASSERT_TRUE(a.SetSize(50));
    EXPECT_EQ(a.UnsafeArrayBasePtr(), p);
    EXPECT_EQ(a.MemoryManager()->ReserveSize(), 100u);
    a.SetReuseMemory(false);
    a.erase();
    EXPECT_TRUE(a.IsEmpty());
    EXPECT_EQ(a.MemoryManager()->Pointer(), nullptr);   // freed, manager kept
}

TEST(nxArraySetSize, EmptyArraysAnswerWithOneDummyElement)
{
    CaptureLog        log;
    nx2dArray<double> a, detached;
    ASSERT_TRUE(a.SetSize(3, 3));
    EXPECT_TRUE(a.SetSize(0, 4));
    EXPECT_EQ(a.ArrayRankSpecs()->Rank() + a.size(), 0u);
    EXPECT_TRUE(a.IsEmpty());
    std::vector<double> buf(4, 0.0);
    detached.Attach(2, 2, buf.data());
    detached.Detach();
    EXPECT_EQ(&a.at(0, 0), &detached.at(1, 1));
    EXPECT_EQ(log.Count(nxlog_warning, "nxArrayLinear<T>::IndexToPointer_EmptyArray, You are indexing an empty array"),
              2);
}

TEST(nxArraySetSize, AnAttachedArrayCannotBeResized)
{
    CaptureLog          log;
    std::vector<double> buf = Iota(20);
    nx2dArray<double>   a(5, 4, buf.data());
    EXPECT_TRUE(a.SetSize(5, 4));   // the same layout: nothing to do
    EXPECT_TRUE(a.IsAttached());
    EXPECT_FALSE(a.SetSize(4, 5));
    EXPECT_EQ(log.Count(nxlog_warning, "nxArrayLinear<T>::SetSize, you cannot change the size of an array that is "
                                       "Attached, you must call Detach or erase first"),
              1);
    EXPECT_TRUE(a.IsEmpty() && !a.IsAttached());
    EXPECT_EQ(buf, Iota(20));
}

TEST(nxArraySetSize, ImpossibleLayoutsFailWithoutThrowingOrOverrunning)
{
    CaptureLog            log;
    nx2dArray<double>     a;
    nxArrayLinear<double> b;
    ASSERT_TRUE(a.SetSize(2, 2));
    EXPECT_FALSE(a.SetSize(SIZE_MAX / 2, 4));
    EXPECT_TRUE(a.IsEmpty() && a.MemoryManager() == nullptr);
    EXPECT_TRUE(log.Contains("nxArrayLinear<T>::SetSize, Error configuring the rankspecification object for rank (2)"));

    Sizes dims = {3, 2}, padded = {8, 32}, overlap = {8, 8};
    ASSERT_TRUE(b.SetSize(2, dims.data(), padded.data()));
    EXPECT_EQ(b.MemoryManager()->LinearSize(), 8u);
    // Lower dimensions reaching past the top dimension's span: refused, not overrun.
    EXPECT_FALSE(b.SetSize(2, dims.data(), overlap.data()));
    EXPECT_TRUE(log.Contains("nxArrayLinear<T>::SetSize, Error checking rank and dimensions of array"));
}

TEST(nxArrayCopy, ShallowCopySharesAndResizingSeparates)
{
    nx2dArray<double> a, b;
    ASSERT_TRUE(a.SetSize(3, 2));
    a.SetTo(5.0);
    ASSERT_TRUE(b.ShallowCopy(a));
    ASSERT_TRUE(b.ShallowCopy(a));   // again: counts stay
    EXPECT_EQ(b.UnsafeArrayBasePtr(), a.UnsafeArrayBasePtr());
    EXPECT_EQ(a.MemoryManager()->LockCount() + a.MemoryManager()->RefCount(), 4u);
    ASSERT_TRUE(b.SetSize(4, 4));
    EXPECT_NE(b.MemoryManager(), a.MemoryManager());
    EXPECT_EQ(a.MemoryManager()->LockCount() + a.MemoryManager()->RefCount(), 2u);
    EXPECT_EQ(a.at(2, 1), 5.0);
}

TEST(nxArrayCopy, AnErasedShareDoesNotFreeTheOthersBuffer)
{
    nx1dArray<double> a, b;
    ASSERT_TRUE(a.SetSize(8));
    a.SetTo(2.0);
    ASSERT_TRUE(b.ShallowCopy(a));
    b.erase();   // b lets go of the buffer but keeps the manager
    for (size_t n : {8u, 5u}) {
        ASSERT_TRUE(b.SetSize(n));
        EXPECT_NE(b.UnsafeArrayBasePtr(), a.UnsafeArrayBasePtr());
        b.SetTo(9.0);
    }
    EXPECT_EQ(a.at(7), 2.0);
}

TEST(nxArrayCopy, ShallowCopyOfAttachedOrEmptyArrays)
{
    CaptureLog          log;
    std::vector<double> buf = Iota(6);
    nx2dArray<double>   view(3, 2, buf.data()), b, empty;
    nx1dArray<double>   line;
    ASSERT_TRUE(b.SetSize(2, 2));
    ASSERT_TRUE(b.ShallowCopy(view));   // the owned buffer goes, the view is shared
    EXPECT_TRUE(b.IsAttached());
    EXPECT_EQ(&b.at(2, 1), &buf[5]);
    EXPECT_FALSE(b.ShallowCopy(view));
    EXPECT_TRUE(log.Contains("nxArrayLinear<T>::ShallowCopy, Cannot shallowCopy to an array that is attached to "
                             "memory. Use Detach or erase before invoking ShallowCopy"));
    EXPECT_TRUE(b.IsEmpty());   // the refused copy detached the target, as every failed copy does
    EXPECT_FALSE(b.IsAttached());
    EXPECT_EQ(buf[5], 5.0);
    b.erase();
    EXPECT_TRUE(b.ShallowCopy(empty));
    EXPECT_TRUE(b.IsEmpty());
    ASSERT_TRUE(line.ShallowCopy(view));   // folded to rank 1 in place
    EXPECT_EQ(&line.at(4), &buf[4]);
}

TEST(nxArrayCopy, DeepCopyIntoAttachedArray)
{
    CaptureLog          log;
    std::vector<double> src = Iota(12), dst(12, -1.0), small(11, -1.0);
    nx2dArray<double>   a(3, 4, src.data()), b(4, 3, dst.data()), c(11, 1, small.data());
    ASSERT_TRUE(b.DeepCopy(a, true));
    EXPECT_EQ(dst, src);   // logical order
    EXPECT_TRUE(b.IsAttached());
    EXPECT_FALSE(c.DeepCopy(a, true));
    EXPECT_TRUE(c.IsEmpty());
    EXPECT_EQ(small, std::vector<double>(11, -1.0));
    EXPECT_EQ(log.Count(nxlog_warning, "nxArrayLinear<T>::DeepCopy, Cannot DeepCopy to an attached array that does not "
                                       "have the same number of elements. This (attached) array has (11) elements "
                                       "while the other array has (12) elements."),
              1);
}

TEST(nxArrayCopy, DeepCopiesAreContiguousAndIndependent)
{
    std::vector<double>   buf = Iota(8);
    nxArrayLinear<double> padded, copy;
    Sizes                 dims = {3, 2}, strides = {8, 32};
    ASSERT_TRUE(padded.Attach(2, dims.data(), buf.data(), nullptr, strides.data()));
    ASSERT_TRUE(copy.DeepCopy(padded, true));
    EXPECT_TRUE(copy.ArrayRankSpecs()->IsContiguous() && !copy.IsAttached());
    const double* p = copy.UnsafeArrayBasePtr();
    EXPECT_EQ(std::vector<double>(p, p + 6), (std::vector<double>{0, 1, 2, 4, 5, 6}));

    nx2dArray<double> a;
    ASSERT_TRUE(a.SetSize(2, 2));
    a.SetTo(1.5);
    a.SetBoundsChecking(true);
    nx2dArray<double> b(a), c;   // copy construction and assignment copy values
    c = a;
    a.SetTo(0.0);
    EXPECT_EQ(b.at(1, 1) + c.at(0, 1), 3.0);
    EXPECT_TRUE(b.IsBoundsChecking());

    a.SetTemporary(true);   // a temporary's storage is taken over instead
    nx2dArray<double> taker;
    ASSERT_TRUE(taker.DeepCopy(a, true));
    EXPECT_EQ(taker.UnsafeArrayBasePtr(), a.UnsafeArrayBasePtr());
}

TEST(nxArrayIndexing, EveryLayoutReachesTheRightElement)
{
    std::vector<double> buf = Iota(16);
    nx1dArray<double>   fixed1;
    nx2dArray<double>   fixed2, padded;
    Sizes               d5 = {5}, s16 = {16}, d32 = {3, 2}, sf = {16, 48}, sp = {8, 32};
    ASSERT_TRUE(fixed1.Attach(1, d5.data(), buf.data(), nullptr, s16.data()));
    ASSERT_TRUE(fixed2.Attach(2, d32.data(), buf.data(), nullptr, sf.data()));
    ASSERT_TRUE(padded.Attach(2, d32.data(), buf.data(), nullptr, sp.data()));
    EXPECT_EQ(fixed1[3], 6.0);
    EXPECT_EQ(fixed2.at(2, 1), 10.0);
    EXPECT_EQ(padded.at(2, 1), 6.0);
    nx3dArray<double> cube(2, 2, 4, buf.data());
    EXPECT_EQ(cube.at(1, 0, 3), 13.0);
}

TEST(nxArrayIndexing, BoundsCheckReportsAndProtects)
{
    CaptureLog          log;
    std::vector<double> buf = Iota(6);
    nx2dArray<double>   a(3, 2, buf.data());
    a.SetBoundsChecking(true);
    EXPECT_EQ(a.at(2, 1), 5.0);
    EXPECT_TRUE(log.lines.empty());
    const double* outside = &a.at(3, 0);
    EXPECT_EQ(log.Count(nxlog_error, "nxArrayLinear<T>::CheckBounds, Users indices [3,0] are out of bounds of [3,2]"), 1);
    EXPECT_TRUE(outside < buf.data() || outside >= buf.data() + 6);

    std::vector<int> ibuf(24, 0);
    nx3dArray<int>   c(4, 3, 2, ibuf.data());
    c.SetBoundsChecking(true);
    c.at(1, 3, 10);
    EXPECT_TRUE(log.Contains("Users indices [1,3,10] are out of bounds of [4,3,2]"));
}
