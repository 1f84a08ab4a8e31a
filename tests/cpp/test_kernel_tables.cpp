// The forward model's tables (kernel_tables.h) against their definitions: the
// in-field matrix assembled from the binned tables, weights, row weights and
// lower-edge tables, and the stray-light matrix assembled from the weight
// images, receivers, PSF tables and exact rows, are the per-pixel builds'
// matrices (within 1e-12 of the largest element); the diagonal is theirs; a
// cancelled request stops the build; refusals say why.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "kernel_tables.h"
#include "test_support.h"

namespace {

// PSF images, centres and interpolation tables of a working window of wx x wy
// pixels, blending three PSFs smoothly (zero coefficients included), as
// C-ordered arrays.
struct Arrays
{
    int                 M = 3, Nx = 13, Ny = 11, N = 3, wx = 0, wy = 0;
    std::vector<double> images, centres, coeffs;
    std::vector<int>    indices;

    Arrays(int workx, int worky, bool offsample) : wx(workx), wy(worky)
    {
        images.resize((size_t)M * Nx * Ny);
        for (int p = 0; p < M; ++p) {
            for (int x = 0; x < Nx; ++x)
                for (int y = 0; y < Ny; ++y) {
                    const double dx = x - 6.0 - 0.3 * p, dy = y - 5.0 + 0.2 * p;
                    images[((size_t)p * Nx + x) * Ny + y] = std::exp(-(dx * dx / (3.0 + p) + dy * dy / 5.0));
                }
            const double shift = offsample ? 0.37 + 0.11 * p : 0.0;
            centres.insert(centres.end(), {5.5 + (offsample ? 0.21 : 0.0), 6.5 + shift, 3.0});
        }
        coeffs.assign((size_t)N * wx * wy, 0.0);
        indices.assign((size_t)N * wx * wy, 0);
        for (int x = 0; x < wx; ++x)
            for (int y = 0; y < wy; ++y)
                for (int j = 0; j < N; ++j) {
                    const size_t k = ((size_t)x * wy + y) * N + j;
                    indices[k]     = (x + 2 * y + j) % M;
                    coeffs[k] = (j == 2 && (x + y) % 2 == 0) ? 0.0 : (1.0 + j) * (0.5 + (double)x / wx) * (1.2 - (double)y / wy) / N;
                }
    }
    velmora::PsfArrays View() const
    {
        velmora::PsfArrays a;
        a.images = images.data(), a.M = M, a.Nx = Nx, a.Ny = Ny;
        a.centres = centres.data(), a.centres0 = M, a.centres1 = 3;
        a.coefficients = coeffs.data(), a.c0 = wx, a.c1 = wy, a.c2 = N;
        a.indices = indices.data(), a.i0 = wx, a.i1 = wy, a.i2 = N;
        return a;
    }
    // The generator of `w` with these arrays as its PSF table over `tables`.
    std::unique_ptr<TORVEN_DeconvolutionMatrixGenerator> Generator(const velmora::WindowSpec& w, WindowMappingType tables,
                                                                   int below, int above)
    {
        pointers.clear();
        for (int p = 0; p < M; ++p) pointers.push_back(images.data() + (size_t)p * Nx * Ny);
        loc.Attach(3, (size_t)M, centres.data());
        c3.Attach((size_t)N, (size_t)wy, (size_t)wx, coeffs.data());
        i3.Attach((size_t)N, (size_t)wy, (size_t)wx, indices.data());
        std::unique_ptr<TORVEN_DeconvolutionMatrixGenerator> g(
            new TORVEN_DeconvolutionMatrixGenerator(w, nullptr, 0, false, below, above));
        EXPECT_TRUE(g->PSF_Table()->Initialize(pointers.data(), M, Nx, Ny, tables, *g->WindowHierachy(), loc, c3, i3));
        return g;
    }
    std::vector<const double*> pointers;
    nx2dArray<double>          loc;
    nx3dArray<double>          c3;
    nx3dArray<int>             i3;
};

void ExpectSameMatrix(const std::vector<double>& ref, const std::vector<double>& got)
{
    ASSERT_EQ(ref.size(), got.size());
    double big = 0.0;
    for (double v : ref) big = std::max(big, std::fabs(v));
    int shown = 0;
    for (size_t i = 0; i < ref.size(); ++i)
        if (!(std::fabs(ref[i] - got[i]) <= 1e-12 * big) && shown++ < 5)
            ADD_FAILURE() << "element " << i << ": " << ref[i] << " vs " << got[i];
}

// --- In-field ------------------------------------------------------------------

struct InfieldCase
{
    const char* name;
    int         Kx, Ky, LBINx, LBINy, KBINx, KBINy;
    bool        quadratic, lower_edge;
    int         below, above, SOFSy;
    bool        offsample;
};
std::ostream& operator<<(std::ostream& os, const InfieldCase& c) { return os << c.name; }

const InfieldCase kInfield[] = {
    {"unbinned_quadratic_edge", 5, 4, 1, 1, 1, 1, true, true, 42, 42, 7, false},
    {"binned_2x3_quadratic_edge_offsample", 4, 3, 2, 1, 1, 3, true, true, 5, 4, 7, true},
    {"binned_3x2_midpoint_edge_cut_by_the_window", 3, 4, 3, 2, 1, 1, false, true, 42, 3, 4, true},
    {"binned_2x2_quadratic_without_edge", 4, 4, 1, 2, 2, 1, true, false, 42, 42, 7, false},
    {"one_row_midpoint_strip_of_one_row", 6, 1, 1, 1, 2, 2, false, true, 3, 1, 7, false},
};

velmora::WindowSpec InfieldWindows(const InfieldCase& c)
{
    const int Sx = c.LBINx * c.KBINx * c.Kx, Sy = c.LBINy * c.KBINy * c.Ky, SOFSx = 6;
    const int Dx = Sx + SOFSx + 4, Dy = Sy + c.SOFSy + 3;
    return velmora::WindowSpec::FromScalars(Dx + 4, Dy + 4, 2, 2, Dx, Dy, 0, 0, Dx, Dy, SOFSx, c.SOFSy, Sx, Sy, c.LBINx,
                                            c.LBINy, c.KBINx * c.Kx, c.KBINy * c.Ky, c.KBINx, c.KBINy, c.Kx, c.Ky);
}

// The in-field matrix [s * F + r] from its tables, by the definition of
// kernel_tables.h: detector row v of source pixel (X, Y') charges the column of
// (X, Y) with row weight x (below, centre, above), and its share in receiving
// pixel (I, J) is coefficient x B[u][v](I - X, J - Y'); the bottom pixels add
// their lower-edge strips.
std::vector<double> Assemble(const TORVEN_InfieldKernels& k)
{
    const int64_t Kx = k.Kx, Ky = k.Ky, F = Kx * Ky, nI = k.ihi - k.ilo + 1, nJ = k.jhi - k.jlo + 1;
    const int64_t nk = k.klast - k.kfirst + 1, neI = k.eihi - k.eilo + 1;
    std::vector<double> m((size_t)(F * F), 0.0);
    for (int s = 0; s < k.nslots; ++s)
        for (int64_t u = 0; u < k.Bx; ++u)
            for (int64_t v = 0; v < k.By; ++v)
                for (int64_t X = 0; X < Kx; ++X)
                    for (int64_t Yd = 0; Yd < Ky; ++Yd) {
                        const double c = k.weights[(size_t)((((s * k.Bx + u) * k.By + v) * Kx + X) * Ky + Yd)];
                        if (c == 0.0) continue;
                        for (int x = 0; x < 3; ++x) {
                            const double rw = k.row_weights[(size_t)(3 * v + x)];
                            if (rw == 0.0) continue;
                            const int64_t Y = x == 0 ? std::max<int64_t>(Yd, 1) - 1 : x == 1 ? Yd : std::min(Yd + 1, Ky - 1);
                            for (int64_t I = 0; I < Kx; ++I)
                                for (int64_t J = 0; J < Ky; ++J) {
                                    const int64_t i = I - X - k.ilo, j = J - Yd - k.jlo;
                                    if (i < 0 || i >= nI || j < 0 || j >= nJ) continue;
                                    const double b = k.binned[(size_t)((((s * k.Bx + u) * k.By + v) * nI + i) * nJ + j)];
                                    m[(size_t)((X * Ky + Y) * F + I * Ky + J)] += k.scale * rw * c * b;
                                }
                        }
                    }
    for (int s = 0; s < k.nslots && nk > 0; ++s)
        for (int64_t u = 0; u < k.Bx; ++u)
            for (int64_t kk = 0; kk < nk; ++kk)
                for (int64_t X = 0; X < Kx; ++X) {
                    const double c = k.edge_weights[(size_t)(((s * k.Bx + u) * nk + kk) * Kx + X)];
                    for (int64_t i = 0; i < neI; ++i)
                        for (int64_t J = 0; J < k.nJe; ++J) {
                            const int64_t I = X + k.eilo + i;
                            if (I < 0 || I >= Kx) continue;
                            const double e = k.edge[(size_t)((((s * k.Bx + u) * nk + kk) * neI + i) * k.nJe + J)];
                            m[(size_t)((X * Ky) * F + I * Ky + J)] += k.scale * c * e;
                        }
                }
    return m;
}

class InfieldTables : public testing::TestWithParam<InfieldCase>
{
};

TEST_P(InfieldTables, AssembleToThePerPixelMatrix)
{
    const InfieldCase& c = GetParam();
    const velmora::WindowSpec w = InfieldWindows(c);
    Arrays                    a(w.Dx(), w.Dy(), c.offsample);
    velmora::Instrument       in;
    std::string               error;
    ASSERT_TRUE(velmora::Instrument::Make(w.data(), 22, a.View(), velmora::WindowSpec::Tables::detector, &in, &error))
        << error;
    velmora::InfieldOptions o;
    o.use_simpsons = c.quadratic, o.lower_edge = c.lower_edge, o.rows_below = c.below, o.rows_above = c.above;
    TORVEN_InfieldKernels k;
    ASSERT_TRUE(TORVEN_BuildInfieldKernels(in, o, 2, nullptr, &k, &error)) << error;
    EXPECT_EQ(k.Bx, w.Bx());
    EXPECT_EQ(k.By, w.By());

    CaptureLog quiet;
    auto       g = a.Generator(w, WINDOW_DETECTOR, c.below, c.above);
    g->set_option_use_simpsons(c.quadratic);
    g->set_option_create_lower_edge_adjustment(c.lower_edge);
    const int64_t       F = w.F();
    std::vector<double> ref((size_t)(F * F), -1.0);
    nx2dArray<double>   view((size_t)F, (size_t)F, ref.data());
    ASSERT_TRUE(g->build_transfer_function_reference(&view));
    ExpectSameMatrix(ref, Assemble(k));
}

INSTANTIATE_TEST_SUITE_P(Cases, InfieldTables, testing::ValuesIn(kInfield),
                         [](const testing::TestParamInfo<InfieldCase>& i) { return std::string(i.param.name); });

// --- Stray light ---------------------------------------------------------------

struct StrayCase
{
    const char* name;
    int         Kx, Ky, LBINx, LBINy;
    int         dnx, dny, dsx, dsy;
    bool        vignetting, exact;
};
std::ostream& operator<<(std::ostream& os, const StrayCase& c) { return os << c.name; }

const StrayCase kStray[] = {
    {"unbinned_steps_of_one", 4, 3, 1, 1, 1, 1, 1, 1, false, false},
    {"binned_2x2_vignetted_steps", 3, 3, 2, 2, 2, 3, 1, 1, true, false},
    {"sampled_receivers_vignetted", 5, 2, 1, 2, 1, 2, 2, 3, true, false},
    {"every_source_exact", 3, 2, 2, 1, 3, 1, 1, 1, true, true},
};

// The stray-light matrix [s * F + r] from its tables: each source (col, row)
// charges the end pixel of its row and side with weights[slot] x table[slot] at
// the offset to every sampled receiver; the exact rows add theirs.
std::vector<double> Assemble(const TORVEN_StrayKernels& k, int64_t F)
{
    std::vector<double> m((size_t)(F * F), 0.0);
    const int64_t nrows = (int64_t)k.row_y.size(), ncols = (int64_t)k.col_x.size();
    const int64_t na = (int64_t)k.recv_x.size(), nb = (int64_t)k.recv_y.size();
    for (int64_t col = 0; col < ncols; ++col)
        for (int64_t row = 0; row < nrows; ++row) {
            const int e = k.ends[(size_t)(2 * row + k.col_side[(size_t)col])];
            if (e < 0) continue;
            for (int64_t a = 0; a < na; ++a)
                for (int64_t b = 0; b < nb; ++b) {
                    const int r = k.recv_r[(size_t)(a * nb + b)];
                    const int64_t dx = k.recv_x[(size_t)a] - k.col_x[(size_t)col] - k.dx0;
                    const int64_t dy = k.recv_y[(size_t)b] - k.row_y[(size_t)row] - k.dy0;
                    if (r < 0 || dx < 0 || dx >= k.ndx || dy < 0 || dy >= k.ndy) continue;
                    for (int s = 0; s < k.nslots; ++s)
                        m[(size_t)(e * F + r)] += k.scale * k.weights[(size_t)((s * ncols + col) * nrows + row)] *
                                                  k.tables[(size_t)((s * k.ndx + dx) * k.ndy + dy)];
                }
        }
    for (size_t n = 0; n < k.exact_sources.size(); ++n)
        for (int64_t r = 0; r < F; ++r) m[(size_t)(k.exact_sources[n] * F + r)] += k.exact_rows[n * (size_t)F + (size_t)r];
    return m;
}

class StrayTables : public testing::TestWithParam<StrayCase>
{
};

TEST_P(StrayTables, AssembleToThePerPixelMatrixWithItsDiagonal)
{
    const StrayCase& c  = GetParam();
    const int        Sx = c.LBINx * c.Kx, Sy = c.LBINy * c.Ky, left = 9, right = 11;
    const int        NOOFx = Sx + left + right, NOOFy = Sy + 6, DOFSx = 3, Dx = Sx + left - DOFSx + 2, Dy = Sy + 4;
    const velmora::WindowSpec w = velmora::WindowSpec::FromScalars(
        NOOFx + 2, NOOFy + 2, 1, 1, NOOFx, NOOFy, DOFSx, 2, Dx, Dy, left - DOFSx, 1, Sx, Sy, c.LBINx, c.LBINy, c.Kx,
        c.Ky, 1, 1, c.Kx, c.Ky);
    Arrays              a(NOOFx, NOOFy, true);
    std::vector<double> vign((size_t)NOOFx * NOOFy);
    for (int y = 0; y < NOOFy; ++y)
        for (int x = 0; x < NOOFx; ++x) vign[(size_t)y * NOOFx + x] = (x % 7 == 3) ? 0.0 : 0.5 + 0.01 * (x + y);
    velmora::Instrument in;
    std::string         error;
    ASSERT_TRUE(velmora::Instrument::Make(w.data(), 22, a.View(), velmora::WindowSpec::Tables::noof, &in, &error))
        << error;
    velmora::StrayOptions steps;
    steps.delta_nx = c.dnx, steps.delta_ny = c.dny, steps.delta_sx = c.dsx, steps.delta_sy = c.dsy;
    TORVEN_StrayKernels k;
    bool                memory = false;
    ASSERT_TRUE(TORVEN_BuildStrayKernels(in, c.vignetting ? vign.data() : nullptr, steps, 2, c.exact, 1e300, nullptr,
                                         &k, &error, &memory))
        << error;
    EXPECT_EQ(c.exact, !k.exact_sources.empty());

    CaptureLog          quiet;
    auto                g = a.Generator(w, WINDOW_NOOF, 42, 42);
    const int64_t       F = w.F();
    std::vector<double> ref((size_t)(F * F), -1.0);
    nx2dArray<double>   view((size_t)F, (size_t)F, ref.data());
    nx2dArray<double>   vview;
    if (c.vignetting) vview.Attach((size_t)NOOFx, (size_t)NOOFy, vign.data());
    ASSERT_TRUE(g->build_horizontal_stray_light_reference(&view, vview, c.dny, c.dnx, c.dsy, c.dsx));
    const std::vector<double> got = Assemble(k, F);
    ExpectSameMatrix(ref, got);
    ASSERT_EQ(k.sources.size(), k.diagonal.size());
    for (size_t n = 0; n < k.sources.size(); ++n) {
        const int s = k.sources[n];
        EXPECT_NEAR(k.diagonal[n], ref[(size_t)(s * F + s)], 1e-12) << "source " << s;
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, StrayTables, testing::ValuesIn(kStray),
                         [](const testing::TestParamInfo<StrayCase>& i) { return std::string(i.param.name); });

// --- Refusals and cancelling ---------------------------------------------------

TEST(KernelTables, RefusalsSayWhyAndACancelledRequestStopsTheBuild)
{
    const InfieldCase         c = kInfield[1];
    const velmora::WindowSpec w = InfieldWindows(c);
    Arrays                    a(w.Dx(), w.Dy(), false);
    velmora::Instrument       in;
    std::string               error;
    ASSERT_TRUE(velmora::Instrument::Make(w.data(), 22, a.View(), velmora::WindowSpec::Tables::detector, &in, &error));
    TORVEN_InfieldKernels k;
    velmora::InfieldOptions negative;
    negative.rows_below = -1;
    EXPECT_FALSE(TORVEN_BuildInfieldKernels(in, negative, 1, nullptr, &k, &error));
    EXPECT_EQ(error, "rows_below and rows_above must not be negative");

    // One science row more than the L1C rows bin into: refused by the windows' check.
    int shifted[22];
    std::copy(w.data(), w.data() + 22, shifted);
    shifted[velmora::WindowSpec::kSy] += 1;
    velmora::Instrument bad;
    EXPECT_FALSE(velmora::Instrument::Make(shifted, 22, a.View(), velmora::WindowSpec::Tables::detector, &bad, &error));
    EXPECT_EQ(error, "the science, L1B and L1C window sizes do not agree with the binnings");

    TORVEN_BuildRequest cancelled;
    cancelled.Cancel();
    EXPECT_FALSE(TORVEN_BuildInfieldKernels(in, velmora::InfieldOptions(), 2, &cancelled, &k, &error));
    EXPECT_EQ(error, "the table build was cancelled");
    TORVEN_StrayKernels sk;
    bool                memory = true;
    velmora::StrayOptions zero;
    zero.delta_sy = 0;
    EXPECT_FALSE(TORVEN_BuildStrayKernels(in, nullptr, zero, 1, false, 1e300, nullptr, &sk, &error, &memory));
    EXPECT_EQ(error, "the sampling steps must be at least 1");
    EXPECT_FALSE(memory);
}

}   // namespace
