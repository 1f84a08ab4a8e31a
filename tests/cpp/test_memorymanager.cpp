// InxMemoryManager<T>: sizing from a layout, reuse of a larger buffer, the
// refusal while the buffer is shared, range checks, and the separate
// reference and lock counts.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "nxmemorymanager.h"
#include "test_support.h"

namespace {

RankSpecification Layout(std::vector<size_t> dims, size_t elementsize, std::vector<size_t> strides = {})
{
    RankSpecification rs;
    EXPECT_TRUE(rs.Configure(dims.size(), dims.data(), elementsize, strides.empty() ? nullptr : strides.data()));
    return rs;
}

// Records its destruction and can refuse to allocate; the state lives outside
// the object so the manager gains no members.
bool g_destroyed = false;
bool g_refuse    = false;

template <class T>
class ProbeManager : public InxMemoryManager<T>
{
  public:
    ProbeManager() { g_destroyed = g_refuse = false; }
    ~ProbeManager() override { g_destroyed = true; }

  protected:
    T* InternalAllocate(size_t n) override { return g_refuse ? nullptr : InxMemoryManager<T>::InternalAllocate(n); }
};

}   // namespace

TEST(MemoryManager, SizingAndReuse)
{
    InxMemoryManager<int> m;
    RankSpecification     r34 = Layout({3, 4}, 4), r43 = Layout({4, 3}, 4), r6 = Layout({6}, 4), r20 = Layout({20}, 4);
    int*                  p = nullptr;
    int*                  q = nullptr;
    ASSERT_TRUE(m.AllocateAndLock(&r34, true, &p));
    EXPECT_EQ(m.LinearSize() + m.ReserveSize(), 24u);
    EXPECT_EQ(m.LockCount(), 1u);
    ASSERT_TRUE(m.AllocateAndLock(&r43, true, &q));   // same count: same buffer
    EXPECT_EQ(q, p);
    ASSERT_TRUE(m.AllocateAndLock(&r6, true, &q));    // smaller: kept
    EXPECT_EQ(q, p);
    EXPECT_EQ(m.LinearSize(), 6u);
    EXPECT_EQ(m.ReserveSize(), 12u);
    EXPECT_EQ(m.EndPointer(), p + 6);
    ASSERT_TRUE(m.AllocateAndLock(&r20, true, &q));   // larger: a fresh buffer
    EXPECT_EQ(m.ReserveSize(), 20u);
    EXPECT_EQ(m.LockCount(), 1u);
    q[19] = 1;
    ASSERT_TRUE(m.AllocateAndLock(&r6, false, &q));   // smaller without reuse: fresh too
    EXPECT_EQ(m.ReserveSize(), 6u);
    m.UnlockMemory();
    EXPECT_EQ(m.Pointer(), nullptr);

    InxMemoryManager<double> strided;   // 5 doubles 16 bytes apart span 10
    RankSpecification        r5 = Layout({5}, 8, {16});
    double*                  d  = nullptr;
    ASSERT_TRUE(strided.AllocateAndLock(&r5, false, &d));
    EXPECT_EQ(strided.LinearSize(), 10u);
    strided.UnlockMemory();
}

TEST(MemoryManager, SharedBufferIsNotReallocated)
{
    CaptureLog               log;
    InxMemoryManager<double> m;
    RankSpecification        r12 = Layout({12}, 8), r6 = Layout({6}, 8);
    double*                  p = nullptr;
    double*                  q = nullptr;
    ASSERT_TRUE(m.AllocateAndLock(&r12, true, &p));
    m.LockMemory();   // a second array uses the buffer
    EXPECT_FALSE(m.AllocateAndLock(&r6, true, &q));
    EXPECT_EQ(q, p);
    EXPECT_EQ(m.LinearSize(), 12u);
    EXPECT_EQ(log.Count(nxlog_warning, "InxMemoryManager<T>::Allocate, cannot allocate as there are 2 locks on the memory"),
              1);
    m.UnlockMemory();
    EXPECT_EQ(m.Pointer(), p);   // one user left
    m.UnlockMemory();
    EXPECT_EQ(m.Pointer(), nullptr);
}

TEST(MemoryManager, FailedAllocationsAreReportedAndLeaveItEmpty)
{
    CaptureLog         log;
    ProbeManager<int>* m   = new ProbeManager<int>();
    RankSpecification  r12 = Layout({12}, 4), r6 = Layout({6}, 4);
    int*               p   = nullptr;
    m->AddRef();
    ASSERT_TRUE(m->AllocateAndLock(&r12, false, &p));
    g_refuse = true;
    EXPECT_FALSE(m->AllocateAndLock(&r6, false, &p));
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(m->LinearSize() + m->LockCount(), 0u);
    EXPECT_EQ(log.Count(nxlog_warning, "InxMemoryManager<T>::Allocate, Insufficient memory to allocate 6 elements"), 1);
    EXPECT_EQ(m->Release(), 0u);
    EXPECT_TRUE(g_destroyed);

    // A byte count beyond size_t fails the same way instead of wrapping.
    InxMemoryManager<double> huge;
    RankSpecification        span = Layout({1}, 8, {SIZE_MAX});   // 2^61 doubles
    double*                  d    = nullptr;
    EXPECT_FALSE(huge.AllocateAndLock(&span, false, &d));
    EXPECT_TRUE(log.Contains("Insufficient memory to allocate 2305843009213693952 elements"));
}

TEST(MemoryManager, CheckMemoryRange)
{
    InxMemoryManager<double> m;
    RankSpecification        r12 = Layout({12}, 8);
    double*                  p   = nullptr;
    ASSERT_TRUE(m.AllocateAndLock(&r12, false, &p));
    double* before = reinterpret_cast<double*>(reinterpret_cast<uintptr_t>(p) - sizeof(double));
    EXPECT_TRUE(m.CheckMemoryRange(p, p + 11));
    EXPECT_FALSE(m.CheckMemoryRange(p, p + 12));        // last at the end pointer
    EXPECT_FALSE(m.CheckMemoryRange(p + 5, p + 4));     // last before first
    EXPECT_FALSE(m.CheckMemoryRange(before, p + 4));    // first before the buffer
    EXPECT_FALSE(m.CheckMemoryRange(p + 12, p + 12));   // first at the end pointer
    m.UnlockMemory();
}

TEST(MemoryManager, ReferenceAndLockCountsAreSeparate)
{
    ProbeManager<double>* m  = new ProbeManager<double>();
    RankSpecification     r4 = Layout({4}, 8);
    double*               p  = nullptr;
    EXPECT_EQ(m->AddRef(), 1u);
    ASSERT_TRUE(m->AllocateAndLock(&r4, false, &p));
    m->LockMemory();
    EXPECT_EQ(m->LockCount(), 2u);
    m->UnlockMemory();
    m->UnlockMemory();   // the buffer goes, the manager stays
    EXPECT_EQ(m->Pointer(), nullptr);
    EXPECT_FALSE(g_destroyed);
    m->LockMemory();   // no buffer: nothing to lock
    EXPECT_EQ(m->LockCount(), 0u);
    EXPECT_EQ(m->AddRef(), 2u);
    EXPECT_EQ(m->Release(), 1u);
    EXPECT_FALSE(g_destroyed);
    EXPECT_EQ(m->Release(), 0u);
    EXPECT_TRUE(g_destroyed);
}

TEST(MemoryManager, DestroyingALockedBufferWarnsAndFreesIt)
{
    CaptureLog                log;
    InxMemoryManager<double>* m  = new InxMemoryManager<double>();
    RankSpecification         r4 = Layout({4}, 8);
    double*                   p  = nullptr;
    m->AddRef();
    ASSERT_TRUE(m->AllocateAndLock(&r4, false, &p));
    m->Release();   // the sanitizer build's leak check sees the buffer freed
    EXPECT_EQ(log.Count(nxlog_warning, "InxMemoryManager<T>::Destructor, there are still reference counts on the "
                                       "memory. It will be destroyed"),
              1);
}
