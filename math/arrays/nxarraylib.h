#pragma once
// Element-wise operations on whole arrays, walking every element once in
// logical order (index 0 fastest) whatever the memory layout: a += b adds
// arrays of the same element count, a *= v scales an array.
#include <cstddef>

#include "nxarraylinear.h"
#include "nxlog.h"

// Keeps the scalar of operator*= out of template argument deduction, so that
// `a *= 2` works on an array of doubles.
template <class T>
struct nxArrayScalar
{
    typedef T type;
};

template <class T>
nxArrayLinear<T>& operator+=(nxArrayLinear<T>& a, const nxArrayLinear<T>& b)
{
    size_t n = a.size();
    if (n != b.size()) {
        NXLOG_RECORD(nxlog_warning, "nxArrayLinearUnaryAssignment, arrays are not the same size, operation not performed");
        return a;
    }
    if (n == 0 || a.IsEmpty() || b.IsEmpty()) return a;
    if (a.ArrayRankSpecs()->IsContiguous() && b.ArrayRankSpecs()->IsContiguous()) {
        T*       pa = a.UnsafeArrayBasePtr();
        const T* pb = b.UnsafeArrayBasePtr();
        for (size_t i = 0; i < n; ++i) pa[i] += pb[i];
        return a;
    }
    nxArrayIter<T> ia   = a.begin();
    nxArrayIter<T> last = a.end();
    nxArrayIter<T> ib   = b.begin();
    for (size_t i = 0; i < n && ia != last; ++i, ++ia, ++ib) *ia += *ib;
    return a;
}

template <class T>
nxArrayLinear<T>& operator*=(nxArrayLinear<T>& a, typename nxArrayScalar<T>::type value)
{
    if (a.IsEmpty()) return a;
    if (a.ArrayRankSpecs()->IsContiguous()) {
        T*     pa = a.UnsafeArrayBasePtr();
        size_t n  = a.size();
        for (size_t i = 0; i < n; ++i) pa[i] *= value;
        return a;
    }
    nxArrayIter<T> last = a.end();
    for (nxArrayIter<T> ia = a.begin(); ia != last; ++ia) *ia *= value;
    return a;
}
