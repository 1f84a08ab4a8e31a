#pragma once
// nxArrayLinear<T>: the strided N-dimensional array. An array either owns its
// elements through a reference counted InxMemoryManager<T>, or is attached to
// memory somebody else owns (a NumPy buffer, say) without copying or freeing
// it. The layout is a RankSpecification with byte strides for elements of
// sizeof(T); index 0 varies fastest. nx1dArray, nx2dArray and nx3dArray fix
// the rank and take their indices as separate arguments.
//
// Element access goes through a member function pointer chosen whenever the
// layout changes, so contiguous rank 1 and rank 2 arrays are indexed with one
// multiply-add and no loop.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>

#include "nxarrayiter.h"
#include "nxbase.h"
#include "nxlog.h"
#include "nxmemorymanager.h"
#include "nxstring.h"
#include "rankspecification.h"

template <class T>
class nxArrayLinear
{
  public:
    typedef T ELEMENT_TYPE;
    typedef T* (nxArrayLinear<T>::*INDEXTOPOINTER)(const size_t* dimsindex) const;

  private:
    InxMemoryManager<T>* m_manager;
    RankSpecification    m_rankspecs;
    INDEXTOPOINTER       m_indextopointer;
    T*                   m_baseptr;
    T*                   m_endptr;
    bool                 m_checkbounds;
    bool                 m_allowmemoryreuse;
    bool                 m_arrayisattached;
    bool                 m_istemporary;

    // Answer to indexing an empty array (and to an index rejected by the bounds
    // check): one element per element type, shared by all arrays.
    static inline T s_dummyelement{};

  private:
    void ConstructorInit()
    {
        m_manager          = nullptr;
        m_rankspecs.init();
        m_indextopointer   = &nxArrayLinear<T>::IndexToPointer_EmptyArray;
        m_baseptr          = nullptr;
        m_endptr           = nullptr;
        m_checkbounds      = false;
        m_allowmemoryreuse = false;
        m_arrayisattached  = false;
        m_istemporary      = false;
    }

    static T* ByteOffset(T* p, size_t bytes)
    {
        return reinterpret_cast<T*>(reinterpret_cast<nxBYTE*>(p) + bytes);
    }

  protected:
    bool ConfigureMemoryLayout(T* ptr);
    void ConfigureIndexingOperator();
    T*   LastAddressableLocation() const;
    bool CheckBounds(const size_t* dimsindex) const;
    bool SetMemoryManager(InxMemoryManager<T>* manager, T* baseptr);
    void ReleaseMemoryManager();
    void UnlockMemoryIfLocked(bool force);
    bool InternalAttach(size_t nrank, const size_t* dims, T* ptr, const size_t* strides,
                        InxMemoryManager<T>* manager);

    T* IndexToPointer_EmptyArray(const size_t* dimsindex) const;

    T* IndexToPointer_1D_Contiguous(const size_t* dimsindex) const
    {
        if (m_checkbounds && !CheckBounds(dimsindex)) return &s_dummyelement;
        return m_baseptr + dimsindex[0];
    }
    T* IndexToPointer_1D_Fixed(const size_t* dimsindex) const
    {
        if (m_checkbounds && !CheckBounds(dimsindex)) return &s_dummyelement;
        return ByteOffset(m_baseptr, m_rankspecs.Strides()[0] * dimsindex[0]);
    }
    T* IndexToPointer_2D_Contiguous(const size_t* dimsindex) const
    {
        if (m_checkbounds && !CheckBounds(dimsindex)) return &s_dummyelement;
        return m_baseptr + (dimsindex[0] + m_rankspecs.Dims()[0] * dimsindex[1]);
    }
    T* IndexToPointer_2D_Fixed(const size_t* dimsindex) const
    {
        if (m_checkbounds && !CheckBounds(dimsindex)) return &s_dummyelement;
        const size_t* strides = m_rankspecs.Strides();
        return ByteOffset(m_baseptr, strides[0] * dimsindex[0] + strides[1] * dimsindex[1]);
    }
    T* IndexToPointer_General(const size_t* dimsindex) const
    {
        if (m_checkbounds && !CheckBounds(dimsindex)) return &s_dummyelement;
        const size_t* strides = m_rankspecs.Strides();
        size_t        offset  = 0;
        for (size_t k = 0; k < m_rankspecs.Rank(); ++k) offset += dimsindex[k] * strides[k];
        return ByteOffset(m_baseptr, offset);
    }

  public:
    nxArrayLinear() { ConstructorInit(); }
    nxArrayLinear(const nxArrayLinear<T>& other)
    {
        ConstructorInit();
        m_istemporary = other.m_istemporary;
        m_checkbounds = other.m_checkbounds;
        DeepCopy(other, true);
    }
    // Assignment copies shape and values, like the copy constructor.
    nxArrayLinear<T>& operator=(const nxArrayLinear<T>& other)
    {
        DeepCopy(other, true);
        return *this;
    }
    virtual ~nxArrayLinear() { Detach(); }

    virtual int MandatoryRankValue() const { return 0; }

    bool SetSize(size_t rank, const size_t* dims, const size_t* strides);
    bool Attach(size_t nrank, const size_t* dims, T* ptr, InxMemoryManager<T>* manager, const size_t* strides)
    {
        return InternalAttach(nrank, dims, ptr, strides, manager);
    }
    void Detach();
    void erase();
    bool ShallowCopy(const nxArrayLinear<T>& other);
    bool DeepCopy(const nxArrayLinear<T>& other, bool copyvalues);
    void SetTo(const T& constant);

    T&       At(const size_t* dimsindex) { return *(this->*m_indextopointer)(dimsindex); }
    const T& At(const size_t* dimsindex) const { return *(this->*m_indextopointer)(dimsindex); }

    void SetReuseMemory(bool allow) { m_allowmemoryreuse = allow; }
    void SetBoundsChecking(bool check) { m_checkbounds = check; }
    void SetTemporary(bool istemporary) { m_istemporary = istemporary; }

    bool                     IsTemporary() const { return m_istemporary; }
    bool                     IsEmpty() const { return m_baseptr == nullptr; }
    bool                     IsAttached() const { return m_arrayisattached; }
    bool                     IsBoundsChecking() const { return m_checkbounds; }
    bool                     IsReuseMemory() const { return m_allowmemoryreuse; }
    size_t                   size() const { return m_rankspecs.N_Elements(); }
    const RankSpecification* ArrayRankSpecs() const { return &m_rankspecs; }
    T*                       UnsafeArrayBasePtr() { return m_baseptr; }
    const T*                 UnsafeArrayBasePtr() const { return m_baseptr; }
    InxMemoryManager<T>*     MemoryManager() const { return m_manager; }

    nxArrayIter<T> begin() const
    {
        return nxArrayIter<T>(reinterpret_cast<nxBYTE*>(m_baseptr), &m_rankspecs);
    }
    nxArrayIter<T> end() const { return nxArrayIter<T>(reinterpret_cast<nxBYTE*>(m_endptr), &m_rankspecs); }
};

// ---------------------------------------------------------------------------
template <class T>
class nx1dArray : public nxArrayLinear<T>
{
  public:
    using nxArrayLinear<T>::SetSize;

    nx1dArray() {}
    nx1dArray(const nx1dArray<T>& other) : nxArrayLinear<T>(other) {}
    nx1dArray<T>& operator=(const nx1dArray<T>& other)
    {
        this->DeepCopy(other, true);
        return *this;
    }

    int MandatoryRankValue() const override { return 1; }

    bool SetSize(size_t n) { return nxArrayLinear<T>::SetSize(1, &n, nullptr); }

    T& at(size_t i) { return this->At(&i); }
    const T& at(size_t i) const { return this->At(&i); }
    T& operator[](size_t i) { return this->At(&i); }
    const T& operator[](size_t i) const { return this->At(&i); }
};

template <class T>
class nx2dArray : public nxArrayLinear<T>
{
  public:
    using nxArrayLinear<T>::SetSize;
    using nxArrayLinear<T>::Attach;

    nx2dArray() {}
    nx2dArray(size_t nx, size_t ny, T* ptr) { Attach(nx, ny, ptr); }
    nx2dArray(const nx2dArray<T>& other) : nxArrayLinear<T>(other) {}
    nx2dArray<T>& operator=(const nx2dArray<T>& other)
    {
        this->DeepCopy(other, true);
        return *this;
    }

    int MandatoryRankValue() const override { return 2; }

    size_t XSize() const { return DimOrZero(0); }
    size_t YSize() const { return DimOrZero(1); }

    bool SetSize(size_t nx, size_t ny)
    {
        size_t dims[2] = {nx, ny};
        return nxArrayLinear<T>::SetSize(2, dims, nullptr);
    }
    bool Attach(size_t nx, size_t ny, T* ptr)
    {
        size_t dims[2] = {nx, ny};
        return nxArrayLinear<T>::Attach(2, dims, ptr, nullptr, nullptr);
    }

    T& at(size_t x, size_t y)
    {
        size_t index[2] = {x, y};
        return this->At(index);
    }
    const T& at(size_t x, size_t y) const
    {
        size_t index[2] = {x, y};
        return this->At(index);
    }

  private:
    size_t DimOrZero(size_t k) const
    {
        const RankSpecification* rs = this->ArrayRankSpecs();
        return (k < rs->Rank()) ? rs->Dims()[k] : 0;
    }
};

template <class T>
class nx3dArray : public nxArrayLinear<T>
{
  public:
    using nxArrayLinear<T>::SetSize;
    using nxArrayLinear<T>::Attach;

    nx3dArray() {}
    nx3dArray(size_t nx, size_t ny, size_t nz, T* ptr) { Attach(nx, ny, nz, ptr); }
    nx3dArray(const nx3dArray<T>& other) : nxArrayLinear<T>(other) {}
    nx3dArray<T>& operator=(const nx3dArray<T>& other)
    {
        this->DeepCopy(other, true);
        return *this;
    }

    int MandatoryRankValue() const override { return 3; }

    size_t XSize() const { return DimOrZero(0); }
    size_t YSize() const { return DimOrZero(1); }
    size_t ZSize() const { return DimOrZero(2); }

    bool SetSize(size_t nx, size_t ny, size_t nz)
    {
        size_t dims[3] = {nx, ny, nz};
        return nxArrayLinear<T>::SetSize(3, dims, nullptr);
    }
    bool Attach(size_t nx, size_t ny, size_t nz, T* ptr)
    {
        size_t dims[3] = {nx, ny, nz};
        return nxArrayLinear<T>::Attach(3, dims, ptr, nullptr, nullptr);
    }

    T& at(size_t x, size_t y, size_t z)
    {
        size_t index[3] = {x, y, z};
        return this->At(index);
    }
    const T& at(size_t x, size_t y, size_t z) const
    {
        size_t index[3] = {x, y, z};
        return this->At(index);
    }

  private:
    size_t DimOrZero(size_t k) const
    {
        const RankSpecification* rs = this->ArrayRankSpecs();
        return (k < rs->Rank()) ? rs->Dims()[k] : 0;
    }
};

// ===========================================================================
// nxArrayLinear<T> operations
// ===========================================================================

template <class T>
T* nxArrayLinear<T>::IndexToPointer_EmptyArray(const size_t*) const
{
    NXLOG_RECORD(nxlog_warning, "nxArrayLinear<T>::IndexToPointer_EmptyArray, You are indexing an empty array");
    return &s_dummyelement;
}

template <class T>
bool nxArrayLinear<T>::CheckBounds(const size_t* dimsindex) const
{
    size_t        rank  = m_rankspecs.Rank();
    const size_t* dims  = m_rankspecs.Dims();
    bool          valid = (rank != 0);
    for (size_t k = 0; k < rank && valid; ++k) valid = dimsindex[k] < dims[k];
    if (valid) return true;

    nxString dimstext;
    nxString indextext;
    if (rank == 0) {
        dimstext  = "[]";
        indextext = "[]";
    }
    else {
        dimstext.sprintf("[%1d", (int)dims[0]);
        indextext.sprintf("[%1d", (int)dimsindex[0]);
        for (size_t k = 1; k < rank; ++k) {
            nxString sofar(dimstext);   // never format a string from its own text
            dimstext.sprintf("%s,%1d", sofar.c_str(), (int)dims[k]);
            sofar = indextext;
            indextext.sprintf("%s,%1d", sofar.c_str(), (int)dimsindex[k]);
        }
        nxString sofar(dimstext);
        dimstext.sprintf("%s]", sofar.c_str());
        sofar = indextext;
        indextext.sprintf("%s]", sofar.c_str());
    }
    NXLOG_RECORD(nxlog_error, "nxArrayLinear<T>::CheckBounds, Users indices %s are out of bounds of %s",
                 indextext.c_str(), dimstext.c_str());
    return false;
}

template <class T>
void nxArrayLinear<T>::ConfigureIndexingOperator()
{
    size_t rank = m_rankspecs.Rank();
    if (m_rankspecs.N_Elements() == 0 || rank == 0) m_indextopointer = &nxArrayLinear<T>::IndexToPointer_EmptyArray;
    else if (m_rankspecs.IsContiguous()) {
        if (rank == 1) m_indextopointer = &nxArrayLinear<T>::IndexToPointer_1D_Contiguous;
        else if (rank == 2) m_indextopointer = &nxArrayLinear<T>::IndexToPointer_2D_Contiguous;
        else m_indextopointer = &nxArrayLinear<T>::IndexToPointer_General;
    }
    else if (m_rankspecs.IsFixedStride()) {
        if (rank == 1) m_indextopointer = &nxArrayLinear<T>::IndexToPointer_1D_Fixed;
        else if (rank == 2) m_indextopointer = &nxArrayLinear<T>::IndexToPointer_2D_Fixed;
        else m_indextopointer = &nxArrayLinear<T>::IndexToPointer_General;
    }
    else m_indextopointer = &nxArrayLinear<T>::IndexToPointer_General;
}

// The end pointer is one step past the top dimension. A layout without
// elements ends where it begins, so that iterating it visits nothing.
template <class T>
bool nxArrayLinear<T>::ConfigureMemoryLayout(T* ptr)
{
    m_baseptr  = ptr;
    size_t rank = m_rankspecs.Rank();
    if (rank == 0) {
        m_endptr         = ptr;
        m_indextopointer = &nxArrayLinear<T>::IndexToPointer_EmptyArray;
        return false;
    }
    if (ptr == nullptr || m_rankspecs.N_Elements() == 0) m_endptr = ptr;
    else m_endptr = ByteOffset(ptr, m_rankspecs.Dims()[rank - 1] * m_rankspecs.Strides()[rank - 1]);
    ConfigureIndexingOperator();
    return true;
}

// Computed on addresses as integers, so that a layout reaching past its
// memory is reported by the range checks rather than formed as a pointer.
template <class T>
T* nxArrayLinear<T>::LastAddressableLocation() const
{
    size_t rank = m_rankspecs.Rank();
    if (rank == 0) return nullptr;
    if (m_rankspecs.N_Elements() == 0) return m_baseptr;
    const size_t* dims    = m_rankspecs.Dims();
    const size_t* strides = m_rankspecs.Strides();
    size_t        offset  = 0;
    for (size_t k = 0; k < rank; ++k) offset += (dims[k] - 1) * strides[k];
    return reinterpret_cast<T*>(reinterpret_cast<uintptr_t>(m_baseptr) + offset);
}

template <class T>
void nxArrayLinear<T>::UnlockMemoryIfLocked(bool force)
{
    if (m_manager != nullptr && m_baseptr != nullptr && (force || !m_allowmemoryreuse)) {
        m_manager->UnlockMemory();
        m_baseptr = nullptr;
        m_endptr  = nullptr;
    }
}

template <class T>
void nxArrayLinear<T>::ReleaseMemoryManager()
{
    if (m_manager == nullptr) return;
    if (m_baseptr != nullptr) {
        m_manager->UnlockMemory();
        m_baseptr = nullptr;
        m_endptr  = nullptr;
    }
    InxMemoryManager<T>* manager = m_manager;
    m_manager                    = nullptr;
    manager->Release();
}

// The new manager is referenced and locked before the old one is let go, so
// that re-attaching to memory of the manager already held never frees it.
template <class T>
bool nxArrayLinear<T>::SetMemoryManager(InxMemoryManager<T>* manager, T* baseptr)
{
    if (manager != nullptr) {
        manager->AddRef();
        manager->LockMemory();
    }
    ReleaseMemoryManager();
    m_manager = manager;
    m_baseptr = baseptr;
    return true;
}

template <class T>
void nxArrayLinear<T>::erase()
{
    UnlockMemoryIfLocked(false);
    m_rankspecs.Erase();
    m_arrayisattached = false;
    if (m_manager == nullptr) m_baseptr = nullptr;   // nothing of its own to keep in reserve
    ConfigureMemoryLayout(m_baseptr);
}

template <class T>
void nxArrayLinear<T>::Detach()
{
    bool reuse         = m_allowmemoryreuse;
    m_allowmemoryreuse = false;
    UnlockMemoryIfLocked(false);
    m_rankspecs.Erase();
    m_indextopointer  = &nxArrayLinear<T>::IndexToPointer_EmptyArray;
    m_arrayisattached = false;
    ReleaseMemoryManager();
    m_baseptr          = nullptr;
    m_endptr           = nullptr;
    m_allowmemoryreuse = reuse;
}

template <class T>
bool nxArrayLinear<T>::SetSize(size_t rank, const size_t* dims, const size_t* strides)
{
    if (m_rankspecs.IsSameLayout(rank, dims, strides)) return true;

    bool ok = true;
    if (m_arrayisattached) {
        NXLOG_RECORD(nxlog_warning, "nxArrayLinear<T>::SetSize, you cannot change the size of an array that is "
                                    "Attached, you must call Detach or erase first");
        ok = false;
    }
    else {
        // A buffer that other arrays still use must not be reallocated under
        // them: this array lets go of the shared manager and starts afresh.
        // That holds both while this array shares the buffer and when it no
        // longer uses a buffer that others still hold.
        if (m_manager != nullptr &&
            (m_manager->MemoryIsShared() || (m_baseptr == nullptr && m_manager->LockCount() > 0))) {
            Detach();
        }
        int mandatory = MandatoryRankValue();
        ok            = m_rankspecs.Configure(rank, dims, sizeof(T), strides);
        if (ok && mandatory != 0 && (size_t)mandatory != rank)
            ok = m_rankspecs.ReshapeToMandatoryRank(false, mandatory, sizeof(T), m_rankspecs);
        if (!ok) {
            NXLOG_RECORD(nxlog_warning,
                         "nxArrayLinear<T>::SetSize, Error configuring the rankspecification object for rank (%zu)",
                         rank);
        }
        else if (m_rankspecs.N_Elements() == 0) {
            erase();
            return true;
        }
        else {
            if (m_manager == nullptr) {
                m_manager = new (std::nothrow) InxMemoryManager<T>();
                if (m_manager == nullptr) {
                    NXLOG_RECORD(nxlog_warning, "nxArrayLinear<T>::SetSize, Error allocating InxMemoryManager<T>");
                    ok = false;
                }
                else m_manager->AddRef();
            }
            if (ok) {
                T* p      = nullptr;
                m_baseptr = nullptr;
                m_endptr  = nullptr;
                if (!m_manager->AllocateAndLock(&m_rankspecs, m_allowmemoryreuse, &p)) {
                    NXLOG_RECORD(nxlog_warning, "nxArrayLinear<T>::SetSize, Error allocating memory");
                    ok = false;
                }
                else {
                    ok = ConfigureMemoryLayout(p) && m_manager->CheckMemoryRange(m_baseptr, LastAddressableLocation());
                    if (!ok) {
                        NXLOG_RECORD(nxlog_warning,
                                     "nxArrayLinear<T>::SetSize, Error checking rank and dimensions of array");
                    }
                }
            }
        }
    }
    if (!ok) Detach();
    return ok;
}

template <class T>
bool nxArrayLinear<T>::InternalAttach(size_t nrank, const size_t* dims, T* ptr, const size_t* strides,
                                      InxMemoryManager<T>* manager)
{
    RankSpecification local;
    bool              ok = local.Configure(nrank, dims, sizeof(T), strides);
    ok                   = ok && m_rankspecs.ReshapeToMandatoryRank(true, MandatoryRankValue(), sizeof(T), local);
    if (ok && ptr == nullptr && m_rankspecs.N_Elements() > 0) {
        // Elements without memory could only be reached through a null pointer.
        NXLOG_RECORD(nxlog_error, "nxArrayLinear<T>::InternalAttach, cannot attach (%zu) elements to a null pointer",
                     m_rankspecs.N_Elements());
        ok = false;
    }
    if (ok) {
        ok = SetMemoryManager(manager, ptr);
        ok = ConfigureMemoryLayout(ptr) && ok;
        if (ok && manager != nullptr && !manager->CheckMemoryRange(m_baseptr, LastAddressableLocation())) {
            NXLOG_RECORD(nxlog_error, "nxArrayLinear<T>::InternalAttach, the requested array is not within the bounds "
                                      "of the memory manager");
            ok = false;
        }
    }
    m_arrayisattached = ok;
    if (!ok) Detach();
    return ok;
}

template <class T>
bool nxArrayLinear<T>::ShallowCopy(const nxArrayLinear<T>& other)
{
    if (&other == this) return true;
    if (m_arrayisattached) {
        NXLOG_RECORD(nxlog_warning, "nxArrayLinear<T>::ShallowCopy, Cannot shallowCopy to an array that is attached "
                                    "to memory. Use Detach or erase before invoking ShallowCopy");
        Detach();   // a failed copy leaves the array empty, whatever the reason
        return false;
    }
    if (other.IsEmpty() || other.size() == 0) {
        erase();
        return true;
    }
    bool ok = m_rankspecs.ReshapeToMandatoryRank(true, MandatoryRankValue(), sizeof(T), other.m_rankspecs);
    if (!ok) {
        NXLOG_RECORD(nxlog_warning, "nxArrayLinear<T>::ShallowCopy, Cannot perform copy as there is a problem "
                                    "reshaping the memory layout to the desired dimensionality");
        erase();
    }
    else {
        InxMemoryManager<T>* oldmanager = m_manager;
        T*                   oldbase    = m_baseptr;
        m_manager                       = other.m_manager;
        m_arrayisattached               = other.m_arrayisattached;
        if (m_manager != nullptr) {
            m_manager->AddRef();
            m_manager->LockMemory();
        }
        ok = ConfigureMemoryLayout(other.m_baseptr);
        if (!ok) {
            NXLOG_RECORD(nxlog_warning,
                         "nxArrayLinear<T>::ShallowCopy, Error configuring memory layout.  Something is dysfunctional");
        }
        if (oldmanager != nullptr) {
            if (oldbase != nullptr) oldmanager->UnlockMemory();
            oldmanager->Release();
        }
    }
    if (!ok) Detach();
    return ok;
}

template <class T>
bool nxArrayLinear<T>::DeepCopy(const nxArrayLinear<T>& other, bool copyvalues)
{
    if (&other == this) return true;
    if (other.IsTemporary() && IsEmpty()) return ShallowCopy(other);

    bool ok;
    if (m_arrayisattached) {
        ok = (size() == other.size());
        if (!ok) {
            NXLOG_RECORD(nxlog_warning,
                         "nxArrayLinear<T>::DeepCopy, Cannot DeepCopy to an attached array that does not have the same "
                         "number of elements. This (attached) array has (%zu) elements while the other array has "
                         "(%zu) elements.",
                         size(), other.size());
        }
    }
    else {
        ok = SetSize(other.m_rankspecs.Rank(), other.m_rankspecs.Dims(), nullptr);
        if (!ok) NXLOG_RECORD(nxlog_warning, "nxArrayLinear<T>::DeepCopy, failed to due to memory allocation error");
    }
    if (ok && copyvalues) {
        // Both arrays are walked in logical order; an attached array of the
        // same count but another shape takes the values in that order.
        size_t n = std::min(size(), other.size());
        if (m_rankspecs.IsContiguous() && other.m_rankspecs.IsContiguous()) {
            if (n > 0 && m_baseptr != other.m_baseptr) {
                if constexpr (std::is_trivially_copyable<T>::value)
                    std::memmove(m_baseptr, other.m_baseptr, n * sizeof(T));
                else
                    std::copy(other.m_baseptr, other.m_baseptr + n, m_baseptr);
            }
        }
        else {
            nxArrayIter<T> dst = begin();
            nxArrayIter<T> src = other.begin();
            for (size_t i = 0; i < n; ++i, ++dst, ++src) *dst = *src;
        }
    }
    if (!ok) Detach();
    return ok;
}

template <class T>
void nxArrayLinear<T>::SetTo(const T& constant)
{
    if (m_baseptr == nullptr) return;
    if (m_rankspecs.IsContiguous()) {
        std::fill(m_baseptr, m_baseptr + size(), constant);
        return;
    }
    nxArrayIter<T> last = end();
    for (nxArrayIter<T> it = begin(); it != last; ++it) *it = constant;
}

extern template class nxArrayLinear<double>;
extern template class nxArrayLinear<int>;
extern template class nx1dArray<double>;
extern template class nx1dArray<int>;
extern template class nx2dArray<double>;
extern template class nx2dArray<int>;
extern template class nx3dArray<double>;
extern template class nx3dArray<int>;

// The element-wise operators belong with the arrays for every user.
#include "nxarraylib.h"
