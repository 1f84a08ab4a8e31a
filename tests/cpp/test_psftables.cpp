// The PSF table, its entries and the interpolated PSF of a point source.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "fast_tables.h"
#include "psftables.h"
#include "test_support.h"

namespace {

// A hierarchy whose NOOF, detector and science windows nest with offsets:
// NOOF 12 x 10 at (1, 1) in a 14 x 12 area, detector 8 x 6 at (2, 3) in the
// NOOF window, science 4 x 4 at (1, 1), no binning.
struct Windows
{
    WindowMappingHierarchy h{14, 12, 1, 1, 12, 10, 2, 3, 8, 6, 1, 1, 4, 4, 1, 1, 4, 4, 1, 1, 4, 4};
};

// A (psf_Nx, psf_Ny) image with value 100 x + y at sample (x, y), y fastest.
std::vector<double> RampImage(int nx, int ny)
{
    std::vector<double> v((size_t)nx * ny);
    for (int x = 0; x < nx; ++x)
        for (int y = 0; y < ny; ++y) v[(size_t)x * ny + y] = 100.0 * x + y;
    return v;
}

// Coefficient and index tables over a (wx, wy) working window, n per pixel,
// all pixels holding the same list.
struct Tables
{
    std::vector<double> c;
    std::vector<int>    i;
    nx3dArray<double>   coeffs;
    nx3dArray<int>      indices;
    Tables(int wx, int wy, std::vector<double> cs, std::vector<int> is)
    {
        const size_t n = cs.size();
        for (int p = 0; p < wx * wy; ++p) {
            c.insert(c.end(), cs.begin(), cs.end());
            i.insert(i.end(), is.begin(), is.end());
        }
        coeffs.Attach(n, (size_t)wy, (size_t)wx, c.data());
        indices.Attach(n, (size_t)wy, (size_t)wx, i.data());
    }
};

struct PsfFixture
{
    Windows                    w;
    std::vector<double>        image = RampImage(9, 7);
    std::vector<const double*> images;
    std::vector<double>        locn;
    nx2dArray<double>          locations;
    TORVEN_PSF_Table           table;
    // Loads `numpsf` copies of the ramp image, PSF i centred at (Y, X) given.
    bool Load(const std::vector<std::pair<double, double>>& centres, WindowMappingType type, Tables& t)
    {
        for (const auto& yx : centres) {
            images.push_back(image.data());
            locn.insert(locn.end(), {yx.first, yx.second, 3.0});
        }
        locations.Attach(3, centres.size(), locn.data());
        return table.Initialize(images.data(), (int)centres.size(), 9, 7, type, w.h, locations, t.coeffs, t.indices);
    }
};

Coords Det(int x, int y) { return Coords(y, x, WINDOW_DETECTOR); }

}   // namespace

TEST(TORVEN_PSF_Entry, CentreOnASampleReadsSamples)
{
    CaptureLog log;
    PsfFixture      s;
    Tables     t(8, 6, {1.0}, {0});
    ASSERT_TRUE(s.Load({{3.5, 4.5}}, WINDOW_DETECTOR, t)) << log.Dump();
    const TORVEN_PSF_Entry& e = s.table.MeasuredPSFEntries()[0];
    EXPECT_EQ(e.Centre().x, 4.0);
    EXPECT_EQ(e.Centre().y, 3.0);
    EXPECT_TRUE(e.CentreOnSample());
    EXPECT_EQ(e.Size().x, 9);
    EXPECT_EQ(e.Size().y, 7);
    EXPECT_EQ(e.OffsetedValue(Det(2, 2), Det(2, 2)), 403.0);
    EXPECT_EQ(e.OffsetedValue(Det(6, 1), Det(2, 2)), 802.0);   // the last column keeps its samples
    EXPECT_EQ(e.OffsetedValue(Det(7, 2), Det(2, 2)), 0.0);     // one past it
    EXPECT_EQ(e.OffsetedValue(Det(0, 0), Det(4, 2)), 1.0);
    EXPECT_EQ(e.OffsetedValue(Det(0, 0), Det(4, 4)), 0.0);     // py = 3 - 4 = -1
    EXPECT_TRUE(log.Contains("Adding measured PSF[0] of size (7, 9) with its center at (Y=3.500000, X=4.500000)"));
    EXPECT_TRUE(log.Contains("All PSF coordinates will be mapped to the detector window"));
}

TEST(TORVEN_PSF_Entry, OffSampleCentreInterpolatesBilinearly)
{
    PsfFixture  s;
    Tables t(8, 6, {1.0}, {0});
    ASSERT_TRUE(s.Load({{3.0, 4.0}}, WINDOW_DETECTOR, t));
    const TORVEN_PSF_Entry& e = s.table.MeasuredPSFEntries()[0];
    EXPECT_FALSE(e.CentreOnSample());
    EXPECT_EQ(e.Centre().x, 3.5);
    EXPECT_EQ(e.Centre().y, 2.5);
    // The mean of the four samples around (3.5, 2.5).
    EXPECT_DOUBLE_EQ(e.OffsetedValue(Det(2, 2), Det(2, 2)), (302.0 + 303.0 + 402.0 + 403.0) / 4.0);
    // The last column and row yield 0 although their samples exist.
    EXPECT_EQ(e.OffsetedValue(Det(7, 2), Det(2, 2)), 0.0);   // px = 8.5
    EXPECT_EQ(e.OffsetedValue(Det(2, 6), Det(2, 2)), 0.0);   // py = 6.5
    EXPECT_NE(e.OffsetedValue(Det(6, 5), Det(2, 2)), 0.0);   // px = 7.5, py = 5.5
    // Between -1 and 0 truncation gives 0 and a negative weight: linear extrapolation.
    EXPECT_DOUBLE_EQ(e.OffsetedValue(Det(0, 2), Det(4, 2)), (1.0 - -0.5) * 0.5 * (2.0 + 3.0) + -0.5 * 0.5 * (102.0 + 103.0));
    EXPECT_EQ(e.OffsetedValue(Det(0, 2), Det(5, 2)), 0.0);   // px = -1.5
}

TEST(TORVEN_PSF_Entry, NonFiniteCentresGiveZero)
{
    CaptureLog log;
    PsfFixture      s;
    Tables     t(8, 6, {1.0}, {0});
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    ASSERT_TRUE(s.Load({{nan, 3.5}, {3.5, inf}, {-inf, 1e300}}, WINDOW_DETECTOR, t));
    for (const TORVEN_PSF_Entry& e : s.table.MeasuredPSFEntries()) {
        EXPECT_EQ(e.OffsetedValue(Det(2, 2), Det(2, 2)), 0.0);
        EXPECT_EQ(e.OffsetedValue(Det(5, 1), Det(0, 4)), 0.0);
    }
}

// A column of offsets read at once equals the values read one by one, bit for
// bit, at every position in and around the image.
TEST(TORVEN_PSF_Entry, OffsetedColumnEqualsOffsetedValue)
{
    PsfFixture   s;
    Tables       t(8, 6, {1.0}, {0});
    const double nan = std::numeric_limits<double>::quiet_NaN();
    ASSERT_TRUE(s.Load({{3.5, 4.5}, {3.0, 4.0}, {2.75, 0.3}, {-0.4, 8.2}, {nan, 3.5}}, WINDOW_DETECTOR, t));
    for (const TORVEN_PSF_Entry& e : s.table.MeasuredPSFEntries()) {
        for (const Coords& centre : {Det(0, 0), Det(3, 2)}) {
            for (int x = -12; x <= 12; ++x) {
                double col[30];
                e.OffsetedColumn(Det(x, -12), 30, centre, col);
                for (int k = 0; k < 30; ++k) {
                    const double v = e.OffsetedValue(Det(x, -12 + k), centre);
                    ASSERT_EQ(std::memcmp(&col[k], &v, sizeof v), 0) << x << " " << k << " " << col[k] << " " << v;
                }
            }
        }
    }
}

TEST(TORVEN_PSF_Table, WindowTypeOfLocations)
{
    PsfFixture  s;
    Tables t(8, 6, {1.0}, {0});
    s.locn = {};
    for (double type : {3.9, 7.0, 2.0, -1e300, std::nan("")}) {
        s.images.push_back(s.image.data());
        s.locn.insert(s.locn.end(), {3.5, 3.5, type});
    }
    s.locations.Attach(3, 5, s.locn.data());
    ASSERT_TRUE(s.table.Initialize(s.images.data(), 5, 9, 7, WINDOW_DETECTOR, s.w.h, s.locations, t.coeffs, t.indices));
    const auto& e = s.table.MeasuredPSFEntries();
    EXPECT_EQ(e[0].CentreWindowType(), WINDOW_DETECTOR);
    EXPECT_EQ(e[1].CentreWindowType(), WINDOW_UNDEFINED);
    EXPECT_EQ(e[2].CentreWindowType(), WINDOW_NOOF);
    EXPECT_EQ(e[3].CentreWindowType(), WINDOW_UNDEFINED);
    EXPECT_EQ(e[4].CentreWindowType(), WINDOW_UNDEFINED);
}

TEST(TORVEN_PSF_Table, RefusesOtherWorkingWindows)
{
    CaptureLog log;
    PsfFixture      s;
    Tables     t(8, 6, {1.0}, {0});
    EXPECT_FALSE(s.Load({{3.5, 3.5}}, WINDOW_SCIENCE, t));
    EXPECT_EQ(log.Count(nxlog_error, "TORVEN_PSF_Table::Initialize, PSF table only support DETECTOR or NOOF windows. "
                                     "And all PSF windows must use the same window"),
              1);
    EXPECT_FALSE(log.Contains("All PSF coordinates will be mapped"));
    EXPECT_EQ(log.Count(nxlog_warning, "There were errors configuring the TORVEN PSF Interpolation Table. Thats not good."), 1);
}

TEST(TORVEN_PSF_Table, RefusesTablesOfTheWrongSize)
{
    CaptureLog log;
    PsfFixture      s;
    Tables     t(6, 8, {1.0, 0.0}, {0, 0});   // x and y swapped
    EXPECT_FALSE(s.Load({{3.5, 3.5}}, WINDOW_DETECTOR, t));
    EXPECT_EQ(log.Count(nxlog_error, "TORVEN_PSF_Table::Initialize, The PSF coeffiecient and index tables are the wong "
                                     "size. Expected (x,6,8) but got (2,8,6)"),
              1)
        << log.Dump();
    EXPECT_EQ(s.table.Coefficients(), nullptr);
    EXPECT_TRUE(s.table.MeasuredPSFEntries().empty());
    TORVEN_PSF_InterpolationCoeffs c;
    EXPECT_FALSE(s.table.GetInterpolationCoefficientsForNewPSFCentre(Det(1, 1), &c));
}

class BadPsfIndex : public testing::TestWithParam<int>
{
};

TEST_P(BadPsfIndex, IsRefusedWhereItsCoefficientIsNonZero)
{
    CaptureLog log;
    PsfFixture      s;
    Tables     t(8, 6, {0.5, 0.0, 0.5}, {0, -7, 1});
    t.i[(size_t)(3 * 6 + 2) * 3 + 2] = GetParam();   // pixel (x=3, y=2), third coefficient
    EXPECT_FALSE(s.Load({{3.5, 3.5}, {3.5, 3.5}}, WINDOW_DETECTOR, t));
    EXPECT_EQ(log.Count(nxlog_error, "(" + std::to_string(GetParam()) + ") of coefficient 2 at pixel (x=3, y=2)"), 1)
        << log.Dump();
    EXPECT_TRUE(log.Contains("one of the 2 measured PSFs"));
}

INSTANTIATE_TEST_SUITE_P(TORVEN_PSF_Table, BadPsfIndex, testing::Values(2, -1, 1 << 30));

TEST(TORVEN_PSF_Table, ZeroCoefficientsMayCarryAnyIndex)
{
    PsfFixture  s;
    Tables t(8, 6, {1.0, 0.0}, {0, 12345});
    EXPECT_TRUE(s.Load({{3.5, 3.5}}, WINDOW_DETECTOR, t));
}

// The fast builds number the PSFs a table refers to in the order of their first
// non-zero coefficient; pixels that repeat their neighbour's indices are
// skipped, which must not hide a PSF first named behind a zero coefficient.
TEST(TORVEN_PSF_Table, ReferencedPsfsInTheOrderOfFirstUse)
{
    PsfFixture s;
    Tables     t(8, 6, {0.5, 0.5, 0.0}, {3, 1, 2});
    t.c[(size_t)(5 * 6 + 1) * 3 + 2] = 0.25;   // PSF 2 first used at pixel (x=5, y=1)
    t.i[(size_t)(6 * 6 + 4) * 3 + 0] = 0;      // PSF 0 at (x=6, y=4), behind the same indices as before
    t.c[(size_t)(6 * 6 + 4) * 3 + 0] = 0.0;    // ... with a zero coefficient: not used
    t.i[(size_t)(7 * 6 + 5) * 3 + 1] = 0;      // PSF 0 used at the last pixel
    ASSERT_TRUE(s.Load({{3.5, 3.5}, {3.5, 3.5}, {3.5, 3.5}, {3.5, 3.5}, {3.5, 3.5}}, WINDOW_DETECTOR, t));
    int nslots = -1;
    EXPECT_EQ(fastbuild::ReferencedPsfs(s.table, &nslots), (std::vector<int>{3, 1, 2, 0, -1}));
    EXPECT_EQ(nslots, 4);
}

TEST(TORVEN_PSF_Table, ShortLocationArrayIsNeverReadPastItsEnd)
{
    CaptureLog log;
    PsfFixture      s;
    Tables     t(8, 6, {1.0}, {0});
    s.images           = {s.image.data(), s.image.data()};
    std::vector<double> two = {3.5, 3.5, 3.0, 3.5, 3.5};   // 5 numbers for 2 PSFs
    nx2dArray<double>   locations(5, 1, two.data());
    EXPECT_FALSE(s.table.Initialize(s.images.data(), 2, 9, 7, WINDOW_DETECTOR, s.w.h, locations, t.coeffs, t.indices));
    EXPECT_EQ(log.Count(nxlog_error, "location array holds 5 numbers but 2 PSFs need 6"), 1) << log.Dump();
}

TEST(TORVEN_PSF_Table, NoPsfsIsAnEmptyTable)
{
    PsfFixture  s;
    Tables t(8, 6, {}, {});
    EXPECT_TRUE(s.Load({}, WINDOW_DETECTOR, t));
    EXPECT_TRUE(s.table.MeasuredPSFEntries().empty());
}

TEST(TORVEN_PSF_InterpolationCoeffs, CompactsZeroCoefficients)
{
    PsfFixture  s;
    Tables t(8, 6, {0.0, 0.5, 0.0, 0.5}, {3, 7, 1, 2});
    std::vector<std::pair<double, double>> centres(8, {3.5, 4.5});
    centres[2] = {3.5, 3.5};   // PSF 2 centred one sample left of PSF 7
    ASSERT_TRUE(s.Load(centres, WINDOW_DETECTOR, t));
    TORVEN_PSF_InterpolationCoeffs c;
    ASSERT_TRUE(s.table.GetInterpolationCoefficientsForNewPSFCentre(Det(5, 4), &c));
    ASSERT_EQ(c.NumCoeffs(), 2);
    EXPECT_EQ(c.Coefficient(0), 0.5);
    EXPECT_EQ(c.PsfIndex(0), 7);
    EXPECT_EQ(c.PsfIndex(1), 2);
    const auto& e = s.table.MeasuredPSFEntries();
    EXPECT_EQ(c.PSF(Det(6, 3), Det(5, 4)), 0.5 * e[7].OffsetedValue(Det(6, 3), Det(5, 4)) + 0.5 * e[2].OffsetedValue(Det(6, 3), Det(5, 4)));
    EXPECT_EQ(c.PSF(Det(6, 3), Det(5, 4)), 0.5 * 502.0 + 0.5 * 402.0);
}

TEST(TORVEN_PSF_InterpolationCoeffs, AllZeroAndNaNCoefficients)
{
    PsfFixture  s;
    Tables t(8, 6, {0.0, 0.0}, {0, 0});
    ASSERT_TRUE(s.Load({{3.5, 3.5}}, WINDOW_DETECTOR, t));
    TORVEN_PSF_InterpolationCoeffs c;
    EXPECT_TRUE(s.table.GetInterpolationCoefficientsForNewPSFCentre(Det(1, 1), &c));
    EXPECT_EQ(c.NumCoeffs(), 0);
    EXPECT_EQ(c.PSF(Det(1, 1), Det(1, 1)), 0.0);

    const double nanc[2] = {std::nan(""), 0.0};
    const int    idx[2]  = {0, 0};
    EXPECT_TRUE(c.InterpolatePsfArrayToPixelLocation(Det(1, 1), &s.table, nanc, idx, 2));
    EXPECT_EQ(c.NumCoeffs(), 1);   // NaN counts as non-zero
    EXPECT_TRUE(std::isnan(c.PSF(Det(1, 1), Det(1, 1))));
}

class CoefficientLimit : public testing::TestWithParam<int>
{
};

TEST_P(CoefficientLimit, AtMostOneHundred)
{
    CaptureLog          log;
    PsfFixture               s;
    const int           n = GetParam();
    Tables              t(8, 6, std::vector<double>((size_t)n, 0.01), std::vector<int>((size_t)n, 0));
    ASSERT_TRUE(s.Load({{3.5, 3.5}}, WINDOW_DETECTOR, t));
    TORVEN_PSF_InterpolationCoeffs c;
    const bool ok = s.table.GetInterpolationCoefficientsForNewPSFCentre(Det(3, 3), &c);
    EXPECT_EQ(ok, n <= 100);
    EXPECT_EQ(c.NumCoeffs(), n <= 100 ? n : 0);
    EXPECT_EQ(log.Count(nxlog_error, "TORVEN_PSF_InterpolationCoeffs::InterpolatePixelArrayToPixelLocation, Internal "
                                     "interpolation arrays of size (100) were smaller than the number of incoming PSF "
                                     "interpolation coefficients (101) "),
              n == 101 ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(TORVEN_PSF_InterpolationCoeffs, CoefficientLimit, testing::Values(100, 101));

TEST(TORVEN_PSF_InterpolationCoeffs, DirectFillRefusesIndicesOutsideTheTable)
{
    CaptureLog log;
    PsfFixture      s;
    Tables     t(8, 6, {1.0}, {0});
    ASSERT_TRUE(s.Load({{3.5, 3.5}}, WINDOW_DETECTOR, t));
    TORVEN_PSF_InterpolationCoeffs c;
    const double coeffs[1] = {1.0};
    const int    idx[1]    = {1};
    EXPECT_FALSE(c.InterpolatePsfArrayToPixelLocation(Det(1, 1), &s.table, coeffs, idx, 1));
    EXPECT_EQ(c.NumCoeffs(), 0);
    EXPECT_EQ(c.PSF(Det(1, 1), Det(1, 1)), 0.0);
}

TEST(TORVEN_PSF_Table, CentresOutsideTheWorkingWindowAreNotLookedUp)
{
    CaptureLog log;
    PsfFixture      s;
    Tables     t(8, 6, {1.0}, {0});
    ASSERT_TRUE(s.Load({{3.5, 3.5}}, WINDOW_DETECTOR, t));
    TORVEN_PSF_InterpolationCoeffs c;
    for (Coords bad : {Det(-1, 0), Det(0, -1), Det(8, 0), Det(0, 6), Det(INT32_MAX, INT32_MIN)}) {
        EXPECT_FALSE(s.table.GetInterpolationCoefficientsForNewPSFCentre(bad, &c)) << bad.x << "," << bad.y;
    }
    EXPECT_TRUE(s.table.GetInterpolationCoefficientsForNewPSFCentre(Det(7, 5), &c));
    EXPECT_EQ(log.Count(nxlog_error), 0);
}

TEST(TORVEN_PSF_Table, NoofTableReadsDetectorCentresShifted)
{
    CaptureLog log;
    PsfFixture      s;
    // NOOF tables: 12 x 10, each pixel's single coefficient is 1000 x + y of the NOOF pixel.
    Tables t(12, 10, {1.0}, {0});
    for (int x = 0; x < 12; ++x)
        for (int y = 0; y < 10; ++y) t.c[(size_t)x * 10 + y] = 1000.0 * x + y;
    ASSERT_TRUE(s.Load({{3.5, 3.5}}, WINDOW_NOOF, t)) << log.Dump();
    EXPECT_TRUE(log.Contains("All PSF coordinates will be mapped to the NOOF window"));
    TORVEN_PSF_InterpolationCoeffs c;
    ASSERT_TRUE(s.table.GetInterpolationCoefficientsForNewPSFCentre(Det(4, 1), &c));   // DOFS (2, 3)
    EXPECT_EQ(c.Coefficient(0), 1000.0 * 6 + 4);
    EXPECT_EQ(c.Location().windowtype, WINDOW_NOOF);
    EXPECT_EQ(c.Location().x, 6);
    // Location and centre given as detector pixels are converted before the offset is taken.
    const Coords noofL(4, 7, WINDOW_NOOF), noofC(4, 6, WINDOW_NOOF);
    EXPECT_EQ(c.PSF(Det(5, 1), Det(4, 1)), c.PSF(noofL, noofC));
    EXPECT_EQ(c.PSF(noofL, noofC), (1000.0 * 6 + 4) * 403.0);
}
