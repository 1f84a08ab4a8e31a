// The kernel tables of the forward model; see kernel_tables.h.
#include "kernel_tables.h"

#include <omp.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "fast_tables.h"
#include "geometry.h"
#include "nxlog.h"

namespace {

using i64 = int64_t;


// The tables of one measured PSF at whole-pixel offsets, and their binning,
// are the fast builds' own.
using fastbuild::BinResidue;
using fastbuild::CeilDiv;
using fastbuild::FloorDiv;
using fastbuild::kMaxExtent;
using fastbuild::OffsetTable;
using fastbuild::Tabulate;

std::string Format(const char* format, long long a = 0, long long b = 0, long long c = 0, long long d = 0)
{
    char text[512];
    std::snprintf(text, sizeof text, format, a, b, c, d);
    return text;
}


// Keeps the records raised on this thread while the generator is set up; the
// first error among them explains a refusal.
class FirstError : public nxRecordSink
{
  public:
    std::string error;
    void        Add(int status, const char* text) override
    {
        try {
            if (status == nxlog_error && error.empty()) error = text;
        } catch (...) {
        }
    }
};


// The caller's arrays viewed as the PSF table wants them.
struct Views
{
    std::vector<const double*> images;
    nx2dArray<double>          centres;
    nx3dArray<double>          coefficients;
    nx3dArray<int>             indices;

    explicit Views(const velmora::PsfArrays& in)
        : images((size_t)in.M),
          centres(3, (size_t)in.M, const_cast<double*>(in.centres)),
          coefficients((size_t)in.c2, (size_t)in.c1, (size_t)in.c0, const_cast<double*>(in.coefficients)),
          indices((size_t)in.i2, (size_t)in.i1, (size_t)in.i0, const_cast<int*>(in.indices))
    {
        const size_t per = (size_t)in.Nx * (size_t)in.Ny;
        for (size_t m = 0; m < images.size(); ++m) images[m] = in.images + m * per;
    }
};

// The generator of the instrument's windows with the PSF table of its arrays
// over `tables`, or null with the reason (the first error among `records`,
// which receive this thread's records) in *error.
std::unique_ptr<TORVEN_DeconvolutionMatrixGenerator> MakeGenerator(const velmora::Instrument& in, int rows_below,
                                                                   int rows_above, WindowMappingType tables,
                                                                   Views* views, const FirstError& records,
                                                                   std::string* error)
{
    std::unique_ptr<TORVEN_DeconvolutionMatrixGenerator> g(
        new TORVEN_DeconvolutionMatrixGenerator(in.Windows(), nullptr, 0, false, rows_below, rows_above));
    const velmora::PsfArrays& a = in.Arrays();
    if (!g->PSF_Table()->Initialize(views->images.data(), a.M, a.Nx, a.Ny, tables, *g->WindowHierachy(),
                                    views->centres, views->coefficients, views->indices)) {
        *error = "the PSF table cannot be set up: " + records.error;
        return nullptr;
    }
    return g;
}

// A build that its request cancelled stops at the next work item and hands
// out nothing.
bool Cancelled(const TORVEN_BuildRequest* request) { return request != nullptr && request->Cancelled(); }
bool StopCancelled(std::string* error)
{
    *error = "the table build was cancelled";
    return false;
}

// Adds the coefficients of the PSF centred on `source` to w[slot * stride].
// False with the reason when the lookup fails or a coefficient is not finite.
bool AddCoefficients(const TORVEN_PSF_Table& table, const std::vector<int>& slots, const Coords& source,
                     TORVEN_PSF_InterpolationCoeffs& coeffs, double* w, size_t stride, std::string* error)
{
    if (!table.GetInterpolationCoefficientsForNewPSFCentre(source, &coeffs)) {
        *error = Format("the PSF lookup failed for detector pixel [%lld,%lld]", source.x, source.y);
        return false;
    }
    for (int j = 0; j < coeffs.NumCoeffs(); ++j) {
        const double c = coeffs.Coefficient(j);
        if (c == 0.0) continue;
        const int p = coeffs.PsfIndex(j);
        if (!std::isfinite(c) || p < 0 || (size_t)p >= slots.size() || slots[(size_t)p] < 0) {
            *error = Format("detector pixel [%lld,%lld] has a PSF coefficient that is not finite, which the "
                            "convolution tables cannot carry",
                            source.x, source.y);
            return false;
        }
        w[(size_t)slots[(size_t)p] * stride] += c;
    }
    return true;
}

}   // namespace

// ===========================================================================
// ===========================================================================
namespace {

// The stages of an in-field table build after the PSFs are tabulated (V, one
// offset table per slot): binned tables, per-source weights, row weights,
// lower-edge tables. Each skips its remaining work items once the request is
// cancelled.
struct InfieldTableBuild
{
    const TORVEN_PSF_Table&         psftable;
    const WindowMapping&            l1c;
    const std::vector<int>&         slots;
    const std::vector<OffsetTable>& V;
    const velmora::Geometry&        geo;
    int                             threads;
    const TORVEN_BuildRequest*      request;
    TORVEN_InfieldKernels*          out;
    std::string*                    error;

    void Binned();
    bool Weights();
    void RowWeights(bool quadratic);
    bool Edge();
};

// Binned tables over every L1C offset the L1C window has.
void InfieldTableBuild::Binned()
{
    const i64 Kx = geo.Kx, Ky = geo.Ky, Bx = geo.Bx, By = geo.By;
    const int ns = out->nslots;
    out->ilo = -(Kx - 1), out->ihi = Kx - 1, out->jlo = -(Ky - 1), out->jhi = Ky - 1;
    {
        i64 x0 = 0, x1 = -1, y0 = 0, y1 = -1;
        bool any = false;
        for (const OffsetTable& t : V) {
            if (t.nx <= 0 || t.ny <= 0) continue;
            if (!any) x0 = t.x0, x1 = t.x0 + t.nx - 1, y0 = t.y0, y1 = t.y0 + t.ny - 1;
            x0 = std::min(x0, t.x0), x1 = std::max(x1, t.x0 + t.nx - 1);
            y0 = std::min(y0, t.y0), y1 = std::max(y1, t.y0 + t.ny - 1);
            any = true;
        }
        if (any) {
            out->ilo = std::max(out->ilo, CeilDiv(x0 - (Bx - 1), Bx));
            out->ihi = std::min(out->ihi, FloorDiv(x1 + (Bx - 1), Bx));
            out->jlo = std::max(out->jlo, CeilDiv(y0 - (By - 1), By));
            out->jhi = std::min(out->jhi, FloorDiv(y1 + (By - 1), By));
        }
        if (!any || out->ilo > out->ihi || out->jlo > out->jhi) out->ilo = 0, out->ihi = -1, out->jlo = 0, out->jhi = -1;
    }
    const i64 nI = out->ihi - out->ilo + 1, nJ = out->jhi - out->jlo + 1;
    out->binned.assign((size_t)(ns * Bx * By * std::max<i64>(nI, 0) * std::max<i64>(nJ, 0)), 0.0);
    if (nI > 0 && nJ > 0) {
#pragma omp parallel for schedule(dynamic, 1) num_threads(threads)
        for (i64 su = 0; su < (i64)ns * Bx; ++su) {
            if (Cancelled(request)) continue;
            const int          s = (int)(su / Bx);
            const i64          u = su % Bx;
            const OffsetTable& vt = V[(size_t)s];
            // The rows of V that reach the binned rows [jlo, jhi].
            const i64           dylo = out->jlo * By - (By - 1), nDY = nJ * By + (By - 1);
            std::vector<double> x((size_t)(nI * nDY));
            BinResidue(vt, u, Bx, By, out->ilo, nI, out->jlo, nJ, dylo, nDY, x.data(),
                       out->binned.data() + (size_t)((s * Bx + u) * By * nI * nJ));
        }
    }
}

// Per-source weights: the coefficients of every detector pixel. False with the
// reason in *error when a lookup fails or a coefficient is not finite.
bool InfieldTableBuild::Weights()
{
    const i64 Kx = geo.Kx, Ky = geo.Ky, Bx = geo.Bx, By = geo.By, F = geo.F;
    const int ns = out->nslots;
    out->weights.assign((size_t)(ns * Bx * By * F), 0.0);
    const size_t stride = (size_t)(Bx * By * F);
    std::string  failure;
    bool         failed = false;
#pragma omp parallel num_threads(threads)
    {
        TORVEN_PSF_InterpolationCoeffs coeffs;
        std::string                    why;
#pragma omp for schedule(static)
        for (i64 X = 0; X < Kx; ++X) {
            if (Cancelled(request)) continue;
            bool ok = true;
            for (i64 Y = 0; Y < Ky && ok; ++Y) {
                Coords first(WINDOW_DETECTOR);
                l1c.ToParentWindow(Coords((int)Y, (int)X, WINDOW_L1C), &first, false);
                for (i64 u = 0; u < Bx && ok; ++u)
                    for (i64 v = 0; v < By && ok; ++v) {
                        double* w = out->weights.data() + (size_t)((u * By + v) * F + X * Ky + Y);
                        ok = AddCoefficients(psftable, slots,
                                             Coords(first.y + (int)v, first.x + (int)u, WINDOW_DETECTOR), coeffs,
                                             w, stride, &why);
                    }
            }
            if (!ok) {
#pragma omp critical(velmora_kernel_failure)
                if (!failed) failed = true, failure = why;
            }
        }
    }
    if (failed) *error = failure;
    return !failed;
}

void InfieldTableBuild::RowWeights(bool quadratic)
{
    const i64 By = geo.By;
    out->row_weights.assign((size_t)(3 * By), 0.0);
    for (i64 v = 0; v < By; ++v) {
        double* rw = out->row_weights.data() + 3 * v;
        if (quadratic) TORVEN_DeconvolutionMatrixGenerator::SimpsonWeights((double)v - (double)By / 2.0, (double)By, rw, rw + 1, rw + 2);
        else rw[1] = 1.0;
    }
}

// Lower-edge tables: receivers within N_above columns of the source and below
// strip row yh, summed over the strip rows of each L1C row. False with the
// reason in *error when a lookup fails or the build is cancelled.
bool InfieldTableBuild::Edge()
{
    const i64  Kx = geo.Kx, Bx = geo.Bx, By = geo.By, nk = geo.nk, yh = geo.yh, nabove = geo.rows_above;
    const bool edge = geo.edge;
    const int  ns   = out->nslots;
    out->eilo = 0, out->eihi = -1, out->nJe = 0;
    if (edge) {
        const i64 dxlo = std::max<i64>(-nabove, -(Kx * Bx - 1)), dxhi = std::min<i64>(nabove - 1, Kx * Bx - 1);
        out->eilo = std::max<i64>(CeilDiv(dxlo - (Bx - 1), Bx), -(Kx - 1));
        out->eihi = std::min<i64>(FloorDiv(dxhi + (Bx - 1), Bx), Kx - 1);
        out->nJe  = CeilDiv(yh, By);
        const i64 neI = std::max<i64>(0, out->eihi - out->eilo + 1), nJe = out->nJe;
        out->edge.assign((size_t)(ns * Bx * nk * neI * nJe), 0.0);
#pragma omp parallel for schedule(dynamic, 1) num_threads(threads)
        for (i64 su = 0; su < (i64)ns * Bx; ++su) {
            if (Cancelled(request)) continue;
            const int          s = (int)(su / Bx);
            const i64          u = su % Bx;
            const OffsetTable& vt = V[(size_t)s];
            for (i64 kk = 0; kk < nk; ++kk) {
                const i64 k = out->kfirst + kk;
                double*   e = out->edge.data() + (size_t)(((s * Bx + u) * nk + kk) * neI * nJe);
                for (i64 i = 0; i < neI; ++i)
                    for (i64 y = 0; y < yh; ++y) {
                        double sum = 0.0;
                        for (i64 t = 0; t < Bx; ++t) {
                            const i64 dx = (out->eilo + i) * Bx + t - u;
                            if (dx >= -nabove && dx < nabove) sum += vt.At(dx, y - k);
                        }
                        e[i * nJe + y / By] += sum;
                    }
            }
        }
        if (Cancelled(request)) return StopCancelled(error);
        out->edge_weights.assign((size_t)(ns * Bx * nk * Kx), 0.0);
        TORVEN_PSF_InterpolationCoeffs coeffs;
        for (i64 X = 0; X < Kx; ++X) {
            if (Cancelled(request)) return StopCancelled(error);
            Coords first(WINDOW_DETECTOR);
            l1c.ToParentWindow(Coords(0, (int)X, WINDOW_L1C), &first, false);
            for (i64 u = 0; u < Bx; ++u)
                for (i64 kk = 0; kk < nk; ++kk) {
                    double* w = out->edge_weights.data() + (size_t)((u * nk + kk) * Kx + X);
                    const Coords source(first.y + (int)(out->kfirst + kk), first.x + (int)u, WINDOW_DETECTOR);
                    if (!AddCoefficients(psftable, slots, source, coeffs, w, (size_t)(Bx * nk * Kx), error))
                        return false;
                }
        }
    } else {
        out->kfirst = 0, out->klast = -1;
    }
    return true;
}

}   // namespace

bool TORVEN_BuildInfieldKernels(const velmora::Instrument& in, const velmora::InfieldOptions& options, int threads,
                                const TORVEN_BuildRequest* request, TORVEN_InfieldKernels* out, std::string* error)
{
    const bool quadratic = options.use_simpsons, lower_edge = options.lower_edge;
    const int  rows_below = options.rows_below, rows_above = options.rows_above;
    if (rows_below < 0 || rows_above < 0) {
        *error = "rows_below and rows_above must not be negative";
        return false;
    }
    threads = velmora::TableTeamSize(threads);
    FirstError records;
    nxScopedRecordSink scope(&records);
    try {
        Views views(in.Arrays());
        auto  g = MakeGenerator(in, rows_below, rows_above, WINDOW_DETECTOR, &views, records, error);
        if (!g) return false;
        const WindowMapping& l1c = g->L1cToDetector();
        // The decomposition: every receiving L1C pixel is a whole bin of science
        // pixels counted from the science window's origin.
        const velmora::Geometry geo = velmora::Geometry::Of(*g, lower_edge);
        if (!geo.tiled) {
            *error = geo.untiled;
            return false;
        }
        const i64 Kx = geo.Kx, Ky = geo.Ky, Bx = geo.Bx, By = geo.By;

        const TORVEN_PSF_Table& psftable = *g->PSF_Table();
        out->Kx = Kx, out->Ky = Ky, out->Bx = Bx, out->By = By, out->quadratic = quadratic;
        out->scale = 1.0 / (double)(Bx * By);
        velmora::Slots         referenced = velmora::ReferencedSlots(psftable);
        const std::vector<int> slots      = referenced.slot_of_psf;
        out->psf_of_slot                  = std::move(referenced.psf_of_slot);
        const int ns                      = (int)out->psf_of_slot.size();
        out->nslots                       = ns;

        // Lower-edge source rows: k in [-N_below, -1] inside the detector window.
        out->kfirst = geo.kfirst, out->klast = geo.klast;
        const i64 nk = geo.nk;

        // Each PSF at the offsets between two pixels of the L1C-covered area or
        // between a lower-edge source and its strip.
        std::vector<OffsetTable> V((size_t)ns);
        const i64 limx = Kx * Bx, limy = Ky * By + nk + 1;
        const auto& entries = psftable.MeasuredPSFEntries();
#pragma omp parallel for schedule(dynamic, 1) num_threads(threads)
        for (int s = 0; s < ns; ++s)
            if (!Cancelled(request)) Tabulate(entries[(size_t)out->psf_of_slot[(size_t)s]], limx, limy, &V[(size_t)s]);
        if (Cancelled(request)) return StopCancelled(error);

        InfieldTableBuild build{psftable, l1c, slots, V, geo, threads, request, out, error};
        build.Binned();
        if (Cancelled(request)) return StopCancelled(error);
        if (!build.Weights()) return false;
        if (Cancelled(request)) return StopCancelled(error);
        build.RowWeights(quadratic);
        return build.Edge();
    } catch (const std::bad_alloc&) {
        *error = "there is not enough memory for the convolution tables";
    } catch (...) {
        *error = "the convolution tables could not be built";
    }
    return false;
}

// ===========================================================================
namespace {

// The rectangle of an offset table's values that are not 0, clipped to
// [xlo, xhi] x [ylo, yhi]. False when there is none.
bool NonZeroSupport(const OffsetTable& t, i64 xlo, i64 xhi, i64 ylo, i64 yhi, i64* x0, i64* x1, i64* y0, i64* y1)
{
    *x0 = INT64_MAX, *x1 = INT64_MIN, *y0 = INT64_MAX, *y1 = INT64_MIN;
    const i64 ia = std::max<i64>(0, xlo - t.x0), ib = std::min<i64>(t.nx - 1, xhi - t.x0);
    const i64 ja = std::max<i64>(0, ylo - t.y0), jb = std::min<i64>(t.ny - 1, yhi - t.y0);
    for (i64 i = ia; i <= ib; ++i) {
        const double* col = t.v.data() + (size_t)(i * t.ny);
        for (i64 j = ja; j <= jb; ++j) {
            if (col[j] == 0.0) continue;
            *x0 = std::min(*x0, t.x0 + i), *x1 = std::max(*x1, t.x0 + i);
            *y0 = std::min(*y0, t.y0 + j), *y1 = std::max(*y1, t.y0 + j);
        }
    }
    return *x0 <= *x1;
}

}   // namespace

// ===========================================================================
namespace {

// A sampled receiver: its NOOF position and L1C pixel.
struct Receiver
{
    Coords noof;
    int    r;
};

// The stages of a stray-light table build, over the windows of its generator:
// the sampled receivers, the source rows and columns with their end pixels,
// the weights of every source, the PSF tables, the rows of the sources
// evaluated exactly, and the diagonal. Each skips its remaining work items once
// the request is cancelled.
struct StrayTableBuild
{
    const TORVEN_PSF_Table&    psftable;
    const WindowMapping&       science;
    const WindowMapping&       detector;
    const L1cFlatIndexer&      indexer;
    const WindowMapping        to_noof;
    const i64                  F, Sx, Sy, NOOFx, NOOFy;
    const double               scale;
    const int                  delta_nx, delta_ny, delta_sx, delta_sy;
    const double*              vignetting;
    const bool                 exact;
    const int                  threads;
    const TORVEN_BuildRequest* request;
    TORVEN_StrayKernels*       out;

    std::vector<Receiver> receivers{};
    bool                  separable = true;   // the receivers are a grid of NOOF positions
    i64                   na = 0, nb = 0;     // sampled science columns and rows
    double                source_area = 0.0;
    i64                   nrows = 0, ncols = 0, ns = 0;   // source rows, source columns, end pixels
    velmora::Slots        referenced{};
    i64                   nall  = 0;   // slots of the referenced PSFs
    size_t                plane = 0;   // sources (ncols * nrows)
    std::vector<double>   weights{};   // [slot][col][row] over the referenced slots
    std::vector<std::vector<int64_t>>           exceptional{};   // per column: its rows evaluated exactly
    std::vector<TORVEN_PSF_InterpolationCoeffs> lookups{};       // per thread
    std::vector<std::vector<int>>               charges{};       // per end pixel: 2 * row + side of its rows
    std::vector<i64>                            exact_of{};      // per end pixel: its exact row, or -1

    double factor_of(i64 c, i64 row) const;
    void   Receivers();
    void   Sources();
    void   SourceWeights();
    void   PsfTables();
    bool   ExactRows(double max_exact_bytes, bool* out_of_memory, std::string* error);
    void   Diagonal();
};

// The sampled receivers as a grid: NOOF column of each sampled science
// column, NOOF row of each sampled science row, and the L1C pixel of each
// pair. Where the science window maps to the NOOF window without binning
// (every consistent set of windows) the grid is separable and the sources go
// through the convolution; otherwise every source is evaluated per receiver.
void StrayTableBuild::Receivers()
{
    std::vector<i64>      gx, gy;
    for (i64 sx = delta_sx / 2; sx < Sx; sx += delta_sx) gx.push_back(sx);
    for (i64 sy = delta_sy / 2; sy < Sy; sy += delta_sy) gy.push_back(sy);
    na = (i64)gx.size(), nb = (i64)gy.size();
    out->recv_r.assign((size_t)(na * nb), -1);
    out->recv_x.assign((size_t)na, 0);
    out->recv_y.assign((size_t)nb, 0);
    separable = true;
    for (i64 a = 0; a < na; ++a)
        for (i64 b = 0; b < nb; ++b) {
            Coords n(WINDOW_NOOF), det(WINDOW_DETECTOR);
            to_noof.ToParentWindow(Coords((int)gy[(size_t)b], (int)gx[(size_t)a], WINDOW_SCIENCE), &n, false);
            if (b == 0) out->recv_x[(size_t)a] = n.x;
            if (a == 0) out->recv_y[(size_t)b] = n.y;
            separable = separable && out->recv_x[(size_t)a] == n.x && out->recv_y[(size_t)b] == n.y &&
                        (a == 0 || out->recv_x[(size_t)a] > out->recv_x[(size_t)a - 1]) &&
                        (b == 0 || out->recv_y[(size_t)b] > out->recv_y[(size_t)b - 1]);
            detector.FromParentWindow(n, &det, false);
            int r = -1;
            if (indexer.FlatIndexFromDetectorPixel(det, &r, true) && r >= 0 && r < F) {
                out->recv_r[(size_t)(a * nb + b)] = r;
                receivers.push_back({n, r});
            }
        }

}

// The sampled rows with their end pixels, the source columns, and the end
// pixels with sources.
void StrayTableBuild::Sources()
{
    Coords leftpix(WINDOW_NOOF), rightpix(WINDOW_NOOF);
    to_noof.ToParentWindow(Coords(0, 0, WINDOW_SCIENCE), &leftpix, false);
    to_noof.ToParentWindow(Coords(0, (int)Sx, WINDOW_SCIENCE), &rightpix, false);
    source_area              = (double)((i64)delta_ny * delta_nx);
    i64          leftstart   = (i64)leftpix.x - 1 - delta_nx / 2;
    i64          rightstart  = (i64)rightpix.x + delta_nx / 2;
    if (leftstart >= NOOFx) leftstart -= ((leftstart - NOOFx) / delta_nx + 1) * (i64)delta_nx;
    if (rightstart < 0) rightstart += ((-rightstart - 1) / delta_nx + 1) * (i64)delta_nx;
    out->row_y.clear(), out->ends.clear();
    for (i64 iy = delta_ny / 2; iy < Sy; iy += delta_ny) {
        int    end[2] = {-1, -1};
        Coords det(WINDOW_DETECTOR);
        for (int side = 0; side < 2; ++side) {
            const int sx = side == 0 ? 0 : (int)Sx - 1;
            if (!(science.ToParentWindow(Coords((int)iy, sx, WINDOW_SCIENCE), &det, true) &&
                  indexer.FlatIndexFromDetectorPixel(det, &end[side], true)) ||
                end[side] >= F)
                end[side] = -1;
        }
        Coords nrow(WINDOW_NOOF);
        to_noof.ToParentWindow(Coords((int)iy, 0, WINDOW_SCIENCE), &nrow, false);
        out->row_y.push_back(nrow.y);
        out->ends.push_back(end[0]);
        out->ends.push_back(end[1]);
    }
    out->col_x.clear(), out->col_side.clear();
    for (i64 x = leftstart; x >= 0; x -= delta_nx) out->col_x.push_back((int)x), out->col_side.push_back(0);
    std::reverse(out->col_x.begin(), out->col_x.end());
    for (i64 x = rightstart; x < NOOFx; x += delta_nx) out->col_x.push_back((int)x), out->col_side.push_back(1);
    nrows = (i64)out->row_y.size(), ncols = (i64)out->col_x.size();
    out->sources.clear();
    for (int e : out->ends)
        if (e >= 0) out->sources.push_back(e);
    std::sort(out->sources.begin(), out->sources.end());
    out->sources.erase(std::unique(out->sources.begin(), out->sources.end()), out->sources.end());
    ns = (i64)out->sources.size();
}

// The factor of the source (col, row), or 0 for none.
double StrayTableBuild::factor_of(i64 c, i64 row) const
{
    const i64 x = out->col_x[(size_t)c], ny = out->row_y[(size_t)row];
    double    factor = (double)((i64)delta_sx * delta_sy) * source_area;
    if (vignetting != nullptr) {
        if (x < 0 || x >= NOOFx || ny < 0 || ny >= NOOFy) return 0.0;
        factor = vignetting[(size_t)ny * (size_t)NOOFx + (size_t)x] * factor;
    }
    return std::isfinite(factor) ? factor : 0.0;
}

// The weights of every source, by the slots of the referenced PSFs; sources the
// tables cannot carry are listed to be evaluated exactly. Throws on allocation
// failure.
void StrayTableBuild::SourceWeights()
{
    referenced                          = velmora::ReferencedSlots(psftable);
    const std::vector<int>& psf_of_slot = referenced.psf_of_slot;
    const std::vector<int>& slots       = referenced.slot_of_psf;
    nall  = (i64)psf_of_slot.size();
    plane = (size_t)(ncols * nrows);
    weights.assign((size_t)nall * plane, 0.0);
    exceptional.assign((size_t)ncols, std::vector<int64_t>());
    // Per-thread lookups; nothing may escape a parallel region, so a failed
    // allocation in one is raised after it.
    lookups.resize((size_t)threads);
    bool failed = false;
#pragma omp parallel for schedule(dynamic, 4) num_threads(threads)
    for (i64 c = 0; c < ncols; ++c) {
        if (Cancelled(request)) continue;
        TORVEN_PSF_InterpolationCoeffs& coeffs = lookups[(size_t)omp_get_thread_num()];
        try {
            const int side = out->col_side[(size_t)c];
            for (i64 row = 0; row < nrows; ++row) {
                if (out->ends[(size_t)(2 * row + side)] < 0) continue;
                const double factor = factor_of(c, row);
                if (factor == 0.0) continue;
                const Coords src(out->row_y[(size_t)row], out->col_x[(size_t)c], WINDOW_NOOF);
                if (!psftable.GetInterpolationCoefficientsForNewPSFCentre(src, &coeffs)) continue;
                if (exact || !separable || !fastbuild::Tabulated(coeffs, slots)) {
                    exceptional[(size_t)c].push_back(row);
                    continue;
                }
                for (int j = 0; j < coeffs.NumCoeffs(); ++j)
                    weights[(size_t)slots[(size_t)coeffs.PsfIndex(j)] * plane + (size_t)(c * nrows + row)] +=
                        coeffs.Coefficient(j) * factor;
            }
        } catch (...) {
#pragma omp atomic write
            failed = true;
        }
    }
    if (failed) throw std::bad_alloc();
}

// Only the slots some source weighs on are kept and tabulated, within the
// offsets from a source to a receiver, over the union of their non-zero
// supports. Throws on allocation failure.
void StrayTableBuild::PsfTables()
{
    const std::vector<int>& psf_of_slot = referenced.psf_of_slot;
    std::vector<int> kept;
    for (i64 p = 0; p < nall; ++p) {
        const double* w = weights.data() + (size_t)p * plane;
        if (std::any_of(w, w + plane, [](double v) { return v != 0.0; })) kept.push_back((int)p);
    }
    const bool reach = !kept.empty() && na > 0 && nb > 0 && ncols > 0 && nrows > 0;
    const i64  rxlo = reach ? (i64)out->recv_x.front() - out->col_x.back() : 0;
    const i64  rxhi = reach ? (i64)out->recv_x.back() - out->col_x.front() : -1;
    const i64  rylo = reach ? (i64)out->recv_y.front() - out->row_y.back() : 0;
    const i64  ryhi = reach ? (i64)out->recv_y.back() - out->row_y.front() : -1;
    std::vector<OffsetTable> V(reach ? kept.size() : 0);
    if (reach) {
        std::vector<int> psfs;
        for (int p : kept) psfs.push_back(psf_of_slot[(size_t)p]);
        const i64 limx = std::max(std::abs(rxlo), std::abs(rxhi)), limy = std::max(std::abs(rylo), std::abs(ryhi));
        if (!fastbuild::TabulateSlots(psftable.MeasuredPSFEntries(), psfs, limx, limy, threads, &V))
            throw std::bad_alloc();
    }
    if (Cancelled(request)) return;
    // The union of the non-zero supports; slots whose tables are all 0
    // within reach are dropped too.
    i64 x0 = INT64_MAX, x1 = INT64_MIN, y0 = INT64_MAX, y1 = INT64_MIN;
    std::vector<int> final_slots;
    for (size_t k = 0; k < V.size(); ++k) {
        i64 a0, a1, b0, b1;
        if (V[k].Empty() || !NonZeroSupport(V[k], rxlo, rxhi, rylo, ryhi, &a0, &a1, &b0, &b1)) continue;
        x0 = std::min(x0, a0), x1 = std::max(x1, a1), y0 = std::min(y0, b0), y1 = std::max(y1, b1);
        final_slots.push_back((int)k);
    }
    out->nslots = (int)final_slots.size();
    out->psf_of_slot.clear();
    out->dx0 = out->dy0 = out->ndx = out->ndy = 0;
    if (out->nslots > 0) out->dx0 = x0, out->dy0 = y0, out->ndx = x1 - x0 + 1, out->ndy = y1 - y0 + 1;
    const i64 tsize = out->ndx * out->ndy;
    out->tables.assign((size_t)(out->nslots * tsize), 0.0);
    out->weights.assign((size_t)out->nslots * plane, 0.0);
    for (int s = 0; s < out->nslots; ++s) {
        const size_t       k = (size_t)final_slots[(size_t)s];
        const OffsetTable& t = V[k];
        out->psf_of_slot.push_back(psf_of_slot[(size_t)kept[k]]);
        double* dst = out->tables.data() + (size_t)(s * tsize);
        for (i64 i = 0; i < out->ndx; ++i)
            for (i64 j = 0; j < out->ndy; ++j) dst[i * out->ndy + j] = t.At(x0 + i, y0 + j);
        std::copy(weights.begin() + (std::ptrdiff_t)((size_t)kept[k] * plane),
                  weights.begin() + (std::ptrdiff_t)((size_t)kept[k] * plane + plane),
                  out->weights.begin() + (std::ptrdiff_t)((size_t)s * plane));
    }
    std::vector<double>().swap(weights);
    V.clear();
}

// The rows and sides of each end pixel, and the whole rows of the end pixels
// with sources evaluated exactly; false (with *out_of_memory) when these would
// take more than max_exact_bytes.
bool StrayTableBuild::ExactRows(double max_exact_bytes, bool* out_of_memory, std::string* error)
{
    // The end pixel of each source row and side, and the rows and sides of
    // each end pixel.
    charges.assign((size_t)ns, std::vector<int>());
    for (i64 row = 0; row < nrows; ++row)
        for (int side = 0; side < 2; ++side) {
            const int e = out->ends[(size_t)(2 * row + side)];
            if (e < 0) continue;
            const size_t n = (size_t)(std::lower_bound(out->sources.begin(), out->sources.end(), e) -
                                      out->sources.begin());
            charges[n].push_back((int)(2 * row + side));
        }

    // The sources evaluated exactly: whole rows of their end pixels.
    std::vector<char> has_exact((size_t)ns, 0);
    for (i64 c = 0; c < ncols; ++c)
        for (int64_t row : exceptional[(size_t)c]) {
            const int    e = out->ends[(size_t)(2 * row + out->col_side[(size_t)c])];
            const size_t n = (size_t)(std::lower_bound(out->sources.begin(), out->sources.end(), e) -
                                      out->sources.begin());
            has_exact[n] = 1;
        }
    exact_of.assign((size_t)ns, -1);
    out->exact_sources.clear();
    for (i64 n = 0; n < ns; ++n)
        if (has_exact[(size_t)n]) {
            exact_of[(size_t)n] = (i64)out->exact_sources.size();
            out->exact_sources.push_back(out->sources[(size_t)n]);
        }
    const double need = (double)out->exact_sources.size() * (double)F * sizeof(double);
    if (need > max_exact_bytes) {
        *out_of_memory = true;
        *error         = Format("the stray-light sources that are evaluated per receiver need whole rows of "
                                "%lld MiB, more than the %lld MiB allowed",
                                (long long)(need / 1048576.0), (long long)(max_exact_bytes / 1048576.0));
        return false;
    }
    out->exact_rows.assign(out->exact_sources.size() * (size_t)F, 0.0);
    return true;
}

// The diagonal, and the rows of the sources evaluated per receiver.
void StrayTableBuild::Diagonal()
{
    // The columns of each side.
    std::vector<std::vector<int>> side_cols(2);
    for (i64 c = 0; c < ncols; ++c) side_cols[(size_t)out->col_side[(size_t)c]].push_back((int)c);

    // Receivers by L1C pixel, for the diagonal.
    std::vector<std::pair<int, int>> by_pixel;   // (r, a * nb + b)
    for (i64 q = 0; q < na * nb; ++q)
        if (out->recv_r[(size_t)q] >= 0) by_pixel.push_back({out->recv_r[(size_t)q], (int)q});
    std::sort(by_pixel.begin(), by_pixel.end());

    out->diagonal.assign((size_t)ns, 0.0);
    const i64 nsl = out->nslots;
#pragma omp parallel for schedule(dynamic, 1) num_threads(threads)
    for (i64 n = 0; n < ns; ++n) {
        if (Cancelled(request)) continue;
        TORVEN_PSF_InterpolationCoeffs& coeffs = lookups[(size_t)omp_get_thread_num()];
        const int s = out->sources[(size_t)n];
        // The convolution's share of the diagonal: its receivers in pixel s.
        double    d  = 0.0;
        auto      lo = std::lower_bound(by_pixel.begin(), by_pixel.end(), std::make_pair(s, INT_MIN));
        for (auto it = lo; it != by_pixel.end() && it->first == s && nsl > 0; ++it) {
            const i64 rx = out->recv_x[(size_t)(it->second / nb)], ry = out->recv_y[(size_t)(it->second % nb)];
            for (int rs : charges[(size_t)n]) {
                const i64 row = rs / 2, dy = ry - out->row_y[(size_t)row] - out->dy0;
                if (dy < 0 || dy >= out->ndy) continue;
                for (int c : side_cols[(size_t)(rs % 2)]) {
                    const i64 dx = rx - out->col_x[(size_t)c] - out->dx0;
                    if (dx < 0 || dx >= out->ndx) continue;
                    for (i64 p = 0; p < nsl; ++p)
                        d += out->weights[(size_t)p * plane + (size_t)(c * nrows + row)] *
                             out->tables[(size_t)((p * out->ndx + dx) * out->ndy + dy)];
                }
            }
        }
        out->diagonal[(size_t)n] = d * scale;
        const i64 m = exact_of[(size_t)n];
        if (m < 0) continue;
        // The sources evaluated per receiver.
        double* row = out->exact_rows.data() + (size_t)(m * F);
        for (int rs : charges[(size_t)n]) {
            const i64 r = rs / 2;
            for (int c : side_cols[(size_t)(rs % 2)]) {
                const auto& ex = exceptional[(size_t)c];
                if (!std::binary_search(ex.begin(), ex.end(), (int64_t)r)) continue;
                const double factor = factor_of(c, r);
                const Coords src(out->row_y[(size_t)r], out->col_x[(size_t)c], WINDOW_NOOF);
                if (!psftable.GetInterpolationCoefficientsForNewPSFCentre(src, &coeffs)) continue;
                for (const Receiver& q : receivers) row[q.r] += coeffs.PSF(q.noof, src) * factor;
            }
        }
        for (i64 e = 0; e < F; ++e) row[e] *= scale;
        out->diagonal[(size_t)n] += row[s];
    }
}

}   // namespace

bool TORVEN_BuildStrayKernels(const velmora::Instrument& in, const double* vignetting,
                              const velmora::StrayOptions& steps, int threads, bool exact, double max_exact_bytes,
                              const TORVEN_BuildRequest* request, TORVEN_StrayKernels* out, std::string* error,
                              bool* out_of_memory)
{
    *out_of_memory = false;
    const int delta_nx = steps.delta_nx, delta_ny = steps.delta_ny;
    const int delta_sx = steps.delta_sx, delta_sy = steps.delta_sy;
    if (delta_nx < 1 || delta_ny < 1 || delta_sx < 1 || delta_sy < 1) {
        *error = "the sampling steps must be at least 1";
        return false;
    }
    threads = velmora::TableTeamSize(threads);
    FirstError records;
    nxScopedRecordSink scope(&records);
    try {
        Views views(in.Arrays());
        const velmora::InfieldOptions defaults;
        auto g = MakeGenerator(in, defaults.rows_below, defaults.rows_above, WINDOW_NOOF, &views, records, error);
        if (!g) return false;
        const WindowMappingHierarchy& windows  = *g->WindowHierachy();
        const WindowMapping&          science  = windows.Science();
        const WindowMapping&          noof     = windows.Noof();
        const WindowMapping&          detector = windows.Detector();
        const L1cFlatIndexer&         indexer  = g->L1cIndexer();
        const TORVEN_PSF_Table&       psftable = *g->PSF_Table();
        const velmora::Geometry       geo      = velmora::Geometry::Of(*g, false);
        const i64 F = geo.F, Sx = geo.Sx, Sy = geo.Sy, NOOFx = geo.NOOFx, NOOFy = geo.NOOFy;
        const WindowMapping to_noof = windows.CreateMappingToUpperLevel(science, noof);
        out->scale = 1.0 / (double)(geo.Bx * geo.By);

        StrayTableBuild build{psftable, science, detector, indexer, to_noof, F, Sx, Sy, NOOFx, NOOFy, out->scale,
                              delta_nx, delta_ny, delta_sx, delta_sy, vignetting, exact, threads, request, out};
        build.Receivers();
        build.Sources();
        build.SourceWeights();
        if (Cancelled(request)) return StopCancelled(error);
        build.PsfTables();
        if (Cancelled(request)) return StopCancelled(error);
        if (!build.ExactRows(max_exact_bytes, out_of_memory, error)) return false;
        build.Diagonal();
        if (Cancelled(request)) return StopCancelled(error);
        return true;
    } catch (const std::bad_alloc&) {
        *out_of_memory = true;
        *error         = "there is not enough memory for the stray-light tables";
    } catch (...) {
        *error = "the stray-light tables could not be built";
    }
    return false;
}
