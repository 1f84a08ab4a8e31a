#pragma once
// RankSpecification: the shape and memory layout of one N-dimensional array.
// It records the rank, the size of every dimension, the byte stride along every
// dimension, the element count and whether the layout is contiguous or evenly
// strided. It owns no element memory. Dimension 0 varies fastest.
#include <cstddef>

#include "nxbase.h"

class RankSpecification
{
  public:
    enum MemoryLayout { RS_UNDEFINED = 0, RS_ISCONTIG = 1, RS_ISFIXED = 2 };

    // Ranks above this value are refused by Configure.
    static constexpr size_t MAX_RANK = 2000000000;

  private:
    nxWORD  m_flags;
    size_t  m_rank;
    size_t  m_nelements;
    size_t* m_dims;
    size_t* m_strides;
    size_t  m_staticdims[3];
    size_t  m_staticstrides[3];

  private:
    bool   UsesInlineStorage() const { return m_dims == m_staticdims; }
    size_t Capacity() const { return UsesInlineStorage() ? 3 : m_rank; }

    // The reshaping rules, written into caller supplied arrays of `targetrank`
    // entries so that `other` may be this object.
    static void ComputeMismatchedDimensions(size_t targetrank, const RankSpecification& other, size_t* dims);
    static bool ComputeMismatchedStrides(size_t targetrank, const RankSpecification& other, size_t* strides);

  public:
    RankSpecification();
    RankSpecification(const RankSpecification& other);
    ~RankSpecification();
    RankSpecification& operator=(const RankSpecification& other);

    void init();
    bool CopyOther(const RankSpecification& other);
    bool Configure(size_t rank, const size_t* dims, size_t elementsize, const size_t* strides);
    void Erase();

    size_t        Rank() const { return m_rank; }
    const size_t* Dims() const { return m_dims; }
    const size_t* Strides() const { return m_strides; }
    size_t        Stride() const { return m_strides[0]; }
    size_t        N_Elements() const { return m_nelements; }
    bool          IsContiguous() const { return (m_flags & RS_ISCONTIG) != 0; }
    bool          IsFixedStride() const { return (m_flags & RS_ISFIXED) != 0; }
    nxWORD        Flags() const { return m_flags; }
    size_t*       UnsafeDims() { return m_dims; }
    size_t*       UnsafeStrides() { return m_strides; }
    // Whether the dimension and stride arrays live inside the object (ranks 0 to 3).
    bool IsInlineStorage() const { return UsesInlineStorage(); }

    nxBYTE* LogicalToPointer(size_t logical, nxBYTE* base) const;
    bool    IsSameLayout(size_t rank, const size_t* dims, const size_t* strides) const;
    size_t  GetContiguousStorageSize(size_t elementsize) const;
    bool    ReshapeToMandatoryRank(bool keepstrides, int mandatoryrank, size_t elementsize,
                                   const RankSpecification& other);
    bool    CopyMismatchedDimensions(size_t targetrank, const RankSpecification& other);
    bool    CopyMismatchedStrides(size_t targetrank, const RankSpecification& other);
    bool    operator==(const RankSpecification& other) const;
    bool    Reshape(size_t rank, const size_t* dims);

    bool AllocateSpace();
    bool AllocateUninitializedSpace(size_t rank);
    void ReleaseResources();
};
