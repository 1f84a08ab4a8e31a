// RankSpecification: layouts and flags, storage by rank, logical addressing,
// layout comparison and the reshaping rules.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "rankspecification.h"
#include "test_support.h"

namespace {

using Sizes = std::vector<size_t>;

Sizes DimsOf(const RankSpecification& rs) { return {rs.Dims(), rs.Dims() + rs.Rank()}; }
Sizes StridesOf(const RankSpecification& rs) { return {rs.Strides(), rs.Strides() + rs.Rank()}; }

RankSpecification Layout(Sizes dims, size_t elementsize, Sizes strides = {})
{
    RankSpecification rs;
    EXPECT_TRUE(rs.Configure(dims.size(), dims.data(), elementsize, strides.empty() ? nullptr : strides.data()));
    return rs;
}

struct FlagCase
{
    Sizes strides;
    bool  contiguous;
    bool  fixed;
};
class RankSpecificationFlags : public testing::TestWithParam<FlagCase>
{
};

}   // namespace

TEST_P(RankSpecificationFlags, StridesDecideContiguousAndFixed)
{
    const FlagCase&   c  = GetParam();
    RankSpecification rs = Layout({3, 4}, 8, c.strides);
    EXPECT_EQ(rs.N_Elements(), 12u);
    EXPECT_EQ(rs.IsContiguous(), c.contiguous);
    EXPECT_EQ(rs.IsFixedStride(), c.fixed);
    EXPECT_EQ(StridesOf(rs), c.strides.empty() ? Sizes({8, 24}) : c.strides);
}

INSTANTIATE_TEST_SUITE_P(Layouts, RankSpecificationFlags,
                         testing::Values(FlagCase{{}, true, true},           // computed contiguous
                                         FlagCase{{8, 24}, true, true},      // given contiguous
                                         FlagCase{{16, 48}, false, true},    // every second double
                                         FlagCase{{8, 32}, false, false}));  // padded rows

TEST(RankSpecification, EmptyAndZeroSizedLayouts)
{
    RankSpecification rs = Layout({3, 4}, 8);
    EXPECT_TRUE(rs.Configure(0, nullptr, 8, nullptr));
    EXPECT_EQ(rs.Rank(), 0u);
    EXPECT_EQ(rs.N_Elements(), 0u);
    EXPECT_FALSE(rs.IsContiguous() || rs.IsFixedStride());
    EXPECT_EQ(Layout({3, 0}, 8).N_Elements(), 0u);
}

TEST(RankSpecification, AmazinglyLargeRankIsRefused)
{
    CaptureLog        log;
    RankSpecification rs = Layout({3, 4}, 8);
    size_t            d  = 1;
    EXPECT_TRUE(rs.Configure(2000000001u, &d, 8, nullptr));
    EXPECT_EQ(rs.Rank() + rs.N_Elements(), 0u);
    EXPECT_EQ(log.Count(nxlog_warning, "RankSpecification::Configure, User has requested an amazingly large rank "
                                       "(2000000001), it has been set to 0"),
              1);
    // The limit itself passes the rank check (the missing dimensions then fail).
    EXPECT_FALSE(rs.Configure(2000000000u, nullptr, 8, nullptr));
    EXPECT_EQ(log.Count(nxlog_warning, "amazingly large rank"), 1);
}

TEST(RankSpecification, SizesThatOverflowAreRefused)
{
    CaptureLog log;
    Sizes      dims = {SIZE_MAX / 4, 8}, strides = {8, 8 * (SIZE_MAX / 4)};
    for (const size_t* s : {(const size_t*)nullptr, (const size_t*)strides.data()}) {
        RankSpecification rs = Layout({3, 4}, 8);
        EXPECT_FALSE(rs.Configure(2, dims.data(), 8, s));
        EXPECT_EQ(rs.Rank() + rs.N_Elements(), 0u);
    }
    EXPECT_EQ(log.Count(nxlog_error, "RankSpecification::AllocateSpace, Error allocating space for rank (2) layout"), 2);
}

TEST(RankSpecification, HeapStorageOnlyAboveRankThree)
{
    EXPECT_TRUE(Layout({2, 3, 4}, 8).IsInlineStorage());
    RankSpecification rs5 = Layout({2, 3, 4, 5, 6}, 4);
    EXPECT_FALSE(rs5.IsInlineStorage());
    EXPECT_EQ(StridesOf(rs5), (Sizes{4, 8, 24, 96, 480}));

    RankSpecification copy(rs5);   // its own heap arrays
    EXPECT_NE(copy.Dims(), rs5.Dims());
    EXPECT_TRUE(copy == rs5);
    // Reconfiguring from the layout's own heap arrays to a lower rank.
    EXPECT_TRUE(rs5.Configure(2, rs5.Dims(), 4, nullptr));
    EXPECT_TRUE(rs5.IsInlineStorage());
    EXPECT_EQ(DimsOf(rs5), (Sizes{2, 3}));
}

TEST(RankSpecification, LogicalToPointer)
{
    nxBYTE base[256];
    EXPECT_EQ(Layout({3, 4}, 8).LogicalToPointer(5, base), base + 40);   // x = 2, y = 1
    EXPECT_EQ(Layout({5}, 8, {16}).LogicalToPointer(3, base), base + 48);
    RankSpecification padded = Layout({3, 2}, 8, {8, 32});
    Sizes             offsets;
    for (size_t i = 0; i <= 6; ++i) offsets.push_back((size_t)(padded.LogicalToPointer(i, base) - base));
    EXPECT_EQ(offsets, (Sizes{0, 8, 16, 32, 40, 48, 64}));   // position N is the end
    EXPECT_EQ(Layout({2, 3, 4}, 4).LogicalToPointer(23, base), base + 92);
    // No elements: no division by a zero count.
    EXPECT_EQ(Layout({0, 3}, 8, {8, 32}).LogicalToPointer(2, base), base);
}

TEST(RankSpecification, IsSameLayout)
{
    RankSpecification rs = Layout({3, 4}, 8);
    size_t            d341[3] = {3, 4, 1}, d342[3] = {3, 4, 2}, s[2] = {8, 24}, ps[2] = {8, 32};
    EXPECT_TRUE(rs.IsSameLayout(3, d341, nullptr));
    EXPECT_TRUE(rs.IsSameLayout(2, d341, s));
    EXPECT_FALSE(rs.IsSameLayout(1, d341, nullptr));   // its own upper dimension 4 is not 1
    EXPECT_FALSE(rs.IsSameLayout(3, d342, nullptr));
    EXPECT_FALSE(rs.IsSameLayout(2, nullptr, nullptr));
    EXPECT_FALSE(RankSpecification().IsSameLayout(2, d341, nullptr));
    EXPECT_FALSE(Layout({3, 0}, 8).IsSameLayout(2, d341, nullptr));
    RankSpecification padded = Layout({3, 4}, 8, {8, 32});
    EXPECT_FALSE(padded.IsSameLayout(2, d341, nullptr));   // not contiguous
    EXPECT_TRUE(padded.IsSameLayout(2, d341, ps));
}

TEST(RankSpecification, ContiguousStorageSize)
{
    EXPECT_EQ(Layout({3, 4}, 8).GetContiguousStorageSize(8), 12u);
    EXPECT_EQ(Layout({5}, 8, {16}).GetContiguousStorageSize(8), 10u);
    EXPECT_EQ(Layout({3, 2}, 8, {8, 32}).GetContiguousStorageSize(8), 8u);
    EXPECT_EQ(Layout({3}, 8, {12}).GetContiguousStorageSize(8), 5u);   // 36 bytes, rounded up
    EXPECT_EQ(Layout({3, 4}, 8).GetContiguousStorageSize(0), 0u);
    EXPECT_EQ(RankSpecification().GetContiguousStorageSize(8), 0u);
}

TEST(RankSpecification, ReshapeToMandatoryRank)
{
    RankSpecification rs;
    EXPECT_TRUE(rs.ReshapeToMandatoryRank(false, 2, 8, Layout({4, 5, 6}, 8)));
    EXPECT_EQ(DimsOf(rs), (Sizes{4, 30}));
    EXPECT_EQ(StridesOf(rs), (Sizes{8, 32}));
    EXPECT_TRUE(rs.ReshapeToMandatoryRank(true, 3, 8, Layout({7}, 8)));
    EXPECT_EQ(DimsOf(rs), (Sizes{7, 1, 1}));
    EXPECT_EQ(StridesOf(rs), (Sizes{8, 56, 56}));

    RankSpecification self = Layout({3, 4}, 8, {16, 48});   // folding an even stride, onto itself
    EXPECT_TRUE(self.ReshapeToMandatoryRank(true, 1, 8, self));
    EXPECT_EQ(StridesOf(self), (Sizes{16}));
    EXPECT_TRUE(self.IsFixedStride() && !self.IsContiguous());

    EXPECT_TRUE(rs.ReshapeToMandatoryRank(true, 0, 8, Layout({2, 3, 4}, 8, {8, 32, 128})));   // exact copy
    EXPECT_EQ(StridesOf(rs), (Sizes{8, 32, 128}));
    EXPECT_TRUE(rs.ReshapeToMandatoryRank(true, 2, 8, RankSpecification()));
    EXPECT_EQ(rs.Rank(), 0u);
}

TEST(RankSpecification, FoldingUnevenStridesIsRefusedAndLeavesLayoutUnchanged)
{
    CaptureLog        log;
    RankSpecification rs = Layout({3, 4}, 8, {8, 32});
    EXPECT_FALSE(rs.ReshapeToMandatoryRank(true, 1, 8, rs));
    EXPECT_EQ(log.Count(nxlog_warning, "RankSpecification::ReshapeToMandatoryRank, Cannot reshape array to lower rank "
                                       "as upper dimensions do not have proper fixed stride"),
              1);
    EXPECT_EQ(StridesOf(rs), (Sizes{8, 32}));
    EXPECT_TRUE(rs.ReshapeToMandatoryRank(false, 1, 8, rs));   // laid out afresh instead
    EXPECT_EQ(DimsOf(rs), (Sizes{12}));
}

TEST(RankSpecification, Reshape)
{
    RankSpecification rs = Layout({3, 4}, 8);
    size_t            d26[2] = {2, 6}, d25[2] = {2, 5};
    EXPECT_TRUE(rs.Reshape(2, d26));
    EXPECT_EQ(StridesOf(rs), (Sizes{8, 16}));
    EXPECT_FALSE(rs.Reshape(2, d25));
    EXPECT_EQ(DimsOf(rs), (Sizes{2, 6}));

    // An evenly strided layout keeps its step and is still not contiguous.
    RankSpecification fixed = Layout({12}, 8, {16});
    EXPECT_TRUE(fixed.Reshape(2, d26));
    EXPECT_EQ(StridesOf(fixed), (Sizes{16, 32}));
    EXPECT_TRUE(fixed.IsFixedStride() && !fixed.IsContiguous());

    RankSpecification padded = Layout({3, 4}, 8, {8, 32});
    EXPECT_FALSE(padded.Reshape(2, d26));
    EXPECT_TRUE(padded == Layout({3, 4}, 8));   // equality ignores strides
}
