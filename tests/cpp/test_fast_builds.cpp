// The fast in-field and stray-light builds against the per-pixel builds: the
// same matrices (within 1e-12 of the largest element), the same records, the
// same failures, bitwise the same result for any number of threads, and the
// per-pixel build wherever the fast path's assumptions do not hold.
#include <gtest/gtest.h>

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "fast_tables.h"
#include "test_support.h"

namespace {

using fastbuild::KernelTarget;

// The kernel targets this processor runs: SSE2 always, AVX2 where it has
// AVX2 and FMA. Each one is forced in turn and compared with the per-pixel
// build.
std::vector<std::pair<KernelTarget, std::string>> Targets()
{
    std::vector<std::pair<KernelTarget, std::string>> t = {{KernelTarget::sse2, "sse2"}};
    if (fastbuild::Avx2Kernels() != nullptr) t.push_back({KernelTarget::avx2, "avx2"});
    return t;
}

struct Threads
{
    int saved = omp_get_max_threads();
    explicit Threads(int n) { omp_set_num_threads(n); }
    ~Threads() { omp_set_num_threads(saved); }
};

// Windows, PSFs and options of one build.
struct Config
{
    const char* name;
    int         Kx, Ky, LBINx, LBINy, KBINx, KBINy;
    bool        simpsons, loweredge;
    int         below, above;      // lower-edge rows below and above the bottom edge
    bool        offsample;         // PSF centres between samples
    int         ncoeffs;           // coefficients per pixel (some of them zero)
    int         extrax = 0, extray = 0;   // science pixels beyond the L1C pixels
    int         SOFSx = 6, SOFSy = 7;
    bool        bilinear = false;         // weights bilinear across the window, PSFs fixed
};

std::ostream& operator<<(std::ostream& os, const Config& c) { return os << c.name; }

// Inputs of a request: the measured PSFs, their centres, the coefficient and
// index tables of a working window of nx x ny pixels, and a generator.
struct Request
{
    int                 npsf = 3, psfNx = 13, psfNy = 11, N, wx, wy;
    std::vector<double> images, locn, coeffs;
    std::vector<int>    indices;
    std::vector<const double*> pointers;
    nx2dArray<double>   locations;
    nx3dArray<double>   c3;
    nx3dArray<int>      i3;
    std::unique_ptr<TORVEN_DeconvolutionMatrixGenerator> g;

    // Tables of `ncoeffs` coefficients that blend the PSFs smoothly across the
    // working window, with zero coefficients and index orders that vary.
    void MakeInputs(int ncoeffs, bool offsample, int workx, int worky, bool bilinear = false)
    {
        N = ncoeffs, wx = workx, wy = worky;
        images.resize((size_t)npsf * psfNx * psfNy);
        for (int p = 0; p < npsf; ++p) {
            for (int x = 0; x < psfNx; ++x) {
                for (int y = 0; y < psfNy; ++y) {
                    const double dx = x - 6.0 - 0.3 * p, dy = y - 5.0 + 0.2 * p;
                    images[((size_t)p * psfNx + x) * psfNy + y] =
                        std::exp(-(dx * dx / (3.0 + p) + dy * dy / 5.0)) + 0.01 * std::sin(1.0 + x * 0.7 + y * 1.3 + p);
                }
            }
            pointers.push_back(images.data() + (size_t)p * psfNx * psfNy);
            // Y, X, window: centres at sample (6, 5) or between samples.
            const double shift = offsample ? 0.37 + 0.11 * p : 0.0;
            locn.insert(locn.end(), {5.5 + (offsample ? 0.21 : 0.0), 6.5 + shift, 3.0});
        }
        coeffs.assign((size_t)N * wx * wy, 0.0);
        indices.assign((size_t)N * wx * wy, 0);
        for (int x = 0; x < wx; ++x) {
            for (int y = 0; y < wy; ++y) {
                double* c = &coeffs[((size_t)x * wy + y) * N];
                int*    k = &indices[((size_t)x * wy + y) * N];
                const double fx = (double)x / wx, fy = (double)y / wy;
                for (int j = 0; j < N; ++j) {
                    k[j] = bilinear ? j % npsf : (x + 2 * y + j) % npsf;
                    c[j] = (!bilinear && j % 3 == 2 && (x + y) % 2 == 0) ? 0.0 : (1.0 + j) * (0.5 + fx) * (1.2 - fy) / N;
                }
            }
        }
        locations.Attach(3, (size_t)npsf, locn.data());
        c3.Attach((size_t)N, (size_t)wy, (size_t)wx, coeffs.data());
        i3.Attach((size_t)N, (size_t)wy, (size_t)wx, indices.data());
    }
    bool Initialize(WindowMappingType type)
    {
        return g->PSF_Table()->Initialize(pointers.data(), npsf, psfNx, psfNy, type, *g->WindowHierachy(), locations,
                                          c3, i3);
    }
};

// An in-field request: detector window with room for the lower-edge rows.
struct InField : Request
{
    Config c;
    int    Sx, Sy, Dx, Dy, F;

    explicit InField(const Config& config, bool diagnostic = false) : c(config)
    {
        const int Bx = c.LBINx * c.KBINx, By = c.LBINy * c.KBINy;
        Sx = Bx * c.Kx + c.extrax, Sy = By * c.Ky + c.extray;
        Dx = Sx + c.SOFSx + 4, Dy = Sy + c.SOFSy + 3, F = c.Kx * c.Ky;
        g.reset(new TORVEN_DeconvolutionMatrixGenerator(
            Dx + 4, Dy + 4, 2, 2, Dx, Dy, 0, 0, Dx, Dy, c.SOFSx, c.SOFSy, Sx, Sy, c.LBINx, c.LBINy, c.KBINx * c.Kx,
            c.KBINy * c.Ky, c.KBINx, c.KBINy, c.Kx, c.Ky, nullptr, 0, diagnostic, c.below, c.above));
        g->set_option_use_simpsons(c.simpsons);
        g->set_option_create_lower_edge_adjustment(c.loweredge);
        MakeInputs(c.ncoeffs, c.offsample, Dx, Dy, c.bilinear);
        EXPECT_TRUE(Initialize(WINDOW_DETECTOR));
    }
};

struct Output
{
    std::vector<double> v;
    nx2dArray<double>   view;
    explicit Output(int F) : v((size_t)F * F, -7.0) { view.Attach((size_t)F, (size_t)F, v.data()); }
};

std::vector<std::string> Sorted(const CaptureLog& log)
{
    std::vector<std::string> s;
    for (const CapturedLine& l : log.lines) s.push_back(std::to_string(l.status) + l.message);
    std::sort(s.begin(), s.end());
    return s;
}

// Equal within 1e-12 of the largest element, NaN where the other is NaN.
void ExpectSameMatrix(const std::vector<double>& ref, const std::vector<double>& fast)
{
    ASSERT_EQ(ref.size(), fast.size());
    double big = 0.0;
    for (double v : ref)
        if (std::isfinite(v)) big = std::max(big, std::fabs(v));
    int shown = 0;
    for (size_t i = 0; i < ref.size(); ++i) {
        const bool same = std::isnan(ref[i]) ? std::isnan(fast[i])
                                              : (ref[i] == fast[i] || std::fabs(ref[i] - fast[i]) <= 1e-12 * big);
        if (!same && shown++ < 5) ADD_FAILURE() << "element " << i << ": " << ref[i] << " vs " << fast[i];
    }
}

bool BitwiseEqual(const std::vector<double>& a, const std::vector<double>& b)
{
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

// --- In-field -----------------------------------------------------------------

class FastInField : public testing::TestWithParam<Config>
{
};

TEST_P(FastInField, SameMatrixAndRecordsAsThePerPixelBuild)
{
    Threads  two(2);
    InField  req(GetParam());
    Output   ref(req.F), fast(req.F);
    CaptureLog log;
    const bool refok = req.g->build_transfer_function_reference(&ref.view);
    const std::vector<std::string> reflines = Sorted(log);
    EXPECT_TRUE(refok) << log.Dump();
    for (const auto& [target, name] : Targets()) {
        SCOPED_TRACE(name);
        log.lines.clear();
        bool                     handled = false;
        TORVEN_FastBuildStats    stats;
        TORVEN_FastMatrixBuilder builder(*req.g, target);
        const bool               fastok = builder.BuildTransferFunction(&fast.view, &handled, &stats);
        ASSERT_TRUE(handled) << "the fast path did not apply";
        EXPECT_TRUE(stats.fast_path);
        EXPECT_EQ(stats.kernel, name);
        if (GetParam().bilinear) {
            EXPECT_GE(stats.reduced_sources, req.F / 2);
            // Whole output columns from the column tables, away from the bottom and top rows,
            // and under the quadratic scheme from their writers' source tables at those rows.
            EXPECT_GE(stats.reduced_columns, GetParam().simpsons ? req.F / 4 : req.F / 2);
            if (GetParam().simpsons) {
                EXPECT_GT(stats.whole_columns, 0);
            }
            if (GetParam().loweredge) {
                EXPECT_GT(stats.reduced_edge, 0);
            }
        }
        EXPECT_EQ(fastok, refok);
        ExpectSameMatrix(ref.v, fast.v);
        EXPECT_EQ(Sorted(log), reflines);
    }
    double big = 0.0;
    for (double v : ref.v) big = std::max(big, std::fabs(v));
    EXPECT_GT(big, 0.01);   // the comparison is not between empty matrices
}

TEST_P(FastInField, OneThreadWritesTheRecordsInThePerPixelOrder)
{
    Threads    one(1);
    InField    req(GetParam(), true);
    Output     ref(req.F), fast(req.F);
    CaptureLog log;
    ASSERT_TRUE(req.g->build_transfer_function_reference(&ref.view));
    const std::vector<CapturedLine> reflines = log.lines;
    log.lines.clear();
    ASSERT_TRUE(req.g->build_transfer_function(&fast.view));
    ASSERT_EQ(log.lines.size(), reflines.size());
    for (size_t i = 0; i < reflines.size(); ++i) {
        EXPECT_EQ(log.lines[i].status, reflines[i].status);
        EXPECT_EQ(log.lines[i].message, reflines[i].message);
    }
}

TEST_P(FastInField, BitwiseTheSameForOneTwoAndThreeThreads)
{
    InField req(GetParam());
    for (const auto& [target, name] : Targets()) {
        std::vector<double> first;
        for (int n : {1, 2, 3}) {
            Threads                  t(n);
            CaptureLog               quiet;
            Output                   out(req.F);
            bool                     handled = false;
            TORVEN_FastMatrixBuilder builder(*req.g, target);
            ASSERT_TRUE(builder.BuildTransferFunction(&out.view, &handled));
            if (first.empty()) first = out.v;
            else EXPECT_TRUE(BitwiseEqual(first, out.v)) << name << ", " << n << " threads";
        }
    }
}

const Config kInField[] = {
    // name, Kx, Ky, LBIN, KBIN, simpsons, lower edge, below, above, off-sample, coefficients
    {"MidpointNoBinning", 5, 4, 1, 1, 1, 1, false, false, 42, 42, false, 1},
    {"QuadraticNoBinning", 5, 4, 1, 1, 1, 1, true, false, 42, 42, false, 1},
    {"QuadraticLowerEdge", 6, 5, 1, 1, 1, 1, true, true, 5, 4, false, 2},
    {"MidpointLowerEdgeOffSample", 6, 5, 1, 1, 1, 1, false, true, 5, 3, true, 3},
    {"Binning2x2", 4, 4, 2, 1, 1, 2, true, true, 6, 5, false, 3},
    {"Binning3x2OffSample", 3, 4, 1, 2, 3, 1, true, true, 4, 7, true, 4},
    {"Binning1x4Midpoint", 5, 3, 1, 2, 1, 2, false, true, 6, 6, true, 2},
    {"Binning4x1", 3, 5, 2, 1, 2, 1, true, true, 3, 9, false, 5},
    {"Binning3x3StripWiderThanWindow", 3, 3, 3, 3, 1, 1, true, true, 7, 42, true, 3},
    {"SingleRowQuadratic", 6, 1, 1, 2, 1, 1, true, true, 4, 3, false, 2},
    {"TwoRowsQuadratic", 4, 2, 2, 1, 1, 1, true, true, 4, 3, true, 2},
    {"SinglePixel", 1, 1, 2, 2, 1, 1, true, true, 3, 3, false, 2},
    {"DefaultRowsSkippedBelowDetector", 4, 4, 1, 1, 1, 1, true, true, 42, 42, false, 3},
    {"NoRowsAbove", 4, 4, 1, 1, 1, 1, true, true, 4, 0, false, 2},
    {"UncoveredSciencePixels", 4, 3, 1, 1, 2, 1, true, true, 4, 4, true, 2, 3, 2},
    // Weights bilinear across the window: the sources go through reduced tables.
    {"ReducedBinning2x2", 6, 5, 2, 1, 1, 2, true, true, 6, 5, true, 3, 0, 0, 6, 7, true},
    {"ReducedBinning3x2Midpoint", 5, 4, 1, 2, 3, 1, false, false, 4, 4, false, 2, 0, 0, 6, 7, true},
    {"ReducedBinning4x4Uncovered", 4, 4, 2, 2, 2, 2, true, true, 5, 9, true, 4, 3, 1, 6, 7, true},
    {"ReducedNoBinning", 6, 7, 1, 1, 1, 1, true, true, 5, 4, false, 4, 0, 0, 6, 7, true},
    {"ReducedNoBinningMidpointOffSample", 5, 5, 1, 1, 1, 1, false, true, 4, 3, true, 4, 0, 0, 6, 7, true},
};

INSTANTIATE_TEST_SUITE_P(Configurations, FastInField, testing::ValuesIn(kInField),
                         [](const testing::TestParamInfo<Config>& info) { return std::string(info.param.name); });

// Each output column written whole from the column tables costs one
// multiply-add per basis vector and element it reaches. With weights bilinear
// across the window (4 basis vectors), PSFs reaching every L1C pixel and the
// midpoint scheme, every column is such a column and reaches all F elements,
// and nothing else adds: 4 F^2, counted once per element, for every thread count.
TEST(FastInFieldBuild, MultiplyAddsCountEveryColumnWrittenWholeOnce)
{
    const Config c = {"WholeColumns", 5, 4, 1, 1, 1, 1, false, false, 42, 42, false, 3, 0, 0, 6, 7, true};
    for (int threads : {1, 2}) {
        Threads               t(threads);
        InField               req(c);
        Output                out(req.F);
        TORVEN_FastBuildStats stats;
        bool                  handled = false;
        TORVEN_FastMatrixBuilder builder(*req.g);
        ASSERT_TRUE(builder.BuildTransferFunction(&out.view, &handled, &stats));
        ASSERT_TRUE(handled);
        ASSERT_EQ(stats.reduced_columns, req.F);
        EXPECT_EQ(stats.multiply_adds, 4.0 * req.F * req.F) << threads << " threads";
    }
}

TEST(FastInFieldBuild, DiagnosticLinesAndDispatch)
{
    Threads    two(2);
    Config     c = kInField[4];
    InField    req(c, true);
    Output     out(req.F);
    CaptureLog log;
    ASSERT_TRUE(req.g->build_transfer_function(&out.view));
    EXPECT_EQ(log.Count(nxlog_info, "TORVEN_DeconvolutionMatrixGenerator, Processing L1C pixel row ["), c.Ky);
    EXPECT_EQ(log.Count(nxlog_info, "Processing L1C pixel ["), c.Ky);
    for (int i = 0; i < c.Ky; ++i) {
        char line[64];
        snprintf(line, sizeof line, "Processing L1C pixel [%4d,%4d]", i, 0);
        EXPECT_EQ(log.Count(nxlog_info, line), 1) << line;
    }
}

// The request's options (filled from VELMORA_KERNEL where a request is made)
// force the kernels of the generator's builds, or the per-pixel build.
TEST(FastInFieldBuild, TheRequestChoosesTheKernels)
{
    Threads one(1);   // the per-pixel build is bitwise repeatable with one thread
    InField req(kInField[5]);
    Output  ref(req.F), out(req.F);
    {
        CaptureLog quiet;
        ASSERT_TRUE(req.g->build_transfer_function_reference(&ref.view));
    }
    std::vector<std::pair<std::string, std::vector<double>>> expected = {{"per-pixel", ref.v}, {"", {}}};
    for (const auto& [target, name] : Targets()) {
        Output                   forced(req.F);
        bool                     handled = false;
        CaptureLog               quiet;
        TORVEN_FastMatrixBuilder builder(*req.g, target);
        ASSERT_TRUE(builder.BuildTransferFunction(&forced.view, &handled));
        expected.push_back({name, forced.v});
    }
    expected[1].second = expected.back().second;   // unset: the best target
    for (const auto& [value, matrix] : expected) {
        if (value.empty()) unsetenv("VELMORA_KERNEL");
        else setenv("VELMORA_KERNEL", value.c_str(), 1);
        TORVEN_BuildRequest request;
        TORVEN_ApplyKernelEnvironment(&request.options);
        req.g->SetRequest(&request);
        CaptureLog quiet;
        ASSERT_TRUE(req.g->build_transfer_function(&out.view));
        EXPECT_TRUE(BitwiseEqual(out.v, matrix)) << "VELMORA_KERNEL=" << value;
        req.g->SetRequest(nullptr);
    }
    unsetenv("VELMORA_KERNEL");
}

TEST(FastInFieldBuild, NonFiniteCoefficientsGiveThePerPixelNaNs)
{
    Threads two(2);
    InField req(kInField[2]);
    // A NaN coefficient at one source detector pixel (detector 8, 9 is L1C
    // pixel (2, 2)) spreads NaN over every receiving pixel of the window.
    req.coeffs[((size_t)8 * req.Dy + 9) * req.N] = std::nan("");
    Output     ref(req.F), fast(req.F);
    CaptureLog quiet;
    ASSERT_TRUE(req.g->build_transfer_function_reference(&ref.view));
    ASSERT_TRUE(req.g->build_transfer_function(&fast.view));
    int nans = 0;
    for (double v : ref.v) nans += std::isnan(v);
    EXPECT_GE(nans, req.F);
    ExpectSameMatrix(ref.v, fast.v);
}

TEST(FastInFieldBuild, FailedLookupsFailAsThePerPixelBuildDoes)
{
    // More than 100 coefficients per pixel: every lookup fails. With the lower
    // edge the build fails at the first bottom column; without it, it succeeds
    // with an empty matrix. Either way the same records.
    for (bool loweredge : {true, false}) {
        Threads two(2);
        Config  c    = kInField[15];   // binned, bilinear: the reduced tables would apply
        c.loweredge  = loweredge;
        c.ncoeffs    = 101;
        InField    req(c);
        Output     ref(req.F), fast(req.F);
        CaptureLog log;
        const bool refok = req.g->build_transfer_function_reference(&ref.view);
        const auto reflines = Sorted(log);
        log.lines.clear();
        const bool fastok = req.g->build_transfer_function(&fast.view);
        EXPECT_EQ(refok, !loweredge);
        EXPECT_EQ(fastok, refok);
        EXPECT_EQ(Sorted(log), reflines);
        EXPECT_EQ(fast.v, std::vector<double>(fast.v.size(), 0.0));
        EXPECT_EQ(log.Count(nxlog_error, "There were errors executing the code. Return empty matrix"), loweredge ? 1 : 0);
    }
}

TEST(FastInFieldBuild, OtherGeometriesTakeThePerPixelBuild)
{
    Threads two(2);
    // The science window reaches out of the detector window on the right: the
    // per-pixel build follows the science-pixel table, the fast one does not
    // apply and leaves everything as it was.
    Request r;
    r.g.reset(new TORVEN_DeconvolutionMatrixGenerator(40, 40, 0, 0, 30, 30, 0, 0, 30, 30, 24, 7, 8, 6, 1, 1, 8, 6, 1,
                                                       1, 8, 6, nullptr, 0, false, 3, 3));
    r.MakeInputs(2, false, 30, 30);
    {
        CaptureLog quiet;
        ASSERT_TRUE(r.Initialize(WINDOW_DETECTOR));
    }
    Output     out(48), ref(48);
    CaptureLog log;
    bool       handled = true;
    TORVEN_FastMatrixBuilder builder(*r.g);
    EXPECT_FALSE(builder.BuildTransferFunction(&out.view, &handled));
    EXPECT_FALSE(handled);
    EXPECT_TRUE(log.lines.empty()) << log.Dump();
    EXPECT_EQ(out.v, std::vector<double>(out.v.size(), -7.0));
    const bool ok = r.g->build_transfer_function(&out.view);
    EXPECT_EQ(r.g->build_transfer_function_reference(&ref.view), ok);
    EXPECT_TRUE(BitwiseEqual(out.v, ref.v));
    // An output of other dimensions is refused with the per-pixel build's record.
    InField             req(kInField[2]);
    std::vector<double> small(15 * 16, 5.0);
    nx2dArray<double>   wrong(15, 16, small.data());
    EXPECT_FALSE(req.g->build_transfer_function(&wrong));
    EXPECT_EQ(log.Count(nxlog_error, "The output matrix (15 x 16) is not the expected size (30 x 30)"), 1);
    EXPECT_EQ(small, std::vector<double>(15 * 16, 5.0));
}

// --- Horizontal stray light ---------------------------------------------------

struct StrayConfig
{
    const char* name;
    int         Kx, Ky, LBINx, LBINy;
    int         dny, dnx, dsy, dsx;
    bool        vignetting, offsample;
    int         ncoeffs;
    int         leftmargin = 9, rightmargin = 11, extrax = 0;
    bool        bilinear = false;   // weights bilinear across the window, PSFs fixed
    bool        reduced  = false;   // every column goes through reduced tables (else none)
};

std::ostream& operator<<(std::ostream& os, const StrayConfig& c) { return os << c.name; }

struct Stray : Request
{
    StrayConfig         c;
    int                 Sx, Sy, NOOFx, NOOFy, F;
    std::vector<double> vign;
    nx2dArray<double>   vview;

    explicit Stray(const StrayConfig& config, bool diagnostic = false) : c(config)
    {
        Sx = c.LBINx * c.Kx + c.extrax, Sy = c.LBINy * c.Ky;
        // NOOF: margins left and right of the science window (the detector
        // window starts 3 columns in), F = Kx * Ky.
        NOOFx = Sx + c.leftmargin + c.rightmargin, NOOFy = Sy + 6, F = c.Kx * c.Ky;
        const int DOFSx = c.leftmargin >= 3 ? 3 : 0;
        const int Dx = Sx + c.leftmargin - DOFSx + 2, Dy = Sy + 4;
        g.reset(new TORVEN_DeconvolutionMatrixGenerator(NOOFx + 2, NOOFy + 2, 1, 1, NOOFx, NOOFy, DOFSx, 2, Dx, Dy,
                                                         c.leftmargin - DOFSx, 1, Sx, Sy, c.LBINx, c.LBINy, c.Kx,
                                                         c.Ky, 1, 1, c.Kx, c.Ky, nullptr, 0, diagnostic, 42, 42));
        MakeInputs(c.ncoeffs, c.offsample, NOOFx, NOOFy, c.bilinear);
        EXPECT_TRUE(Initialize(WINDOW_NOOF));
        if (c.vignetting) {
            vign.resize((size_t)NOOFx * NOOFy);
            for (int y = 0; y < NOOFy; ++y)
                for (int x = 0; x < NOOFx; ++x) vign[(size_t)y * NOOFx + x] = (x % 7 == 3) ? 0.0 : 0.5 + 0.01 * (x + y);
            vview.Attach((size_t)NOOFx, (size_t)NOOFy, vign.data());
        }
    }
    bool Reference(Output& o)
    {
        return g->build_horizontal_stray_light_reference(&o.view, vview, c.dny, c.dnx, c.dsy, c.dsx);
    }
    bool Fast(Output& o, bool* handled, KernelTarget target = KernelTarget::automatic,
              TORVEN_FastBuildStats* stats = nullptr)
    {
        TORVEN_FastMatrixBuilder builder(*g, target);
        return builder.BuildHorizontalStrayLight(&o.view, vview, c.dny, c.dnx, c.dsy, c.dsx, handled, stats);
    }
};

class FastStrayLight : public testing::TestWithParam<StrayConfig>
{
};

TEST_P(FastStrayLight, SameMatrixAndRecordsAsThePerPixelBuild)
{
    Threads    two(2);
    Stray      req(GetParam());
    Output     ref(req.F), fast(req.F);
    CaptureLog log;
    const bool refok    = req.Reference(ref);
    const auto reflines = Sorted(log);
    EXPECT_TRUE(refok);
    for (const auto& [target, name] : Targets()) {
        SCOPED_TRACE(name);
        log.lines.clear();
        bool                  handled = false;
        TORVEN_FastBuildStats stats;
        const bool            fastok = req.Fast(fast, &handled, target, &stats);
        ASSERT_TRUE(handled);
        EXPECT_EQ(stats.kernel, name);
        // Both columns of every L1C row, or none.
        EXPECT_EQ(stats.reduced_rows, GetParam().reduced ? 2 * GetParam().Ky : 0);
        EXPECT_EQ(fastok, refok);
        ExpectSameMatrix(ref.v, fast.v);
        EXPECT_EQ(Sorted(log), reflines);
    }
    double big = 0.0;
    for (double v : ref.v) big = std::max(big, std::fabs(v));
    EXPECT_GT(big, 0.01);
}

TEST_P(FastStrayLight, OneThreadWritesTheRecordsInThePerPixelOrder)
{
    Threads    one(1);
    Stray      req(GetParam(), true);
    Output     ref(req.F), fast(req.F);
    CaptureLog log;
    ASSERT_TRUE(req.Reference(ref));
    const std::vector<CapturedLine> reflines = log.lines;
    log.lines.clear();
    ASSERT_TRUE(req.g->build_horizontal_stray_light(&fast.view, req.vview, req.c.dny, req.c.dnx, req.c.dsy,
                                                     req.c.dsx));
    ASSERT_EQ(log.lines.size(), reflines.size());
    for (size_t i = 0; i < reflines.size(); ++i) EXPECT_EQ(log.lines[i].message, reflines[i].message);
}

TEST_P(FastStrayLight, BitwiseTheSameForOneTwoAndThreeThreads)
{
    Stray req(GetParam());
    for (const auto& [target, name] : Targets()) {
        std::vector<double> first;
        for (int n : {1, 2, 3}) {
            Threads    t(n);
            CaptureLog quiet;
            Output     out(req.F);
            bool       handled = false;
            ASSERT_TRUE(req.Fast(out, &handled, target));
            if (first.empty()) first = out.v;
            else EXPECT_TRUE(BitwiseEqual(first, out.v)) << name << ", " << n << " threads";
        }
    }
}

const StrayConfig kStray[] = {
    // name, Kx, Ky, LBIN, steps (ny, nx, sy, sx), vignetting, off-sample, coefficients
    {"Steps1", 4, 5, 1, 1, 1, 1, 1, 1, false, false, 2},
    {"Steps1Vignetting", 4, 5, 1, 1, 1, 1, 1, 1, true, true, 3},
    {"Steps2", 5, 4, 1, 1, 2, 2, 2, 2, false, true, 2},
    {"Steps3Vignetting", 4, 4, 2, 2, 3, 3, 3, 3, true, false, 3},
    {"Steps4", 3, 6, 2, 1, 4, 4, 4, 4, false, true, 4},
    {"MixedStepsBinned", 3, 4, 3, 2, 2, 3, 1, 4, true, true, 2},
    {"UncoveredColumnsOnTheRight", 4, 4, 1, 1, 1, 2, 1, 1, false, false, 2, 9, 11, 2},
    {"NoLeftSources", 4, 3, 1, 1, 1, 1, 1, 1, false, false, 2, 0, 12},
    {"SingleColumn", 1, 4, 2, 1, 1, 2, 1, 1, true, false, 2},
    {"Binned2x3Steps1Vignetting", 3, 4, 2, 3, 1, 1, 1, 1, true, true, 3},
    // Weights affine in the row: the columns come from reduced tables, also
    // with source steps (one sampled row per L1C row), but not where the
    // vignetting varies along the rows as well (weights quadratic in the row).
    {"ReducedBinned2x2", 4, 8, 2, 2, 1, 1, 1, 1, false, true, 3, 9, 11, 0, true, true},
    {"ReducedBinned3x2SourceSteps", 3, 6, 3, 2, 2, 2, 1, 1, false, false, 2, 10, 9, 0, true, true},
    {"NotReducedVignettingAlongTheRows", 4, 8, 2, 2, 1, 1, 1, 1, true, true, 3, 9, 11, 0, true, false},
    // A matrix too large for plain zeroing stores (20 MB).
    {"LargeMatrixStreamedZeros", 40, 40, 1, 1, 1, 1, 1, 1, false, false, 2},
};

INSTANTIATE_TEST_SUITE_P(Configurations, FastStrayLight, testing::ValuesIn(kStray),
                         [](const testing::TestParamInfo<StrayConfig>& info) { return std::string(info.param.name); });

TEST(FastStrayLightBuild, NonFiniteCoefficientsAndRefusedSteps)
{
    Threads two(2);
    Stray   req(kStray[0]);
    req.coeffs[((size_t)2 * req.NOOFy + 5) * req.N] = std::numeric_limits<double>::infinity();
    Output     ref(req.F), fast(req.F);
    CaptureLog log;
    ASSERT_TRUE(req.Reference(ref));
    ASSERT_TRUE(req.g->build_horizontal_stray_light(&fast.view, req.vview, 1, 1, 1, 1));
    ExpectSameMatrix(ref.v, fast.v);
    // A step below 1 is the per-pixel build's: it fails with its record.
    bool handled = true;
    req.c.dsx    = 0;
    EXPECT_FALSE(req.Fast(fast, &handled));
    EXPECT_FALSE(handled);
    log.lines.clear();
    EXPECT_FALSE(req.g->build_horizontal_stray_light(&fast.view, req.vview, 1, 1, 1, 0));
    EXPECT_EQ(log.Count(nxlog_error, "There were errors executing the code. Return empty matrix"), 1);
}

TEST(FastStrayLightBuild, ARowWithANonFiniteCoefficientKeepsItsSources)
{
    Threads two(2);
    Stray   req(kStray[10]);
    ASSERT_TRUE(req.c.reduced);
    // NOOF column 2 (a left source) of NOOF row 5 (science row 2): the left
    // column of L1C row 1.
    req.coeffs[((size_t)2 * req.NOOFy + 5) * req.N] = std::numeric_limits<double>::infinity();
    Output ref(req.F), fast(req.F);
    CaptureLog quiet;
    ASSERT_TRUE(req.Reference(ref));
    for (const auto& [target, name] : Targets()) {
        SCOPED_TRACE(name);
        bool                  handled = false;
        TORVEN_FastBuildStats stats;
        ASSERT_TRUE(req.Fast(fast, &handled, target, &stats));
        EXPECT_EQ(stats.reduced_rows, 2 * req.c.Ky - 1);
        ExpectSameMatrix(ref.v, fast.v);
    }
    EXPECT_TRUE(std::isinf(ref.v[(size_t)1 * req.F]) || std::isnan(ref.v[(size_t)1 * req.F]));
}

}   // namespace

// ===========================================================================
// The build request: records to its sink from every thread, its team size,
// and cancelling between work items.
namespace {

struct RecordCollector : nxRecordSink
{
    std::mutex               mutex;
    std::vector<std::string> records;
    void Add(int status, const char* text) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        records.push_back(std::to_string(status) + text);
    }
};

struct CancelAfter : TORVEN_BuildHook
{
    long long limit, calls = 0;
    explicit CancelAfter(long long n) : limit(n) {}
    bool Continue(long long, long long) override { return ++calls < limit; }
};

}   // namespace

// The tables of the fast builds against their definitions, bit for bit: each
// PSF tabulated against TORVEN_PSF_Entry::OffsetedValue at every offset in
// reach, and the binned sums of each residue against the plain sums over the
// detector pixels of each L1C pixel (columns first, then rows, in order), with
// L1C rectangles and row ranges that cut the table and reach beyond it. The
// images mix magnitudes, exact and negative zeros, so any other order of the
// terms shows.
TEST(FastTables, TheTablesAreTheirDefinitionsBitForBit)
{
    struct Psf
    {
        int    n1, n2;   // image size
        double c1, c2;   // centre
    };
    const Psf psfs[] = {{13, 11, 6.0, 5.0},  {13, 11, 6.37, 5.21}, {9, 14, 4.5, 6.5},
                        {1, 1, 0.0, 0.0},    {2, 3, -0.6, 2.9},    {7, 5, 8.2, -1.7},
                        {6, 4, 8.0, -2.0},   {5, 9, -3.0, 10.0}};
    const auto same = [](double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; };
    for (const Psf& p : psfs) {
        std::vector<double> img((size_t)p.n1 * p.n2);
        for (size_t k = 0; k < img.size(); ++k)
            img[k] = k % 7 == 3 ? -0.0 : k % 11 == 5 ? 0.0 : (k % 5 == 0 ? 1e15 : 1.0) * std::sin(1.3 * k + 0.4);
        nx2dArray<double> image((size_t)p.n1, (size_t)p.n2, img.data());
        FloatCoords       centre;
        centre.x = p.c1, centre.y = p.c2;
        TORVEN_PSF_Entry e;
        ASSERT_TRUE(e.Configure(WINDOW_DETECTOR, image, centre, WINDOW_DETECTOR));
        const Coords origin(0, 0, WINDOW_DETECTOR);
        for (const int lim : {2, 9}) {
            fastbuild::OffsetTable t;
            fastbuild::Tabulate(e, lim, lim + 1, &t);
            for (int dx = -lim; dx <= lim; ++dx)
                for (int dy = -lim - 1; dy <= lim + 1; ++dy)
                    ASSERT_TRUE(same(t.At(dx, dy), e.OffsetedValue(Coords(dy, dx, WINDOW_DETECTOR), origin)))
                        << "centre " << p.c1 << ", " << p.c2 << " at " << dx << ", " << dy;
            const int bins[][2] = {{1, 1}, {2, 3}, {3, 2}, {4, 4}, {5, 1}, {1, 6}};
            for (const auto& b : bins) {
                const long Bx = b[0], By = b[1];
                for (const long cut : {-3L, 2L}) {   // rows from before the table, or from inside it
                    const long dy0 = t.y0 + cut, nDY = std::max<long>(1, t.ny + (cut < 0 ? 5 : -4));
                    const long ilo = fastbuild::FloorDiv(t.x0, Bx) - 1, nI = (t.nx + 2 * Bx) / Bx + 2;
                    const long jlo = fastbuild::FloorDiv(dy0, By) - 1, nJ = nDY / By + 3;
                    for (long u = 0; u < Bx; ++u) {
                        std::vector<double> x((size_t)(nI * nDY));
                        std::vector<double> out((size_t)(By * nI * nJ), std::nan(""));
                        fastbuild::BinResidue(t, u, Bx, By, ilo, nI, jlo, nJ, dy0, nDY, x.data(), out.data());
                        for (long v = 0; v < By; ++v) {
                            for (long i = 0; i < nI; ++i) {
                                for (long j = 0; j < nJ; ++j) {
                                    double sum = 0.0;
                                    for (long w = 0; w < By; ++w) {
                                        const long dy = (jlo + j) * By + w - v;
                                        if (dy < dy0 || dy >= dy0 + nDY) continue;
                                        double col = 0.0;
                                        for (long c = 0; c < Bx; ++c) col += t.At((ilo + i) * Bx + c - u, dy);
                                        sum += col;
                                    }
                                    ASSERT_TRUE(same(out[(size_t)((v * nI + i) * nJ + j)], sum))
                                        << "binning " << Bx << " x " << By << ", u " << u << ", v " << v << ", i "
                                        << i << ", j " << j;
                                }
                            }
                        }
                    }
                }
            }
        }
    }
}

TEST(BuildRequest, SinkGetsEveryRecordOfEveryThreadAndTheCallersOpenMPSettingsStay)
{
    Threads three(3);
    for (bool perpixel : {false, true}) {
        CaptureLog reference;
        InField    plain(kInField[2], true);
        Output     o1(plain.F);
        ASSERT_TRUE(perpixel ? plain.g->build_transfer_function_reference(&o1.view)
                             : plain.g->build_transfer_function(&o1.view));
        std::vector<std::string> expected = Sorted(reference);
        reference.lines.clear();

        RecordCollector     sink;
        nxScopedRecordSink  loading(&sink);   // the PSF table's records too
        InField             in(kInField[2], true);
        TORVEN_BuildRequest request;
        request.options.threads   = 2;
        request.options.per_pixel = perpixel;
        request.sink              = &sink;
        request.Start();
        EXPECT_EQ(request.ResolveTeamSize("test"), 2);
        in.g->SetRequest(&request);
        Output o2(in.F);
        ASSERT_TRUE(in.g->build_transfer_function(&o2.view));
        EXPECT_TRUE(reference.lines.empty()) << reference.Dump();
        std::sort(sink.records.begin(), sink.records.end());
        EXPECT_EQ(sink.records, expected);
        EXPECT_EQ(request.report.fast_path, !perpixel);
        EXPECT_EQ(omp_get_max_threads(), 3);
        EXPECT_TRUE(BitwiseEqual(o1.v, o2.v) || perpixel);
    }
}

TEST(BuildRequest, AHookThatSaysStopCancelsEveryBuildAtAWorkItemBoundary)
{
    for (int which = 0; which < 4; ++which) {
        const bool          perpixel = which % 2 == 1, stray = which >= 2;
        RecordCollector     sink;
        CancelAfter         hook(2);
        TORVEN_BuildRequest request;
        request.options.threads   = 1;
        request.options.per_pixel = perpixel;
        request.sink              = &sink;
        request.hook              = &hook;
        request.Start();
        request.ResolveTeamSize("test");
        bool ok = true;
        std::vector<double> out;
        if (stray) {
            Stray s(kStray[0]);
            s.g->SetRequest(&request);
            Output o(s.F);
            ok  = s.g->build_horizontal_stray_light(&o.view, s.vview, 1, 1, 1, 1);
            out = o.v;
        } else {
            InField in(kInField[2]);
            in.g->SetRequest(&request);
            Output o(in.F);
            ok  = in.g->build_transfer_function(&o.view);
            out = o.v;
        }
        request.Finish(ok);
        SCOPED_TRACE(which);
        EXPECT_FALSE(ok);
        EXPECT_EQ(request.report.outcome, TORVEN_BuildOutcome::cancelled);
        EXPECT_EQ(hook.calls, 2);
        EXPECT_LT(request.report.items_done, request.report.work_items);
        EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](double v) { return v == 0.0; }));
        for (const std::string& r : sink.records) EXPECT_NE(r[0], '0') << r;   // no error record
    }
}
