#pragma once
// Iterators over the elements of an array in logical order (index 0 fastest),
// whatever the memory layout. nxArrayIterCore steps through contiguous
// layouts, nxArrayIterFixedStride through evenly strided ones and
// nxArrayIterVariableStride through any other layout via
// RankSpecification::LogicalToPointer. nxArrayIter, the iterator the arrays
// hand out, holds one of each by value and forwards to the one that fits.
#include <cstddef>

#include "nxbase.h"
#include "nxlog.h"
#include "rankspecification.h"

template <class T>
class nxArrayIterCore
{
  protected:
    T* m_pointer;

  public:
    nxArrayIterCore() : m_pointer(nullptr) {}
    virtual ~nxArrayIterCore() {}

    // A layout that is not contiguous cannot be walked element by element:
    // the iterator is then left at null so that it visits nothing.
    virtual void Configure(nxBYTE* basepointer, const RankSpecification* rank)
    {
        if (rank == nullptr || !rank->IsContiguous()) {
            NXLOG_RECORD(nxlog_error, "nxArrayIterCore::Configure, Rank is not contiguous");
            m_pointer = nullptr;
            return;
        }
        m_pointer = reinterpret_cast<T*>(basepointer);
    }
    virtual nxArrayIterCore& operator++()
    {
        ++m_pointer;
        return *this;
    }
    virtual nxArrayIterCore& operator--()
    {
        --m_pointer;
        return *this;
    }
    virtual nxArrayIterCore& operator+=(size_t n)
    {
        m_pointer += n;
        return *this;
    }
    virtual nxArrayIterCore& operator-=(size_t n)
    {
        m_pointer -= n;
        return *this;
    }
    virtual T&     operator[](size_t n) { return m_pointer[n]; }
    virtual size_t operator-(const nxArrayIterCore& other) const { return (size_t)(m_pointer - other.m_pointer); }

    T*   Pointer() const { return m_pointer; }
    T&   operator*() const { return *m_pointer; }
    bool operator<(const nxArrayIterCore& other) const { return m_pointer < other.m_pointer; }
    bool operator>(const nxArrayIterCore& other) const { return m_pointer > other.m_pointer; }
    bool operator<=(const nxArrayIterCore& other) const { return m_pointer <= other.m_pointer; }
    bool operator>=(const nxArrayIterCore& other) const { return m_pointer >= other.m_pointer; }
    bool operator==(const nxArrayIterCore& other) const { return m_pointer == other.m_pointer; }
    bool operator!=(const nxArrayIterCore& other) const { return m_pointer != other.m_pointer; }
};

// ---------------------------------------------------------------------------
template <class T>
class nxArrayIterFixedStride : public nxArrayIterCore<T>
{
  private:
    size_t m_stride;   // bytes between consecutive elements

    T* Step(T* p, size_t n, bool forward) const
    {
        nxBYTE* b = reinterpret_cast<nxBYTE*>(p);
        return reinterpret_cast<T*>(forward ? b + n * m_stride : b - n * m_stride);
    }

  public:
    nxArrayIterFixedStride() : m_stride(0) {}

    void Configure(nxBYTE* basepointer, const RankSpecification* rank) override
    {
        this->m_pointer = reinterpret_cast<T*>(basepointer);
        m_stride        = (rank != nullptr && rank->Rank() > 0) ? rank->Stride() : 0;
    }
    nxArrayIterCore<T>& operator++() override
    {
        this->m_pointer = Step(this->m_pointer, 1, true);
        return *this;
    }
    nxArrayIterCore<T>& operator--() override
    {
        this->m_pointer = Step(this->m_pointer, 1, false);
        return *this;
    }
    nxArrayIterCore<T>& operator+=(size_t n) override
    {
        this->m_pointer = Step(this->m_pointer, n, true);
        return *this;
    }
    nxArrayIterCore<T>& operator-=(size_t n) override
    {
        this->m_pointer = Step(this->m_pointer, n, false);
        return *this;
    }
    T& operator[](size_t n) override { return *Step(this->m_pointer, n, true); }
    size_t operator-(const nxArrayIterCore<T>& other) const override
    {
        if (m_stride == 0) return 0;
        ptrdiff_t bytes = reinterpret_cast<const nxBYTE*>(this->m_pointer) -
                          reinterpret_cast<const nxBYTE*>(other.Pointer());
        return (size_t)(bytes / (ptrdiff_t)m_stride);
    }
};

// ---------------------------------------------------------------------------
template <class T>
class nxArrayIterVariableStride : public nxArrayIterCore<T>
{
  private:
    size_t                   m_logicalposition;
    nxBYTE*                  m_basepointer;
    const RankSpecification* m_rankspec;

  public:
    nxArrayIterVariableStride() : m_logicalposition(0), m_basepointer(nullptr), m_rankspec(nullptr) {}

    void UpdatePointer()
    {
        if (m_rankspec == nullptr) return;
        this->m_pointer = reinterpret_cast<T*>(m_rankspec->LogicalToPointer(m_logicalposition, m_basepointer));
    }
    size_t LogicalPosition() const { return m_logicalposition; }

    void Configure(nxBYTE* basepointer, const RankSpecification* rank) override
    {
        m_basepointer     = basepointer;
        this->m_pointer   = reinterpret_cast<T*>(basepointer);
        m_rankspec        = rank;
        m_logicalposition = 0;
    }
    nxArrayIterCore<T>& operator++() override
    {
        ++m_logicalposition;
        UpdatePointer();
        return *this;
    }
    nxArrayIterCore<T>& operator--() override
    {
        --m_logicalposition;
        UpdatePointer();
        return *this;
    }
    nxArrayIterCore<T>& operator+=(size_t n) override
    {
        m_logicalposition += n;
        UpdatePointer();
        return *this;
    }
    nxArrayIterCore<T>& operator-=(size_t n) override
    {
        m_logicalposition -= n;
        UpdatePointer();
        return *this;
    }
    T& operator[](size_t n) override
    {
        if (m_rankspec == nullptr) return *this->m_pointer;
        return *reinterpret_cast<T*>(m_rankspec->LogicalToPointer(m_logicalposition + n, m_basepointer));
    }
    size_t operator-(const nxArrayIterCore<T>& other) const override
    {
        const nxArrayIterVariableStride* o = dynamic_cast<const nxArrayIterVariableStride*>(&other);
        return (o != nullptr) ? m_logicalposition - o->m_logicalposition : 0;
    }
};

// ---------------------------------------------------------------------------
template <class T>
class nxArrayIter
{
  private:
    nxArrayIterCore<T>           m_contiguous;
    nxArrayIterFixedStride<T>    m_fixedstride;
    nxArrayIterVariableStride<T> m_variablestride;
    nxArrayIterCore<T>*          m_iterimp;

    // The member of this object that plays the role `other` plays in its own.
    nxArrayIterCore<T>* MatchingMember(const nxArrayIter& other)
    {
        if (other.m_iterimp == &other.m_fixedstride) return &m_fixedstride;
        if (other.m_iterimp == &other.m_variablestride) return &m_variablestride;
        return &m_contiguous;
    }

  public:
    nxArrayIter() : m_iterimp(&m_contiguous) {}

    nxArrayIter(nxBYTE* basepointer, const RankSpecification* rank) : m_iterimp(&m_contiguous)
    {
        if (rank != nullptr && rank->IsContiguous()) m_iterimp = &m_contiguous;
        else if (rank != nullptr && rank->IsFixedStride()) m_iterimp = &m_fixedstride;
        else m_iterimp = &m_variablestride;
        m_iterimp->Configure(basepointer, rank);
    }

    nxArrayIter(const nxArrayIter& other)
        : m_contiguous(other.m_contiguous), m_fixedstride(other.m_fixedstride),
          m_variablestride(other.m_variablestride), m_iterimp(nullptr)
    {
        m_iterimp = MatchingMember(other);
    }

    nxArrayIter& operator=(const nxArrayIter& other)
    {
        if (this != &other) {
            m_contiguous     = other.m_contiguous;
            m_fixedstride    = other.m_fixedstride;
            m_variablestride = other.m_variablestride;
            m_iterimp        = MatchingMember(other);
        }
        return *this;
    }

    T* Pointer() const { return m_iterimp->Pointer(); }
    T& operator*() const { return **m_iterimp; }
    T& operator[](size_t n) { return (*m_iterimp)[n]; }

    nxArrayIter& operator++()
    {
        ++(*m_iterimp);
        return *this;
    }
    nxArrayIter operator++(int)
    {
        nxArrayIter before(*this);
        ++(*m_iterimp);
        return before;
    }
    nxArrayIter& operator--()
    {
        --(*m_iterimp);
        return *this;
    }
    nxArrayIter operator--(int)
    {
        nxArrayIter before(*this);
        --(*m_iterimp);
        return before;
    }
    nxArrayIter& operator+=(size_t n)
    {
        *m_iterimp += n;
        return *this;
    }
    nxArrayIter& operator-=(size_t n)
    {
        *m_iterimp -= n;
        return *this;
    }
    nxArrayIter operator+(size_t n) const
    {
        nxArrayIter result(*this);
        result += n;
        return result;
    }
    nxArrayIter operator-(size_t n) const
    {
        nxArrayIter result(*this);
        result -= n;
        return result;
    }
    size_t operator-(const nxArrayIter& other) const { return *m_iterimp - *other.m_iterimp; }

    bool operator==(const nxArrayIter& other) const { return *m_iterimp == *other.m_iterimp; }
    bool operator!=(const nxArrayIter& other) const { return *m_iterimp != *other.m_iterimp; }
    bool operator<(const nxArrayIter& other) const { return *m_iterimp < *other.m_iterimp; }
    bool operator>(const nxArrayIter& other) const { return *m_iterimp > *other.m_iterimp; }
    bool operator<=(const nxArrayIter& other) const { return *m_iterimp <= *other.m_iterimp; }
    bool operator>=(const nxArrayIter& other) const { return *m_iterimp >= *other.m_iterimp; }
};

extern template class nxArrayIterCore<double>;
extern template class nxArrayIterFixedStride<double>;
extern template class nxArrayIterVariableStride<double>;
extern template class nxArrayIter<double>;
extern template class nxArrayIterCore<int>;
extern template class nxArrayIterFixedStride<int>;
extern template class nxArrayIterVariableStride<int>;
extern template class nxArrayIter<int>;
