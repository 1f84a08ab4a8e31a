// Window levels, window mappings, the window hierarchy and L1C flat indexing.
#include <gtest/gtest.h>

#include <climits>
#include <tuple>
#include <type_traits>

#include "test_support.h"
#include "windowbinning.h"

namespace
{
const char* kAscent = "WindowMapping::MappingToUpperLevel, failed to find target parent during ascent of linked list";

Coords At(int x, int y, WindowMappingType t = WINDOW_DETECTOR) { return Coords(y, x, t); }
#define EXPECT_XY(c, ex, ey)   \
    do {                       \
        EXPECT_EQ((c).x, (ex)); \
        EXPECT_EQ((c).y, (ey)); \
    } while (0)

// A 40 x 30 detector window, and a science window placed and binned in it.
struct Pair
{
    WindowMapping parent{WINDOW_DETECTOR, At(0, 0, WINDOW_NOOF), At(1, 1, WINDOW_NOOF), At(40, 30), nullptr};
    WindowMapping child;
    Pair(int ofsx, int ofsy, int binx, int biny, int numx, int numy)
        : child(WINDOW_SCIENCE, At(ofsx, ofsy), At(binx, biny), At(numx, numy, WINDOW_SCIENCE), &parent)
    {
    }
};

// SOFS (3, 4), LBIN (2, 1), KBIN (2, 3): L1C pixels of 4 x 3 detector pixels.
struct Example
{
    WindowMappingHierarchy h{100, 90, 5, 6, 80, 70, 2, 1, 60, 50, 3, 4, 20, 24, 2, 1, 10, 24, 2, 3, 5, 8};
};
}   // namespace

TEST(WindowMappingType, FromIntegerKeepsOnlyTheInnerLevels)
{
    for (int v = 2; v <= 6; ++v) EXPECT_EQ(WindowMappingType_From_Integer(v), v);
    for (int v : {1, 7, 0, -1, INT_MIN}) EXPECT_EQ(WindowMappingType_From_Integer(v), WINDOW_UNDEFINED) << v;
    EXPECT_EQ(sizeof(WindowMappingType), 4u);
}

TEST(WindowMapping, FromParentTruncatesTowardZeroAndChecksTheOffset)
{
    Pair   w(10, 10, 2, 3, 5, 5);
    Coords p;
    for (int px : {10, 11}) EXPECT_TRUE(w.child.FromParentWindow(At(px, 10), &p, true)) << px;
    EXPECT_EQ(p.x, 0);
    EXPECT_EQ(p.windowtype, WINDOW_SCIENCE);
    EXPECT_TRUE(w.child.FromParentWindow(At(12, 10), &p, true));
    EXPECT_EQ(p.x, 1);
    // One bin before the offset truncates to 0: accepted unchecked, refused checked but still written.
    EXPECT_TRUE(w.child.FromParentWindow(At(9, 8), &p, false));
    EXPECT_XY(p, 0, 0);
    p = Coords();
    EXPECT_FALSE(w.child.FromParentWindow(At(9, 8), &p, true));
    EXPECT_XY(p, 0, 0);
    // dx = -3, dy = -5: (-1, -1), where floor would give (-2, -2).
    EXPECT_TRUE(w.child.FromParentWindow(At(7, 5), &p, false));
    EXPECT_XY(p, -1, -1);
}

TEST(WindowMapping, BoundsAtTheLastPixelAndOnePast)
{
    Pair   w(2, 3, 2, 2, 4, 3);
    Coords p;
    EXPECT_TRUE(w.child.FromParentWindow(At(2 + 7, 3 + 5), &p, true));
    EXPECT_XY(p, 3, 2);
    EXPECT_FALSE(w.child.FromParentWindow(At(2 + 8, 3 + 5), &p, true));
    EXPECT_FALSE(w.child.FromParentWindow(At(2 + 7, 3 + 6), &p, true));

    Pair   big(0, 0, 1, 1, 100, 100);   // larger than its parent
    Coords q;
    EXPECT_TRUE(big.child.ToParentWindow(At(39, 29, WINDOW_SCIENCE), &q, true));
    EXPECT_EQ(q.windowtype, WINDOW_DETECTOR);
    EXPECT_FALSE(big.child.ToParentWindow(At(40, 29, WINDOW_SCIENCE), &q, true));
    EXPECT_FALSE(big.child.ToParentWindow(At(39, 30, WINDOW_SCIENCE), &q, true));
    EXPECT_FALSE(big.child.ToParentWindow(At(-1, 0, WINDOW_SCIENCE), &q, true));
    EXPECT_TRUE(big.child.ToParentWindow(At(40, 30, WINDOW_SCIENCE), &q, false));
    EXPECT_XY(q, 40, 30);
    // Without a parent only the lower bounds apply.
    EXPECT_TRUE(big.parent.ToParentWindow(At(5000, 5000), &q, true));
    EXPECT_FALSE(big.parent.ToParentWindow(At(0, -1), &q, true));
}

class WindowRoundTrip : public ::testing::TestWithParam<std::tuple<int, int, int, int>>
{
};

TEST_P(WindowRoundTrip, EveryPixelAndEveryParentPixelOfItsBin)
{
    const auto [ofsx, ofsy, binx, biny] = GetParam();
    const int numx = (40 - ofsx) / binx, numy = (30 - ofsy) / biny;
    Pair      w(ofsx, ofsy, binx, biny, numx, numy);
    for (int x = 0; x < numx; ++x)
        for (int y = 0; y < numy; ++y)
        {
            Coords q, p;
            ASSERT_TRUE(w.child.ToParentWindow(At(x, y, WINDOW_SCIENCE), &q, true));
            ASSERT_EQ(q.x, x * binx + ofsx);
            ASSERT_EQ(q.y, y * biny + ofsy);
            for (int bx = 0; bx < binx; ++bx)
                for (int by = 0; by < biny; ++by)
                {
                    ASSERT_TRUE(w.child.FromParentWindow(At(q.x + bx, q.y + by), &p, true));
                    ASSERT_EQ(p.x, x);
                    ASSERT_EQ(p.y, y);
                }
            double fx, fy, gx, gy;   // pixel centres there and back
            w.child.ToParentWindow(x + 0.5, y + 0.5, &fx, &fy);
            EXPECT_DOUBLE_EQ(fx, ofsx + binx * (x + 0.5));
            EXPECT_TRUE(w.child.FromParentWindow(fx, fy, &gx, &gy));
            EXPECT_DOUBLE_EQ(gx, x + 0.5);
            EXPECT_DOUBLE_EQ(gy, y + 0.5);
            EXPECT_EQ(w.child.FlatIndex(At(x, y)), x * numy + y);
        }
    // A parent pixel maps checked exactly when it lies in a whole bin.
    for (int px = 0; px < 40; ++px)
        for (int py = 0; py < 30; ++py)
        {
            Coords p;
            ASSERT_EQ(w.child.FromParentWindow(At(px, py), &p, true),
                      px >= ofsx && py >= ofsy && px < ofsx + numx * binx && py < ofsy + numy * biny);
        }
}

INSTANTIATE_TEST_SUITE_P(OffsetsAndBinnings, WindowRoundTrip,
                         ::testing::Values(std::make_tuple(0, 0, 1, 1), std::make_tuple(3, 4, 1, 1),
                                           std::make_tuple(0, 0, 2, 3), std::make_tuple(7, 1, 4, 7)));

TEST(WindowMappingComposition, TargetEqualToSelfIsTheIdentity)
{
    CaptureLog    log;
    Pair          w(5, 6, 2, 3, 4, 7);
    WindowMapping r(WINDOW_L1B);
    EXPECT_TRUE(w.child.CreateMappingToUpperLevel(&w.child, &r));
    EXPECT_XY(r.Offset(), 0, 0);
    EXPECT_XY(r.Binning(), 1, 1);
    EXPECT_XY(r.Size(), 4, 7);
    EXPECT_EQ(r.Size().windowtype, WINDOW_L1B) << "the result's size tag is left as it was";
    EXPECT_EQ(r.Parent(), &w.child);
    EXPECT_EQ(r.WindowType(), WINDOW_SCIENCE);
    // The result may be the mapping itself.
    WindowMapping self = w.child;
    ASSERT_TRUE(self.CreateMappingToUpperLevel(&w.parent, &self));
    EXPECT_XY(self.Offset(), 5, 6);
    EXPECT_EQ(self.Parent(), &w.parent);
    EXPECT_TRUE(log.lines.empty()) << log.Dump();
}

TEST(WindowMappingComposition, NonAncestorWarnsOnceAndFails)
{
    CaptureLog    log;
    Pair          a(5, 6, 2, 3, 4, 4), b(0, 0, 1, 1, 4, 4);
    WindowMapping r(WINDOW_L1B);
    EXPECT_FALSE(a.child.CreateMappingToUpperLevel(&b.parent, &r));
    EXPECT_EQ(log.Count(nxlog_warning, kAscent), 1) << log.Dump();
    EXPECT_EQ(log.lines.size(), 1u);
    EXPECT_XY(r.Size(), -9999, -9999);
    EXPECT_EQ(r.WindowType(), WINDOW_UNDEFINED);
    EXPECT_EQ(r.Parent(), nullptr);
    EXPECT_XY(r.Offset(), 5, 6);   // accumulated over the whole chain
    EXPECT_XY(r.Binning(), 2, 3);
    // A descendant is no ancestor, nor is a null target.
    EXPECT_FALSE(a.parent.CreateMappingToUpperLevel(&a.child, &r));
    EXPECT_FALSE(a.child.CreateMappingToUpperLevel(nullptr, &r));
    EXPECT_EQ(log.Count(nxlog_warning, kAscent), 3);
}

TEST(WindowMappingComposition, EqualsTheChainOfConversions)
{
    Example              e;
    const WindowMapping& l1c    = e.h.L1C();
    const WindowMapping  direct = e.h.CreateMappingToUpperLevel(l1c, e.h.FullConv());
    EXPECT_EQ(direct.Parent(), &e.h.FullConv());
    for (int x = 0; x < l1c.Numx(); ++x)
        for (int y = 0; y < l1c.Numy(); ++y)
        {
            Coords c = At(x, y, WINDOW_L1C), d, back;
            for (const WindowMapping* m = &l1c; m->Parent() != nullptr; m = m->Parent())
                m->ToParentWindow(c, &c, false);
            ASSERT_TRUE(direct.ToParentWindow(At(x, y, WINDOW_L1C), &d, true));
            ASSERT_EQ(d.x, c.x);
            ASSERT_EQ(d.y, c.y);
            EXPECT_EQ(d.windowtype, WINDOW_FULLCONV);
            EXPECT_TRUE(direct.FromParentWindow(d, &back, true));
            EXPECT_XY(back, x, y);
        }
}

TEST(WindowMappingLimits, ZeroBinningRefusesToDivide)
{
    WindowMapping placeholder(WINDOW_L1C);
    Coords        p;
    double        x = 0, y = 0;
    EXPECT_FALSE(placeholder.FromParentWindow(At(3, 4), &p, false));
    EXPECT_XY(p, -9999, -9999);
    EXPECT_FALSE(placeholder.FromParentWindow(1.5, 2.5, &x, &y));
    EXPECT_EQ(x, -9999.0);
    Pair w(0, 0, 2, 0, 5, 5);   // only y has no binning
    EXPECT_FALSE(w.child.FromParentWindow(At(5, 1), &p, false));
    EXPECT_XY(p, 2, -9999);
    EXPECT_FALSE(w.child.FromParentWindow(5.0, 1.0, &x, &y));
    EXPECT_EQ(x, 2.5);
    EXPECT_EQ(y, -9999.0);
}

TEST(WindowMappingLimits, ResultsBeyondAnIntSaturateAndFail)
{
    Pair   big(INT_MAX, 0, 2, 1, 5, 5);
    Coords q;
    EXPECT_FALSE(big.child.ToParentWindow(At(1, 0), &q, false));
    EXPECT_EQ(q.x, INT_MAX);
    EXPECT_FALSE(big.child.ToParentWindow(At(INT_MIN, 0), &q, false));
    EXPECT_EQ(q.x, INT_MIN);
    EXPECT_TRUE(big.child.ToParentWindow(At(-1, 0), &q, false));
    EXPECT_EQ(q.x, INT_MAX - 2);
    // A root has no upper bound: the overflow alone refuses the position.
    WindowMapping root(WINDOW_FULLCONV, At(INT_MAX, 0), At(1, 1), At(1, 1), nullptr);
    EXPECT_FALSE(root.ToParentWindow(At(1, 0), &q, true));

    Pair neg(1, 0, -1, 1, 5, 5), shift(-10, 0, 1, 1, 5, 5);
    EXPECT_FALSE(neg.child.FromParentWindow(At(INT_MIN, 0), &q, false));   // (INT_MIN - 1) / -1
    EXPECT_EQ(q.x, INT_MAX);
    EXPECT_FALSE(shift.child.FromParentWindow(At(INT_MAX, 0), &q, false));
    EXPECT_EQ(q.x, INT_MAX);

    Pair wide(0, 0, 1, 1, 5, INT_MAX);
    EXPECT_EQ(wide.child.FlatIndex(At(3, 0)), INT_MAX);
    EXPECT_EQ(wide.child.FlatIndex(At(-3, 0)), INT_MIN);

    CaptureLog             log;
    WindowMappingHierarchy h(9, 9, 0, 0, 9, 9, 0, 0, 9, 9, 0, 0, 9, 9, 70000, 1, 1, 1, 70000, 1, 70000, 70000);
    EXPECT_XY(h.L1CDetectorMapping().Binning(), INT_MAX, 1);
    EXPECT_EQ(L1cFlatIndexer(h.L1C(), h.Detector()).FlatSize(), INT_MAX);
    EXPECT_TRUE(log.lines.empty()) << log.Dump();
}

using Hierarchy = WindowMappingHierarchy;
static_assert(!std::is_copy_constructible<Hierarchy>::value && !std::is_move_constructible<Hierarchy>::value &&
                  !std::is_copy_assignable<Hierarchy>::value && !std::is_move_assignable<Hierarchy>::value,
              "the levels point into the hierarchy: it must stay where it was built");

TEST(WindowMappingHierarchy, LevelsAndTheirLinks)
{
    Example                  e;
    const WindowMapping*     chain[] = {&e.h.L1C(), &e.h.L1B(), &e.h.Science(), &e.h.Detector(), &e.h.Noof(),
                                        &e.h.FullConv()};
    const WindowMappingType types[]  = {WINDOW_L1C, WINDOW_L1B, WINDOW_SCIENCE, WINDOW_DETECTOR, WINDOW_NOOF,
                                        WINDOW_FULLCONV};
    for (int i = 0; i < 6; ++i)
    {
        EXPECT_EQ(chain[i]->WindowType(), types[i]);
        EXPECT_EQ(chain[i]->Size().windowtype, types[i]);
        EXPECT_EQ(chain[i]->Offset().windowtype, types[i < 5 ? i + 1 : 5]);
        EXPECT_EQ(chain[i]->Binning().windowtype, types[i < 5 ? i + 1 : 5]);
        EXPECT_EQ(chain[i]->Parent(), i < 5 ? chain[i + 1] : nullptr);
    }
    EXPECT_XY(e.h.Noof().Offset(), 5, 6);
    EXPECT_XY(e.h.Detector().Size(), 60, 50);
    EXPECT_XY(e.h.L1B().Binning(), 2, 1);
    EXPECT_XY(e.h.L1C().Size(), 5, 8);
    const WindowMapping& d = e.h.L1CDetectorMapping();
    EXPECT_EQ(d.WindowType(), WINDOW_L1C);
    EXPECT_EQ(d.Parent(), &e.h.Detector());
    EXPECT_XY(d.Offset(), 3, 4);
    EXPECT_XY(d.Binning(), 4, 3);
    EXPECT_XY(d.Size(), 5, 8);
    EXPECT_XY(e.h.CreateMappingToUpperLevel(e.h.Science(), e.h.Noof()).Offset(), 3 + 2, 4 + 1);
}

TEST(L1cFlatIndexer, L1cPixelCoversItsDetectorBlock)
{
    Example        e;
    L1cFlatIndexer idx(e.h.L1C(), e.h.Detector());
    EXPECT_EQ(idx.FlatSize(), 5 * 8);
    Coords first;
    ASSERT_TRUE(idx.Mapping().ToParentWindow(At(1, 1, WINDOW_L1C), &first, true));
    EXPECT_XY(first, 7, 7);
    int covered = 0;
    for (int x = 0; x < 60; ++x)
        for (int y = 0; y < 50; ++y)
        {
            int f = -2;
            if (idx.FlatIndexFromDetectorPixel(At(x, y), &f, true) && f == 1 * 8 + 1)
            {
                EXPECT_TRUE(x >= 7 && x < 11 && y >= 7 && y < 10) << x << "," << y;
                ++covered;
            }
        }
    EXPECT_EQ(covered, 4 * 3);
}

TEST(L1cFlatIndexer, DetectorPixelsOutsideTheL1cImage)
{
    Example        e;
    L1cFlatIndexer idx(e.h.L1C(), e.h.Detector());
    int            f = 0;
    EXPECT_FALSE(idx.FlatIndexFromDetectorPixel(At(2, 4), &f, true));   // one before SOFSx
    EXPECT_EQ(f, -1);
    EXPECT_TRUE(idx.FlatIndexFromDetectorPixel(At(2, 4), &f, false));
    EXPECT_EQ(f, 0);
    EXPECT_TRUE(idx.FlatIndexFromDetectorPixel(At(3 + 19, 4 + 23), &f, true));   // last pixel
    EXPECT_EQ(f, 4 * 8 + 7);
    EXPECT_FALSE(idx.FlatIndexFromDetectorPixel(At(3 + 20, 4), &f, true));
    EXPECT_EQ(f, -1);
    EXPECT_TRUE(idx.FlatIndexFromDetectorPixel(At(3 + 20, 4), &f, false));
    EXPECT_EQ(f, 5 * 8);
}

TEST(L1cFlatIndexer, SizesAndTheUnbinnedIdentity)
{
    WindowMappingHierarchy h(6, 5, 0, 0, 6, 5, 0, 0, 6, 5, 0, 0, 6, 5, 1, 1, 6, 5, 1, 1, 6, 5);
    L1cFlatIndexer         idx(h.L1C(), h.Detector());
    for (int x = 0; x < 6; ++x)
        for (int y = 0; y < 5; ++y)
        {
            int f = -2;
            ASSERT_TRUE(idx.FlatIndexFromDetectorPixel(At(x, y), &f, true));
            EXPECT_EQ(f, x * 5 + y);
        }
    WindowMappingHierarchy odd(1, 1, 50, 60, 2, 2, -3, 7, 1, 1, 9, 9, 1, 1, 3, 5, 1, 1, 7, 2, 11, 13);
    EXPECT_EQ(L1cFlatIndexer(odd.L1C(), odd.Detector()).FlatSize(), 11 * 13);

    CaptureLog     log;   // not an ancestor: no pixels
    L1cFlatIndexer bad(h.L1B(), h.L1C());
    EXPECT_EQ(bad.FlatSize(), 0);
    int f = 0;
    EXPECT_FALSE(bad.FlatIndexFromDetectorPixel(At(0, 0), &f, true));
    EXPECT_EQ(f, -1);
    EXPECT_EQ(log.Count(nxlog_warning, kAscent), 1);
}
