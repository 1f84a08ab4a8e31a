// The matrix generator: the science-pixel-to-L1C table, the quadratic weights,
// the column operations, the lower-edge correction and the assembly.
#include <gtest/gtest.h>

#include <omp.h>

#include <memory>
#include <vector>

#include "make_psfmatrix.h"
#include "test_support.h"

namespace {

// The 22 windowing parameters with full-convolution, NOOF and detector windows
// of one size and no offsets above the detector.
struct Params
{
    int D = 20, SOFSx = 2, SOFSy = 2, LBINx = 1, LBINy = 1, KBINx = 1, KBINy = 1, Kx = 4, Ky = 4;
    int Sx() const { return LBINx * KBINx * Kx; }
    int Sy() const { return LBINy * KBINy * Ky; }
    int F() const { return Kx * Ky; }
};

// A generator with one measured PSF (the given image, psf_N x psf_N, centred
// at sample (c, c)) whose coefficient is 1 at every detector pixel.
struct Build
{
    Params                                               p;
    std::vector<double>                                  image, coeffs, locn;
    std::vector<int>                                     indices;
    const double*                                        images[1];
    nx2dArray<double>                                    locations;
    nx3dArray<double>                                    c3;
    nx3dArray<int>                                       i3;
    std::unique_ptr<TORVEN_DeconvolutionMatrixGenerator> g;
    std::vector<double>                                  out;
    nx2dArray<double>                                    outview;

    Build(const Params& params, std::vector<double> img, int n, double centre) : p(params), image(std::move(img))
    {
        g.reset(new TORVEN_DeconvolutionMatrixGenerator(p.D, p.D, 0, 0, p.D, p.D, 0, 0, p.D, p.D, p.SOFSx, p.SOFSy,
                                                         p.Sx(), p.Sy(), p.LBINx, p.LBINy, p.KBINx * p.Kx,
                                                         p.KBINy * p.Ky, p.KBINx, p.KBINy, p.Kx, p.Ky, nullptr, 0,
                                                         false, 42, 42));
        coeffs.assign((size_t)p.D * p.D, 1.0);
        indices.assign((size_t)p.D * p.D, 0);
        locn   = {centre + 0.5, centre + 0.5, 3.0};
        images[0] = image.data();
        locations.Attach(3, 1, locn.data());
        c3.Attach(1, (size_t)p.D, (size_t)p.D, coeffs.data());
        i3.Attach(1, (size_t)p.D, (size_t)p.D, indices.data());
        EXPECT_TRUE(g->PSF_Table()->Initialize(images, 1, n, n, WINDOW_DETECTOR, *g->WindowHierachy(), locations, c3, i3));
        out.assign((size_t)p.F() * p.F(), -1.0);
        outview.Attach((size_t)p.F(), (size_t)p.F(), out.data());
    }
    double At(int r, int s) const { return out[(size_t)s * p.F() + r]; }
};

std::vector<double> Delta(int n, int c)
{
    std::vector<double> v((size_t)n * n, 0.0);
    v[(size_t)c * n + c] = 1.0;
    return v;
}

std::vector<double> Ones(int n) { return std::vector<double>((size_t)n * n, 1.0); }

struct OneThread
{
    int saved = omp_get_max_threads();
    OneThread() { omp_set_num_threads(1); }
    ~OneThread() { omp_set_num_threads(saved); }
};

}   // namespace

TEST(Generator, QuadraticWeights)
{
    const struct
    {
        double t, B, below, centre, above;
    } cases[] = {{-0.5, 1, 1.0 / 24, 11.0 / 12, 1.0 / 24},   {-1.0, 2, 1.0 / 6, 11.0 / 12, -1.0 / 12},
                 {0.0, 2, -1.0 / 12, 11.0 / 12, 1.0 / 6},    {-0.5, 3, 1.0 / 216, 107.0 / 108, 1.0 / 216},
                 {-1.5, 3, 0.0, 0.0, 0.0}};
    for (const auto& c : cases) {
        double b, m, a;
        TORVEN_DeconvolutionMatrixGenerator::SimpsonWeights(c.t, c.B, &b, &m, &a);
        EXPECT_NEAR(b + m + a, 1.0, 1e-15);
        if (c.centre != 0.0) {
            EXPECT_NEAR(b, c.below, 1e-15) << c.t << " " << c.B;
            EXPECT_NEAR(m, c.centre, 1e-15);
            EXPECT_NEAR(a, c.above, 1e-15);
        }
    }
    for (int B = 1; B <= 7; ++B) {
        for (int v = 0; v < B; ++v) {
            double b, m, a;
            TORVEN_DeconvolutionMatrixGenerator::SimpsonWeights(v - B / 2.0, B, &b, &m, &a);
            EXPECT_NEAR(b + m + a, 1.0, 1e-14);
        }
    }
}

TEST(Generator, ScienceToL1cTable)
{
    CaptureLog log;
    Params     p;
    p.Kx = 2, p.Ky = 2, p.LBINx = 2, p.SOFSx = 3, p.SOFSy = 4;   // Sx 4, Sy 2, Bx 2, By 1
    Build b(p, Delta(20, 10), 20, 10);
    const nx2dArray<int>& t = b.g->DetectorToL1cTable();
    ASSERT_EQ(t.XSize(), 2u);
    ASSERT_EQ(t.YSize(), 4u);
    EXPECT_EQ(t.at(1, 3), 1 * 2 + 1);
    std::vector<int> seen(4, 0);
    for (size_t x = 0; x < 4; ++x)
        for (size_t y = 0; y < 2; ++y) ++seen[(size_t)t.at(y, x)];
    EXPECT_EQ(seen, std::vector<int>(4, 2));
    EXPECT_FALSE(log.Contains("did not successfully map"));
}

TEST(Generator, UncoveredSciencePixelsAreMarked)
{
    CaptureLog log;
    // Sx 6 while the L1C window covers 4 columns.
    TORVEN_DeconvolutionMatrixGenerator g(20, 20, 0, 0, 20, 20, 0, 0, 20, 20, 2, 2, 6, 3, 1, 1, 6, 3, 1, 1, 4, 3,
                                          nullptr, 0, false, 42, 42);
    const nx2dArray<int>& t = g.DetectorToL1cTable();
    EXPECT_EQ(t.at(0, 4), -9999);
    EXPECT_EQ(t.at(2, 5), -9999);
    EXPECT_EQ(t.at(2, 3), 3 * 3 + 2);
    EXPECT_EQ(log.Count(nxlog_warning, "TORVEN_DeconvolutionMatrixGenerator::MakeDetectorPixelToFlatIndexTable, [6] "
                                       "detector pixels from area [6 x 3] did not successfully map to L1C pixels"),
              1);
}

TEST(Generator, OutputBufferOfTheWrongSize)
{
    CaptureLog          log;
    std::vector<double> buffer(25);
    TORVEN_DeconvolutionMatrixGenerator g(20, 20, 0, 0, 20, 20, 0, 0, 20, 20, 2, 2, 4, 4, 1, 1, 4, 4, 1, 1, 4, 4,
                                          buffer.data(), 5, false, 42, 42);
    EXPECT_TRUE(g.DeconvolutionMatrixView().IsEmpty());
    EXPECT_EQ(log.Count(nxlog_error, "The size of the output array (5 x 5) is not the expected size (16 x 16"), 1);
    CaptureLog                          quiet;
    TORVEN_DeconvolutionMatrixGenerator g2(20, 20, 0, 0, 20, 20, 0, 0, 20, 20, 2, 2, 4, 4, 1, 1, 4, 4, 1, 1, 4, 4,
                                           nullptr, 7, false, 42, 42);
    EXPECT_TRUE(quiet.lines.empty());
}

class IdentityForAnyBinning : public testing::TestWithParam<std::tuple<int, int, int, int>>
{
};

TEST_P(IdentityForAnyBinning, MidpointDeltaPsfWithoutLowerEdge)
{
    OneThread one;
    Params    p;
    std::tie(p.LBINx, p.LBINy, p.KBINx, p.KBINy) = GetParam();
    p.Kx = 3, p.Ky = 2, p.D = 30;
    Build b(p, Delta(30, 15), 30, 15);
    b.g->set_option_use_simpsons(false);
    b.g->set_option_create_lower_edge_adjustment(false);
    ASSERT_TRUE(b.g->build_transfer_function(&b.outview));
    for (int r = 0; r < p.F(); ++r)
        for (int s = 0; s < p.F(); ++s) EXPECT_DOUBLE_EQ(b.At(r, s), r == s ? 1.0 : 0.0) << r << "," << s;
}

INSTANTIATE_TEST_SUITE_P(Generator, IdentityForAnyBinning,
                         testing::Values(std::make_tuple(1, 1, 1, 1), std::make_tuple(2, 1, 1, 3),
                                         std::make_tuple(1, 2, 2, 1), std::make_tuple(2, 2, 2, 2)));

TEST(Generator, BottomAndTopRowsShareTheirOwnColumn)
{
    OneThread one;
    Params    p;
    p.Kx = 1, p.Ky = 3;
    Build b(p, Delta(20, 10), 20, 10);
    b.g->set_option_create_lower_edge_adjustment(false);
    ASSERT_TRUE(b.g->build_transfer_function(&b.outview));
    const double w = 1.0 / 24, m = 11.0 / 12;
    const double expected[3][3] = {{w + m, w, 0}, {w, m, w}, {0, w, m + w}};   // [r][s]
    for (int r = 0; r < 3; ++r)
        for (int s = 0; s < 3; ++s) EXPECT_NEAR(b.At(r, s), expected[r][s], 1e-15) << r << "," << s;
}

TEST(Generator, SingleRowMakesTheSchemesAgree)
{
    OneThread one;
    Params    p;
    p.Kx = 4, p.Ky = 1, p.KBINx = 2;
    std::vector<double> img(400);
    for (size_t i = 0; i < img.size(); ++i) img[i] = 1.0 / (1.0 + (double)(i % 37));
    Build a(p, img, 20, 9.5), b(p, img, 20, 9.5);
    a.g->set_option_create_lower_edge_adjustment(false);
    b.g->set_option_create_lower_edge_adjustment(false);
    b.g->set_option_use_simpsons(false);
    ASSERT_TRUE(a.g->build_transfer_function(&a.outview));
    ASSERT_TRUE(b.g->build_transfer_function(&b.outview));
    for (size_t i = 0; i < a.out.size(); ++i) EXPECT_NEAR(a.out[i], b.out[i], 1e-14);
}

TEST(Generator, LowerEdgeStrip)
{
    OneThread one;
    Params    p;
    p.D = 60, p.SOFSx = 10, p.SOFSy = 45, p.Kx = 40, p.Ky = 4;
    Build b(p, Ones(200), 200, 100);
    TORVEN_DeconvolutionMatrixGenerator& g = *b.g;
    // 3 rows below the edge act as sources; they reach 2 rows, 2 columns either side.
    TORVEN_DeconvolutionMatrixGenerator g2(60, 60, 0, 0, 60, 60, 0, 0, 60, 60, 10, 45, 40, 4, 1, 1, 40, 4, 1, 1, 40, 4,
                                           nullptr, 0, false, 3, 2);
    ASSERT_TRUE(g2.PSF_Table()->Initialize(b.images, 1, 200, 200, WINDOW_DETECTOR, *g2.WindowHierachy(), b.locations,
                                           b.c3, b.i3));
    (void)g;
    nx2dArray<double> m;
    ASSERT_TRUE(m.SetSize(160, 160));
    m.SetTo(0.0);
    ASSERT_TRUE(g2.AddBottomEdgeSourcePixelAdjustment(2, &m));   // detector column 12
    const int s = 2 * 4;
    for (int x = 0; x < 40; ++x) {
        for (int y = 0; y < 4; ++y) {
            const bool inside = x < 4 && y < 2;
            EXPECT_EQ(m.at((size_t)(x * 4 + y), (size_t)s), inside ? 3.0 : 0.0) << x << "," << y;
        }
    }
    double total = 0;
    for (nxArrayIter<double> it = m.begin(); it != m.end(); ++it) total += *it;
    EXPECT_EQ(total, 3.0 * 8);
}

TEST(Generator, LowerEdgeRowsBelowTheDetectorAreSkipped)
{
    CaptureLog log;
    OneThread  one;
    Params     p;   // SOFSy 2: only 2 of the 42 default rows lie inside the detector window
    Build      b(p, Ones(40), 40, 20);
    ASSERT_TRUE(b.g->build_transfer_function(&b.outview)) << log.Dump();
    EXPECT_EQ(log.Count(nxlog_warning, "Skipping 40 of the 42 detector rows below the bottom edge"), 1);
    // The two rows inside still count: the bottom row's columns exceed the others'.
    EXPECT_GT(b.At(0, 0), b.At(1, 1));
}

TEST(Generator, FailedLowerEdgeLookupFailsTheBuild)
{
    CaptureLog log;
    OneThread  one;
    Params     p;
    p.SOFSx = 18;   // the science window sticks out of the detector window on the right
    p.SOFSy = 5;
    Build b(p, Ones(40), 40, 20);
    std::vector<double>& out = b.out;
    EXPECT_FALSE(b.g->build_transfer_function(&b.outview));
    for (double v : out) ASSERT_EQ(v, 0.0);
    EXPECT_GT(log.Count(nxlog_error, "GenerateColumnMatrixForBottomEdgeDetectorPixel, Inconsistency error looking up "
                                     "interpolated PSF table for raw source detector pixel [20,"),
              0);
    EXPECT_EQ(log.Count(nxlog_error, "build_transfer_function, There were errors executing the code. Return empty matrix"), 1);
}

TEST(Generator, RecordsOfABuild)
{
    CaptureLog log;
    Params     p;
    p.LBINy = 2, p.KBINx = 3;
    Build b(p, Delta(40, 20), 40, 20);
    b.g->set_option_use_simpsons(false);
    log.lines.clear();
    ASSERT_TRUE(b.g->build_transfer_function(&b.outview));
    std::vector<std::string> info;
    for (const auto& l : log.lines)
        if (l.status == nxlog_info) info.push_back(l.message);
    ASSERT_GE(info.size(), 3u) << log.Dump();
    EXPECT_EQ(info[0], "TORVEN_DeconvolutionMatrixGenerator, Generating infield convolution matrix using [Classic Algorithm] ");
    EXPECT_EQ(info[1], "TORVEN_DeconvolutionMatrixGenerator, Generating lower edge correction with [42] detector rows "
                       "above and [42] detector rows below bottom edge.");
    EXPECT_EQ(info[2], "TORVEN_DeconvolutionMatrixGenerator, Generating convolution matrix for a (4, 4) array of L1C "
                       "pixels. Pixel binning is (2,3) and window offset is (2,2)");
}

TEST(Generator, RefusesAnOutputOfOtherDimensions)
{
    CaptureLog          log;
    Params              p;
    Build               b(p, Delta(20, 10), 20, 10);
    std::vector<double> small(15 * 16, 5.0);
    nx2dArray<double>   wrong(15, 16, small.data());
    EXPECT_FALSE(b.g->build_transfer_function(&wrong));
    EXPECT_EQ(small, std::vector<double>(15 * 16, 5.0));
    EXPECT_EQ(log.Count(nxlog_error, "The output matrix (15 x 16) is not the expected size (16 x 16)"), 1);
}

TEST(Generator, DiagnosticLinesAndThreadsAgree)
{
    Params p;
    p.Kx = 3, p.Ky = 5;
    std::vector<double> img(400);
    for (size_t i = 0; i < img.size(); ++i) img[i] = 1.0 + (double)(i % 11);
    std::vector<double> first;
    for (int threads : {1, 2, 3}) {
        CaptureLog log;
        const int  saved = omp_get_max_threads();
        omp_set_num_threads(threads);
        Build b(p, img, 20, 9.5);
        TORVEN_DeconvolutionMatrixGenerator g(20, 20, 0, 0, 20, 20, 0, 0, 20, 20, 2, 2, 3, 5, 1, 1, 3, 5, 1, 1, 3, 5,
                                              nullptr, 0, true, 2, 3);
        ASSERT_TRUE(g.PSF_Table()->Initialize(b.images, 1, 20, 20, WINDOW_DETECTOR, *g.WindowHierachy(), b.locations,
                                              b.c3, b.i3));
        ASSERT_TRUE(g.build_transfer_function(&b.outview));
        omp_set_num_threads(saved);
        EXPECT_EQ(log.Count(nxlog_info, "Processing L1C pixel row ["), 5);
        EXPECT_EQ(log.Count(nxlog_info, "Processing L1C pixel ["), 5);
        if (first.empty()) first = b.out;
        for (size_t i = 0; i < first.size(); ++i) EXPECT_NEAR(b.out[i], first[i], 1e-12 * 400);
    }
}
