// The front door: WindowSpec's one check (each rule breaks alone), the
// instrument's shape checks, and the geometry derived from a generator (tiling,
// lower-edge rows cut by the detector window, strip height).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "geometry.h"
#include "test_support.h"

namespace {

using velmora::WindowSpec;

// A consistent set: science 8 x 6 at (2, 6) of a 12 x 14 detector window, NOOF
// 20 x 18 with the detector at (4, 2), L1C 4 x 3 of 2 x 2 detector pixels.
WindowSpec Good()
{
    return WindowSpec::FromScalars(24, 24, 2, 1, 20, 18, 4, 2, 12, 14, 2, 6, 8, 6, 2, 1, 4, 6, 1, 2, 4, 3);
}

WindowSpec With(WindowSpec::Index i, int value)
{
    const WindowSpec good = Good();
    std::vector<int> p(good.data(), good.data() + WindowSpec::kCount);
    p[(size_t)i] = value;
    return WindowSpec::FromArray(p.data());
}

TEST(WindowSpec, NamedParametersAndDerivedSizes)
{
    const WindowSpec w = Good();
    EXPECT_EQ(w.NOOFx(), 20);
    EXPECT_EQ(w.DOFSy(), 2);
    EXPECT_EQ(w.SOFSy(), 6);
    EXPECT_EQ(w[WindowSpec::kLy], 6);
    EXPECT_EQ(w.Bx(), 2);
    EXPECT_EQ(w.By(), 2);
    EXPECT_EQ(w.F(), 12);
    std::string error;
    EXPECT_TRUE(w.Check(WindowSpec::Tables::detector, &error));
    EXPECT_TRUE(w.Check(WindowSpec::Tables::noof, &error));
}

TEST(WindowSpec, EachRuleRefusesAlone)
{
    struct Case
    {
        WindowSpec::Index  index;
        int                value;
        WindowSpec::Tables tables;
        const char*        error;
    };
    const Case cases[] = {
        {WindowSpec::kDx, -1, WindowSpec::Tables::detector, "a window size is negative or too large"},
        {WindowSpec::kNOOFy, (1 << 28) + 1, WindowSpec::Tables::detector, "a window size is negative or too large"},
        {WindowSpec::kKBINx, 0, WindowSpec::Tables::detector, "a binning is below 1 or too large"},
        {WindowSpec::kKx, 0, WindowSpec::Tables::detector, "the L1C window has no pixels or more than 2^31 - 1"},
        {WindowSpec::kLx, 5, WindowSpec::Tables::detector,
         "the science, L1B and L1C window sizes do not agree with the binnings"},
        {WindowSpec::kSOFSx, 5, WindowSpec::Tables::detector,
         "the science window does not lie inside the detector window"},
        {WindowSpec::kSOFSy, -1, WindowSpec::Tables::detector,
         "the science window does not lie inside the detector window"},
        {WindowSpec::kDOFSx, 11, WindowSpec::Tables::noof, "the science window does not lie inside the NOOF window"},
        {WindowSpec::kDOFSy, -7, WindowSpec::Tables::noof, "the science window does not lie inside the NOOF window"},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_FALSE(With(c.index, c.value).Check(c.tables, &error)) << c.error;
        EXPECT_EQ(error, c.error) << "parameter " << c.index;
    }
    // The NOOF window plays no part when the tables cover the detector window.
    std::string error;
    EXPECT_TRUE(With(WindowSpec::kDOFSx, 11).Check(WindowSpec::Tables::detector, &error));
    // Kx * Ky beyond 2^31 - 1 with each factor in range.
    const WindowSpec huge = WindowSpec::FromScalars(1 << 27, 1 << 27, 0, 0, 1 << 27, 1 << 27, 0, 0, 1 << 27, 1 << 27, 0,
                                                    0, 1 << 17, 1 << 17, 1, 1, 1 << 17, 1 << 17, 1, 1, 1 << 17, 1 << 17);
    EXPECT_FALSE(huge.Check(WindowSpec::Tables::detector, &error));
    EXPECT_EQ(error, "the L1C window has no pixels or more than 2^31 - 1");
}

TEST(Instrument, ShapesAreCheckedOnceAgainstTheWindows)
{
    const WindowSpec    w = Good();
    std::vector<double> images(2 * 9 * 7, 0.0), centres(2 * 3, 0.0), coeffs(12 * 14 * 2, 0.0);
    std::vector<int>    indices(12 * 14 * 2, 0);
    velmora::PsfArrays  ok;
    ok.images = images.data(), ok.M = 2, ok.Nx = 9, ok.Ny = 7;
    ok.centres = centres.data(), ok.centres0 = 2, ok.centres1 = 3;
    ok.coefficients = coeffs.data(), ok.c0 = 12, ok.c1 = 14, ok.c2 = 2;
    ok.indices = indices.data(), ok.i0 = 12, ok.i1 = 14, ok.i2 = 2;
    velmora::Instrument in;
    std::string         error;
    ASSERT_TRUE(velmora::Instrument::Make(w.data(), 22, ok, WindowSpec::Tables::detector, &in, &error)) << error;
    EXPECT_EQ(in.Windows().Ky(), 3);

    struct Case
    {
        const char*        name;
        void (*breaks)(velmora::PsfArrays&);
        WindowSpec::Tables tables;
        const char*        error;
    };
    const char* small  = "there are no PSF images, or they are smaller than the science window";
    const char* ctr    = "the PSF centres must be an (M, 3) array for the M PSF images";
    const char* det    = "the PSF interpolation tables do not have the shape (Dx, Dy, N) of the detector window";
    const Case  cases[] = {
        {"narrow images", [](velmora::PsfArrays& a) { a.Nx = 7; }, WindowSpec::Tables::detector, small},
        {"no images", [](velmora::PsfArrays& a) { a.M = 0, a.centres0 = 0; }, WindowSpec::Tables::detector, small},
        {"centres of 2", [](velmora::PsfArrays& a) { a.centres1 = 2; }, WindowSpec::Tables::detector, ctr},
        {"a centre short", [](velmora::PsfArrays& a) { a.centres0 = 1; }, WindowSpec::Tables::detector, ctr},
        {"tables of another window", [](velmora::PsfArrays& a) { a.c1 = 13; }, WindowSpec::Tables::detector, det},
        {"fewer indices", [](velmora::PsfArrays& a) { a.i2 = 1; }, WindowSpec::Tables::detector, det},
        {"too many coefficients", [](velmora::PsfArrays& a) { a.c2 = a.i2 = 1000000; }, WindowSpec::Tables::detector,
         det},
        {"detector tables for the NOOF window", [](velmora::PsfArrays&) {}, WindowSpec::Tables::noof,
         "the PSF interpolation tables do not have the shape (NOOFx, NOOFy, N) of the NOOF window"},
    };
    for (const Case& c : cases) {
        velmora::PsfArrays a = ok;
        c.breaks(a);
        EXPECT_FALSE(velmora::Instrument::Make(w.data(), 22, a, c.tables, &in, &error)) << c.name;
        EXPECT_EQ(error, c.error) << c.name;
    }
    EXPECT_FALSE(velmora::Instrument::Make(w.data(), 21, ok, WindowSpec::Tables::detector, &in, &error));
    EXPECT_EQ(error, "21 windowing parameters were given; 22 are needed");
    EXPECT_FALSE(velmora::Instrument::Make(nullptr, 22, ok, WindowSpec::Tables::detector, &in, &error));
}

TEST(Geometry, LowerEdgeRowsAndStripFollowTheWindowsAndOptions)
{
    struct Case
    {
        int  SOFSy, below, above;
        bool lower_edge;
        int  kfirst, klast, skipped, yh;
        bool edge;
    };
    // Science 8 x 6 (L1C rows of 2) at row SOFSy of the detector window.
    const Case cases[] = {
        {6, 42, 42, true, -6, -1, 36, 6, true},    // rows cut by the detector window
        {6, 4, 3, true, -4, -1, 0, 3, true},       // a strip lower than the science window
        {6, 0, 42, true, 0, -1, 0, 6, false},      // no rows below
        {0, 42, 42, true, 0, -1, 42, 6, false},    // science window on the detector's edge
        {6, 42, 0, true, -6, -1, 36, 0, false},    // a strip of no rows
        {6, 42, 42, false, 0, -1, 0, 6, false},    // no correction
    };
    for (const Case& c : cases) {
        const WindowSpec w = WindowSpec::FromScalars(24, 24, 2, 1, 20, 18, 4, 2, 12, 14, 2, c.SOFSy, 8, 6, 2, 1, 4, 6,
                                                     1, 2, 4, 3);
        TORVEN_DeconvolutionMatrixGenerator g(w, nullptr, 0, false, c.below, c.above);
        ASSERT_TRUE(g.MakeDetectorPixelToL1cFlatIndexTable());
        const velmora::Geometry geo = velmora::Geometry::Of(g, c.lower_edge);
        SCOPED_TRACE(testing::Message() << "SOFSy " << c.SOFSy << ", below " << c.below << ", above " << c.above);
        EXPECT_TRUE(geo.tiled) << geo.untiled;
        EXPECT_EQ(geo.Kx, 4);
        EXPECT_EQ(geo.By, 2);
        EXPECT_EQ(geo.kfirst, c.kfirst);
        EXPECT_EQ(geo.klast, c.klast);
        EXPECT_EQ(geo.nk, c.klast - c.kfirst + 1);
        EXPECT_EQ(geo.skipped, c.skipped);
        EXPECT_EQ(geo.yh, c.yh);
        EXPECT_EQ(geo.edge, c.edge);
    }
}

}   // namespace
