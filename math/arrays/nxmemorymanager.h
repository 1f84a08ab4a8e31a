#pragma once
// InxMemoryManager<T>: the reference counted owner of the element buffer of one
// or more arrays. The reference count (m_lockcount) tells how many arrays hold
// the manager; the memory lock count (m_memorylockcount) tells how many arrays
// currently use the buffer. The buffer is freed when the last user unlocks it,
// the manager when the last holder releases it.
#include <cstddef>
#include <cstdint>
#include <new>

#include "nxbase.h"
#include "nxlog.h"
#include "rankspecification.h"

template <class T>
class InxMemoryManager
{
  private:
    size_t m_lockcount;
    size_t m_memorylockcount;
    size_t m_linearsize;
    T*     m_pointer;
    T*     m_endpointer;
    size_t m_reservesize;

  protected:
    virtual void InternalFreemem()
    {
        delete[] m_pointer;
        m_pointer = nullptr;
    }

    // An uninitialised buffer of n elements, or null. Never throws.
    virtual T* InternalAllocate(size_t n)
    {
        if (n > SIZE_MAX / sizeof(T)) return nullptr;   // the byte count would not fit in a size_t
        return new (std::nothrow) T[n];
    }

    virtual bool InternalAllowRealloc() { return true; }

  public:
    InxMemoryManager()
        : m_lockcount(0), m_memorylockcount(0), m_linearsize(0), m_pointer(nullptr), m_endpointer(nullptr),
          m_reservesize(0)
    {
    }

    virtual ~InxMemoryManager()
    {
        if (m_memorylockcount != 0 && m_pointer != nullptr) {
            NXLOG_RECORD(nxlog_warning, "InxMemoryManager<T>::Destructor, there are still reference counts on the "
                                        "memory. It will be destroyed");
        }
        if (m_pointer != nullptr) InternalFreemem();
    }

    InxMemoryManager(const InxMemoryManager&)            = delete;
    InxMemoryManager& operator=(const InxMemoryManager&) = delete;

    size_t AddRef() { return ++m_lockcount; }

    size_t Release()
    {
        if (m_lockcount > 0) --m_lockcount;
        if (m_lockcount != 0) return m_lockcount;
        delete this;
        return 0;
    }

    void LockMemory()
    {
        if (m_pointer != nullptr) ++m_memorylockcount;
    }

    void UnlockMemory()
    {
        if (m_pointer == nullptr) return;
        if (m_memorylockcount > 0) --m_memorylockcount;
        if (m_memorylockcount == 0) Erase();
    }

    void Erase()
    {
        if (m_pointer != nullptr) InternalFreemem();
        m_pointer         = nullptr;
        m_endpointer      = nullptr;
        m_reservesize     = 0;
        m_linearsize      = 0;
        m_memorylockcount = 0;
    }

    nxBOOL AllocateAndLock(const RankSpecification* layout, nxBOOL allowreuse, T** out)
    {
        bool   ok = true;
        size_t n  = (layout != nullptr) ? layout->GetContiguousStorageSize(sizeof(T)) : 0;
        if (n == m_linearsize) {
            // The caller already holds its lock on this buffer.
        }
        else if (m_memorylockcount >= 2) {
            NXLOG_RECORD(nxlog_warning, "InxMemoryManager<T>::Allocate, cannot allocate as there are %zu locks on the memory",
                         m_memorylockcount);
            ok = false;
        }
        else if (allowreuse && InternalAllowRealloc() && m_reservesize >= n && m_pointer != nullptr) {
            m_linearsize = n;
            m_endpointer = m_pointer + n;
        }
        else {
            Erase();
            m_pointer = InternalAllocate(n);
            if (m_pointer == nullptr) {
                NXLOG_RECORD(nxlog_warning, "InxMemoryManager<T>::Allocate, Insufficient memory to allocate %zu elements",
                             n);
                ok = false;
            }
            else {
                m_linearsize      = n;
                m_reservesize     = n;
                m_endpointer      = m_pointer + n;
                m_memorylockcount = 1;
            }
        }
        if (out != nullptr) *out = m_pointer;
        return ok;
    }

    // Whether first and last (inclusive) both lie in the used part of the buffer.
    bool CheckMemoryRange(T* first, T* last) const
    {
        uintptr_t begin = reinterpret_cast<uintptr_t>(m_pointer);
        uintptr_t end   = reinterpret_cast<uintptr_t>(m_endpointer);
        uintptr_t f     = reinterpret_cast<uintptr_t>(first);
        uintptr_t l     = reinterpret_cast<uintptr_t>(last);
        return begin <= f && f < end && f <= l && l < end;
    }

    bool   MemoryIsShared() const { return m_memorylockcount > 1; }
    size_t LockCount() const { return m_memorylockcount; }
    size_t LinearSize() const { return m_linearsize; }
    size_t ReserveSize() const { return m_reservesize; }
    size_t RefCount() const { return m_lockcount; }
    T*     Pointer() const { return m_pointer; }
    T*     EndPointer() const { return m_endpointer; }
};

extern template class InxMemoryManager<double>;
extern template class InxMemoryManager<int>;
