#include "rankspecification.h"

#include <cstring>
#include <new>

#include "nxlog.h"

namespace {

// a × b, false when the product does not fit in a size_t.
inline bool CheckedMultiply(size_t a, size_t b, size_t* result) { return !__builtin_mul_overflow(a, b, result); }

inline bool CheckedAdd(size_t a, size_t b, size_t* result) { return !__builtin_add_overflow(a, b, result); }

// Working storage of n entries: inline for the ranks the system uses, heap
// otherwise. `p` is null when a heap request failed.
class SizeBuffer
{
  private:
    size_t  m_local[3];
    size_t* m_heap;

  public:
    size_t* p;

    explicit SizeBuffer(size_t n) : m_local{0, 0, 0}, m_heap(nullptr), p(m_local)
    {
        if (n > 3) {
            m_heap = new (std::nothrow) size_t[n];
            p      = m_heap;
        }
    }
    ~SizeBuffer() { delete[] m_heap; }
    SizeBuffer(const SizeBuffer&)            = delete;
    SizeBuffer& operator=(const SizeBuffer&) = delete;
};

}   // namespace

// ---------------------------------------------------------------------------
RankSpecification::RankSpecification() : m_dims(m_staticdims), m_strides(m_staticstrides) { init(); }

RankSpecification::RankSpecification(const RankSpecification& other)
    : m_dims(m_staticdims), m_strides(m_staticstrides)
{
    init();
    CopyOther(other);
}

RankSpecification::~RankSpecification() { ReleaseResources(); }

RankSpecification& RankSpecification::operator=(const RankSpecification& other)
{
    CopyOther(other);
    return *this;
}

void RankSpecification::init()
{
    m_flags     = RS_UNDEFINED;
    m_rank      = 0;
    m_nelements = 0;
    m_dims      = m_staticdims;
    m_strides   = m_staticstrides;
    for (int i = 0; i < 3; ++i) {
        m_staticdims[i]    = 0;
        m_staticstrides[i] = 0;
    }
}

void RankSpecification::ReleaseResources()
{
    if (!UsesInlineStorage()) {
        delete[] m_dims;
        delete[] m_strides;
    }
    init();
}

void RankSpecification::Erase() { ReleaseResources(); }

bool RankSpecification::AllocateSpace()
{
    if (m_rank <= 3) {
        if (!UsesInlineStorage()) {
            delete[] m_dims;
            delete[] m_strides;
        }
        m_dims    = m_staticdims;
        m_strides = m_staticstrides;
        return true;
    }
    if (!UsesInlineStorage()) return true;   // already on the heap for this rank
    size_t* dims    = new (std::nothrow) size_t[m_rank];
    size_t* strides = new (std::nothrow) size_t[m_rank];
    if (dims == nullptr || strides == nullptr) {
        delete[] dims;
        delete[] strides;
        NXLOG_RECORD(nxlog_error, "RankSpecification::AllocateSpace, Error allocating space for rank (%zu) layout",
                     m_rank);
        init();
        return false;
    }
    for (size_t i = 0; i < m_rank; ++i) {
        dims[i]    = 0;
        strides[i] = 0;
    }
    m_dims    = dims;
    m_strides = strides;
    return true;
}

bool RankSpecification::AllocateUninitializedSpace(size_t rank)
{
    ReleaseResources();
    m_rank = rank;
    return AllocateSpace();
}

bool RankSpecification::CopyOther(const RankSpecification& other)
{
    if (&other == this) return true;
    if (!AllocateUninitializedSpace(other.m_rank)) return false;
    m_flags     = other.m_flags;
    m_nelements = other.m_nelements;
    if (m_rank == 0) {
        m_dims[0]    = other.m_dims[0];
        m_strides[0] = other.m_strides[0];
    }
    for (size_t i = 0; i < m_rank; ++i) {
        m_dims[i]    = other.m_dims[i];
        m_strides[i] = other.m_strides[i];
    }
    return true;
}

// ---------------------------------------------------------------------------
// The new layout is worked out in storage of its own before the old one is
// released, so the dimension and stride arrays may be this object's own.
bool RankSpecification::Configure(size_t rank, const size_t* dims, size_t elementsize, const size_t* strides)
{
    m_flags = RS_UNDEFINED;
    if (rank > MAX_RANK) {
        NXLOG_RECORD(nxlog_warning,
                     "RankSpecification::Configure, User has requested an amazingly large rank (%zu), it has been "
                     "set to 0",
                     rank);
        rank = 0;
    }
    if (rank == 0) {
        ReleaseResources();
        return true;
    }
    if (dims == nullptr) {
        NXLOG_RECORD(nxlog_error, "RankSpecification::Configure, no dimensions were given for a rank (%zu) layout",
                     rank);
        ReleaseResources();
        return false;
    }

    SizeBuffer newdims(rank);
    SizeBuffer newstrides(rank);
    if (newdims.p == nullptr || newstrides.p == nullptr) {
        NXLOG_RECORD(nxlog_error, "RankSpecification::AllocateSpace, Error allocating space for rank (%zu) layout",
                     rank);
        ReleaseResources();
        return false;
    }

    // A dimension of 0 makes the count 0 whatever the others are.
    bool haszero = false;
    for (size_t i = 0; i < rank; ++i)
        if (dims[i] == 0) haszero = true;

    bool   fits  = true;   // every size and byte span is representable
    size_t count = 1;
    nxWORD flags = RS_UNDEFINED;
    if (strides == nullptr) {
        size_t p = elementsize;
        for (size_t i = 0; i < rank; ++i) {
            newdims.p[i]    = dims[i];
            newstrides.p[i] = p;
            fits            = fits && CheckedMultiply(p, dims[i], &p);
            if (!haszero) fits = fits && CheckedMultiply(count, dims[i], &count);
        }
        flags = RS_ISCONTIG | RS_ISFIXED;
    }
    else {
        size_t c        = elementsize;
        size_t f        = strides[0];
        bool   contig   = true;
        bool   fixed    = true;
        bool   cvalid   = true;
        bool   fvalid   = true;
        size_t lastbyte = 0;   // byte offset of the element with the highest indices
        for (size_t i = 0; i < rank; ++i) {
            newdims.p[i]    = dims[i];
            newstrides.p[i] = strides[i];
            if (!cvalid || strides[i] != c) contig = false;
            if (!fvalid || strides[i] != f) fixed = false;
            cvalid = cvalid && CheckedMultiply(c, dims[i], &c);
            fvalid = fvalid && CheckedMultiply(f, dims[i], &f);
            if (!haszero) {
                size_t span;
                fits = fits && CheckedMultiply(count, dims[i], &count);
                fits = fits && CheckedMultiply(dims[i] - 1, strides[i], &span) && CheckedAdd(lastbyte, span, &lastbyte);
            }
        }
        size_t topspan;
        fits = fits && CheckedMultiply(dims[rank - 1], strides[rank - 1], &topspan);
        if (contig) flags |= RS_ISCONTIG;
        if (fixed) flags |= RS_ISFIXED;
    }
    if (haszero) count = 0;
    if (!fits) {
        // A layout whose size cannot be represented can never be given memory.
        NXLOG_RECORD(nxlog_error, "RankSpecification::AllocateSpace, Error allocating space for rank (%zu) layout",
                     rank);
        ReleaseResources();
        return false;
    }

    ReleaseResources();
    m_rank = rank;
    if (!AllocateSpace()) return false;
    for (size_t i = 0; i < rank; ++i) {
        m_dims[i]    = newdims.p[i];
        m_strides[i] = newstrides.p[i];
    }
    m_nelements = count;
    m_flags     = flags;
    return true;
}

// ---------------------------------------------------------------------------
nxBYTE* RankSpecification::LogicalToPointer(size_t logical, nxBYTE* base) const
{
    if (m_rank == 0 || m_nelements == 0) return base;   // no element to point at
    if (m_rank == 1) return base + logical * m_strides[0];

    size_t L      = logical;
    size_t c      = m_nelements / m_dims[m_rank - 1];
    size_t offset = 0;
    for (size_t i = m_rank - 1; i >= 1; --i) {
        size_t index = L / c;
        offset += index * m_strides[i];
        L = L % c;
        c = c / m_dims[i - 1];
    }
    offset += L * m_strides[0];
    return base + offset;
}

bool RankSpecification::IsSameLayout(size_t rank, const size_t* dims, const size_t* strides) const
{
    if (dims == nullptr || rank == 0 || m_nelements == 0) return false;
    size_t n = (rank < m_rank) ? rank : m_rank;
    if (strides == nullptr) {
        if (!IsContiguous()) return false;
        for (size_t i = 0; i < n; ++i)
            if (dims[i] != m_dims[i]) return false;
    }
    else {
        for (size_t i = 0; i < n; ++i)
            if (dims[i] != m_dims[i] || strides[i] != m_strides[i]) return false;
    }
    for (size_t i = n; i < rank; ++i)
        if (dims[i] != 1) return false;
    for (size_t i = n; i < m_rank; ++i)
        if (m_dims[i] != 1) return false;
    return true;
}

size_t RankSpecification::GetContiguousStorageSize(size_t elementsize) const
{
    if (elementsize == 0 || m_rank == 0) return 0;
    size_t span = m_dims[m_rank - 1] * m_strides[m_rank - 1];   // representable: checked by Configure
    return span / elementsize + ((span % elementsize) != 0 ? 1 : 0);
}

bool RankSpecification::operator==(const RankSpecification& other) const
{
    if (m_nelements != other.m_nelements || m_rank != other.m_rank) return false;
    for (size_t i = 0; i < m_rank; ++i)
        if (m_dims[i] != other.m_dims[i]) return false;
    return true;
}

// ---------------------------------------------------------------------------
void RankSpecification::ComputeMismatchedDimensions(size_t m, const RankSpecification& other, size_t* dims)
{
    size_t r = other.m_rank;
    if (m <= r) {
        for (size_t i = 0; i + 1 < m; ++i) dims[i] = other.m_dims[i];
        size_t top = 1;
        for (size_t k = m - 1; k < r; ++k) top *= other.m_dims[k];
        dims[m - 1] = top;
    }
    else {
        for (size_t i = 0; i < r; ++i) dims[i] = other.m_dims[i];
        for (size_t i = r; i < m; ++i) dims[i] = 1;
    }
}

bool RankSpecification::ComputeMismatchedStrides(size_t m, const RankSpecification& other, size_t* strides)
{
    size_t r = other.m_rank;
    if (m <= r) {
        for (size_t i = 0; i < m; ++i) strides[i] = other.m_strides[i];
        // The folded dimensions must continue the stride of dimension m-1 evenly.
        size_t expected = other.m_strides[m - 1];
        bool   valid    = true;
        for (size_t k = m; k < r; ++k) {
            valid = valid && CheckedMultiply(expected, other.m_dims[k - 1], &expected);
            if (!valid || other.m_strides[k] != expected) return false;
        }
        return true;
    }
    for (size_t i = 0; i < r; ++i) strides[i] = other.m_strides[i];
    size_t upper;
    if (!CheckedMultiply(other.m_strides[r - 1], other.m_dims[r - 1], &upper)) return false;
    for (size_t i = r; i < m; ++i) strides[i] = upper;
    return true;
}

bool RankSpecification::CopyMismatchedDimensions(size_t targetrank, const RankSpecification& other)
{
    if (targetrank == 0 || other.m_rank == 0 || Capacity() < targetrank) return false;
    SizeBuffer dims(targetrank);
    if (dims.p == nullptr) return false;
    ComputeMismatchedDimensions(targetrank, other, dims.p);
    for (size_t i = 0; i < targetrank; ++i) m_dims[i] = dims.p[i];
    return true;
}

bool RankSpecification::CopyMismatchedStrides(size_t targetrank, const RankSpecification& other)
{
    if (targetrank == 0 || other.m_rank == 0 || Capacity() < targetrank) return false;
    SizeBuffer strides(targetrank);
    if (strides.p == nullptr || !ComputeMismatchedStrides(targetrank, other, strides.p)) return false;
    for (size_t i = 0; i < targetrank; ++i) m_strides[i] = strides.p[i];
    return true;
}

bool RankSpecification::ReshapeToMandatoryRank(bool keepstrides, int mandatoryrank, size_t elementsize,
                                               const RankSpecification& other)
{
    size_t r = other.m_rank;
    if (mandatoryrank > 0 && r != 0 && r != (size_t)mandatoryrank) {
        size_t     m = (size_t)mandatoryrank;
        SizeBuffer dims(m);
        SizeBuffer strides(m);
        if (dims.p == nullptr || strides.p == nullptr) {
            NXLOG_RECORD(nxlog_error,
                         "RankSpecification::AllocateSpace, Error allocating space for rank (%zu) layout", m);
            return false;
        }
        ComputeMismatchedDimensions(m, other, dims.p);
        if (keepstrides && !ComputeMismatchedStrides(m, other, strides.p)) {
            NXLOG_RECORD(nxlog_warning,
                         "RankSpecification::ReshapeToMandatoryRank, Cannot reshape array to lower rank as upper "
                         "dimensions do not have proper fixed stride");
            return false;
        }
        return Configure(m, dims.p, elementsize, keepstrides ? strides.p : nullptr);
    }
    return CopyOther(other);
}

bool RankSpecification::Reshape(size_t rank, const size_t* dims)
{
    if (!(IsContiguous() || IsFixedStride()) || rank == 0 || dims == nullptr) return false;
    size_t count = 1;
    bool   fits  = true;
    bool   zero  = false;
    for (size_t i = 0; i < rank; ++i) {
        if (dims[i] == 0) zero = true;
        fits = fits && CheckedMultiply(count, dims[i], &count);
    }
    if (zero) count = 0;
    else if (!fits) return false;
    if (count != m_nelements) return false;

    // The old first stride becomes the step between consecutive elements. A
    // layout that was evenly strided but not contiguous stays so: its step is
    // wider than its elements.
    size_t elementstep = Stride();
    bool   wascontig   = IsContiguous();
    if (Configure(rank, dims, elementstep, nullptr)) {
        if (!wascontig) m_flags &= (nxWORD)~RS_ISCONTIG;
    }
    else {
        NXLOG_RECORD(nxlog_warning,
                     "RankSpecification::Reshape, abnormal memory re-shaping error, erasing whole "
                     "rank-specification. This may cause knock on problems");
        Erase();
        return false;
    }
    return true;
}
