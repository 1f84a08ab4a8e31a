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
#include "nxlog.h"

namespace {

using i64 = int64_t;

enum
{
    P_FULLCONVx, P_FULLCONVy, P_NOFSx, P_NOFSy, P_NOOFx, P_NOOFy, P_DOFSx, P_DOFSy, P_Dx, P_Dy, P_SOFSx, P_SOFSy,
    P_Sx, P_Sy, P_LBINx, P_LBINy, P_Lx, P_Ly, P_KBINx, P_KBINy, P_Kx, P_Ky, P_COUNT
};

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

// The team of a table build: the requested threads, capped as the builds cap
// them (the OpenMP thread limit, 8 per processor), and one in a forked child.
int TeamSize(int threads)
{
    const int64_t cap =
        std::min<int64_t>((int64_t)omp_get_thread_limit(), 8 * (int64_t)std::max(1, omp_get_num_procs()));
    const int team = (int)std::max<int64_t>(1, std::min<int64_t>(threads, cap));
    return TORVEN_InForkedChild() ? 1 : team;
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

// Checks of the arrays against the windows that keep every table access in
// bounds; the package checks the same inputs more thoroughly beforehand.
bool CheckInputs(const TORVEN_KernelInputs& in, bool noof, std::string* error)
{
    if (in.specs == nullptr || in.nspecs != P_COUNT) {
        *error = Format("%lld windowing parameters were given; 22 are needed", in.nspecs);
        return false;
    }
    const int* p = in.specs;
    for (int s : {P_NOOFx, P_NOOFy, P_Dx, P_Dy, P_Sx, P_Sy, P_Lx, P_Ly, P_Kx, P_Ky}) {
        if (p[s] < 0 || p[s] > kMaxExtent) {
            *error = "a window size is negative or too large";
            return false;
        }
    }
    for (int s : {P_LBINx, P_LBINy, P_KBINx, P_KBINy}) {
        if (p[s] < 1 || p[s] > kMaxExtent) {
            *error = "a binning is below 1 or too large";
            return false;
        }
    }
    if (p[P_Kx] < 1 || p[P_Ky] < 1 || (i64)p[P_Kx] * p[P_Ky] > INT32_MAX) {
        *error = "the L1C window has no pixels or more than 2^31 - 1";
        return false;
    }
    if ((i64)p[P_Sx] != (i64)p[P_LBINx] * p[P_Lx] || (i64)p[P_Sy] != (i64)p[P_LBINy] * p[P_Ly] ||
        (i64)p[P_Lx] != (i64)p[P_KBINx] * p[P_Kx] || (i64)p[P_Ly] != (i64)p[P_KBINy] * p[P_Ky]) {
        *error = "the science, L1B and L1C window sizes do not agree with the binnings";
        return false;
    }
    const i64 sx0 = p[P_SOFSx], sy0 = p[P_SOFSy];
    if (sx0 < 0 || sy0 < 0 || sx0 + p[P_Sx] > p[P_Dx] || sy0 + p[P_Sy] > p[P_Dy]) {
        *error = "the science window does not lie inside the detector window";
        return false;
    }
    const i64 wx = noof ? p[P_NOOFx] : p[P_Dx], wy = noof ? p[P_NOOFy] : p[P_Dy];
    if (noof) {
        const i64 nx0 = sx0 + p[P_DOFSx], ny0 = sy0 + p[P_DOFSy];
        if (nx0 < 0 || ny0 < 0 || nx0 + p[P_Sx] > p[P_NOOFx] || ny0 + p[P_Sy] > p[P_NOOFy]) {
            *error = "the science window does not lie inside the NOOF window";
            return false;
        }
    }
    if (in.images == nullptr || in.M < 1 || in.psf_Nx < p[P_Sx] || in.psf_Ny < p[P_Sy]) {
        *error = "there are no PSF images, or they are smaller than the science window";
        return false;
    }
    if (in.centres == nullptr || in.ncentres0 != in.M || in.ncentres1 != 3) {
        *error = "the PSF centres must be an (M, 3) array for the M PSF images";
        return false;
    }
    if (in.coefficients == nullptr || in.indices == nullptr || in.c0 != wx || in.c1 != wy || in.i0 != wx ||
        in.i1 != wy || in.c2 != in.i2 || in.c2 > TORVEN_PSF_InterpolationCoeffs::MAX_COEFFS) {
        *error = noof ? "the PSF interpolation tables do not have the shape (NOOFx, NOOFy, N) of the NOOF window"
                      : "the PSF interpolation tables do not have the shape (Dx, Dy, N) of the detector window";
        return false;
    }
    return true;
}

// The caller's arrays viewed as the PSF table wants them.
struct Views
{
    std::vector<const double*> images;
    nx2dArray<double>          centres;
    nx3dArray<double>          coefficients;
    nx3dArray<int>             indices;

    explicit Views(const TORVEN_KernelInputs& in)
        : images((size_t)in.M),
          centres(3, (size_t)in.M, const_cast<double*>(in.centres)),
          coefficients((size_t)in.c2, (size_t)in.c1, (size_t)in.c0, const_cast<double*>(in.coefficients)),
          indices((size_t)in.i2, (size_t)in.i1, (size_t)in.i0, const_cast<int*>(in.indices))
    {
        const size_t per = (size_t)in.psf_Nx * (size_t)in.psf_Ny;
        for (size_t m = 0; m < images.size(); ++m) images[m] = in.images + m * per;
    }
};

std::unique_ptr<TORVEN_DeconvolutionMatrixGenerator> MakeGenerator(const TORVEN_KernelInputs& in, int rows_below,
                                                                   int rows_above)
{
    const int* p = in.specs;
    return std::unique_ptr<TORVEN_DeconvolutionMatrixGenerator>(new TORVEN_DeconvolutionMatrixGenerator(
        p[0], p[1], p[2], p[3], p[4], p[5], p[6], p[7], p[8], p[9], p[10], p[11], p[12], p[13], p[14], p[15], p[16],
        p[17], p[18], p[19], p[20], p[21], nullptr, 0, false, rows_below, rows_above));
}

// Slots of the PSFs that a non-zero coefficient refers to.
std::vector<int> ReferencedPsfs(const TORVEN_PSF_Table& table, std::vector<int>* psf_of_slot)
{
    const int        numpsf = (int)table.MeasuredPSFEntries().size();
    std::vector<int> slot((size_t)numpsf, -1);
    psf_of_slot->clear();
    const nx3dArray<double>* c = table.Coefficients();
    const nx3dArray<int>*    k = table.Indices();
    if (c == nullptr || k == nullptr || c->IsEmpty() || k->IsEmpty()) return slot;
    const size_t  n  = std::min(c->size(), k->size());
    const double* cv = c->UnsafeArrayBasePtr();
    const int*    kv = k->UnsafeArrayBasePtr();
    for (size_t i = 0; i < n; ++i) {
        if (cv[i] != 0.0 && kv[i] >= 0 && kv[i] < numpsf && slot[(size_t)kv[i]] < 0) {
            slot[(size_t)kv[i]] = (int)psf_of_slot->size();
            psf_of_slot->push_back(kv[i]);
        }
    }
    return slot;
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
bool TORVEN_BuildInfieldKernels(const TORVEN_KernelInputs& in, bool quadratic, bool lower_edge, int rows_below,
                                int rows_above, int threads, TORVEN_InfieldKernels* out, std::string* error)
{
    if (!CheckInputs(in, false, error)) return false;
    if (rows_below < 0 || rows_above < 0) {
        *error = "rows_below and rows_above must not be negative";
        return false;
    }
    threads = TeamSize(threads);
    FirstError records;
    nxScopedRecordSink scope(&records);
    try {
        Views views(in);
        auto  g = MakeGenerator(in, rows_below, rows_above);
        if (!g->PSF_Table()->Initialize(views.images.data(), in.M, in.psf_Nx, in.psf_Ny, WINDOW_DETECTOR,
                                        *g->WindowHierachy(), views.centres, views.coefficients, views.indices)) {
            *error = "the PSF table cannot be set up: " + records.error;
            return false;
        }
        const WindowMapping& l1c      = g->L1cToDetector();
        const WindowMapping& science  = g->WindowHierachy()->Science();
        const WindowMapping& detector = g->WindowHierachy()->Detector();
        const i64 Kx = l1c.Numx(), Ky = l1c.Numy(), Bx = l1c.Binx(), By = l1c.Biny();
        const i64 Sx = science.Numx(), Sy = science.Numy();
        const i64 F = (i64)g->FlatSize();
        if (Bx < 1 || By < 1 || Kx < 1 || Ky < 1 || Kx * Ky != F) {
            *error = "the L1C window has no pixels or a binning below 1";
            return false;
        }
        // The decomposition: every receiving L1C pixel is a whole bin of science
        // pixels counted from the science window's origin.
        if (l1c.Ofsx() != science.Ofsx() || l1c.Ofsy() != science.Ofsy()) {
            *error = Format("the L1C window's offset (%lld,%lld) in the detector window differs from the science "
                            "window's (%lld,%lld), so the L1C pixels are not tiled from the science window's origin",
                            l1c.Ofsy(), l1c.Ofsx(), science.Ofsy(), science.Ofsx());
            return false;
        }
        if (Kx * Bx > Sx || Ky * By > Sy) {
            *error = "the L1C pixels reach beyond the science window";
            return false;
        }
        const nx2dArray<int>& table = g->DetectorToL1cTable();
        if (table.XSize() != (size_t)Sy || table.YSize() != (size_t)Sx || table.IsEmpty()) {
            *error = "the science pixels have no L1C table";
            return false;
        }
        {
            const int* t = table.UnsafeArrayBasePtr();
            for (i64 x = 0; x < Sx; ++x)
                for (i64 y = 0; y < Sy; ++y) {
                    const i64 expected = (x < Kx * Bx && y < Ky * By) ? (x / Bx) * Ky + y / By : -9999;
                    if (t[x * Sy + y] != expected) {
                        *error = Format("science pixel (%lld,%lld) does not lie in the L1C pixel that tiling from "
                                        "the science window's origin gives it",
                                        x, y);
                        return false;
                    }
                }
        }

        const TORVEN_PSF_Table& psftable = *g->PSF_Table();
        out->Kx = Kx, out->Ky = Ky, out->Bx = Bx, out->By = By, out->quadratic = quadratic;
        out->scale = 1.0 / (double)(Bx * By);
        const std::vector<int> slots = ReferencedPsfs(psftable, &out->psf_of_slot);
        const int              ns    = (int)out->psf_of_slot.size();
        out->nslots                  = ns;

        // Lower-edge source rows: k in [-N_below, -1] inside the detector window.
        out->kfirst = 0, out->klast = -1;
        if (lower_edge && rows_below > 0) {
            const i64 dy0 = l1c.Ofsy(), Dy = detector.Numy();
            out->kfirst   = (int)std::max<i64>(-rows_below, -dy0);
            out->klast    = (int)std::min<i64>(-1, Dy - 1 - dy0);
        }
        const i64 nk     = std::max(0, out->klast - out->kfirst + 1);
        const i64 nabove = rows_above;
        const i64 yh     = std::max<i64>(0, std::min<i64>({nabove, Sy, Ky * By}));
        const bool edge  = lower_edge && nk > 0 && nabove > 0 && yh > 0;

        // Each PSF at the offsets between two pixels of the L1C-covered area or
        // between a lower-edge source and its strip.
        std::vector<OffsetTable> V((size_t)ns);
        const i64 limx = Kx * Bx, limy = Ky * By + nk + 1;
        const auto& entries = psftable.MeasuredPSFEntries();
#pragma omp parallel for schedule(dynamic, 1) num_threads(threads)
        for (int s = 0; s < ns; ++s) Tabulate(entries[(size_t)out->psf_of_slot[(size_t)s]], limx, limy, &V[(size_t)s]);

        // Binned tables over every L1C offset the L1C window has.
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

        // Per-source weights: the coefficients of every detector pixel.
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
        if (failed) {
            *error = failure;
            return false;
        }
        out->row_weights.assign((size_t)(3 * By), 0.0);
        for (i64 v = 0; v < By; ++v) {
            double* rw = out->row_weights.data() + 3 * v;
            if (quadratic) TORVEN_DeconvolutionMatrixGenerator::SimpsonWeights((double)v - (double)By / 2.0, (double)By, rw, rw + 1, rw + 2);
            else rw[1] = 1.0;
        }

        // Lower-edge tables: receivers within N_above columns of the source and
        // below strip row yh, summed over the strip rows of each L1C row.
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
            out->edge_weights.assign((size_t)(ns * Bx * nk * Kx), 0.0);
            TORVEN_PSF_InterpolationCoeffs coeffs;
            for (i64 X = 0; X < Kx; ++X) {
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

bool TORVEN_BuildStrayKernels(const TORVEN_KernelInputs& in, const double* vignetting, int delta_nx, int delta_ny,
                              int delta_sx, int delta_sy, int threads, bool exact, double max_exact_bytes,
                              TORVEN_StrayKernels* out, std::string* error, bool* out_of_memory)
{
    *out_of_memory = false;
    if (!CheckInputs(in, true, error)) return false;
    if (delta_nx < 1 || delta_ny < 1 || delta_sx < 1 || delta_sy < 1) {
        *error = "the sampling steps must be at least 1";
        return false;
    }
    threads = TeamSize(threads);
    FirstError records;
    nxScopedRecordSink scope(&records);
    try {
        Views views(in);
        auto  g = MakeGenerator(in, 42, 42);
        if (!g->PSF_Table()->Initialize(views.images.data(), in.M, in.psf_Nx, in.psf_Ny, WINDOW_NOOF,
                                        *g->WindowHierachy(), views.centres, views.coefficients, views.indices)) {
            *error = "the PSF table cannot be set up: " + records.error;
            return false;
        }
        const WindowMappingHierarchy& windows  = *g->WindowHierachy();
        const WindowMapping&          science  = windows.Science();
        const WindowMapping&          noof     = windows.Noof();
        const WindowMapping&          detector = windows.Detector();
        const L1cFlatIndexer&         indexer  = g->L1cIndexer();
        const TORVEN_PSF_Table&       psftable = *g->PSF_Table();
        const i64 F = g->FlatSize(), Sx = science.Numx(), Sy = science.Numy();
        const i64 NOOFx = noof.Numx(), NOOFy = noof.Numy();
        const WindowMapping to_noof = windows.CreateMappingToUpperLevel(science, noof);
        out->scale = 1.0 / (double)((i64)g->L1cToDetector().Binx() * g->L1cToDetector().Biny());
        const double scale = out->scale;

        // The sampled receivers as a grid: NOOF column of each sampled science
        // column, NOOF row of each sampled science row, and the L1C pixel of each
        // pair. Where the science window maps to the NOOF window without
        // binning (every consistent set of windows) the grid is separable and
        // the sources go through the convolution; otherwise every source is
        // evaluated per receiver.
        struct Receiver
        {
            Coords noof;
            int    r;
        };
        std::vector<Receiver> receivers;
        std::vector<i64>      gx, gy;
        for (i64 sx = delta_sx / 2; sx < Sx; sx += delta_sx) gx.push_back(sx);
        for (i64 sy = delta_sy / 2; sy < Sy; sy += delta_sy) gy.push_back(sy);
        const i64 na = (i64)gx.size(), nb = (i64)gy.size();
        out->recv_r.assign((size_t)(na * nb), -1);
        out->recv_x.assign((size_t)na, 0);
        out->recv_y.assign((size_t)nb, 0);
        bool separable = true;
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

        // The sampled rows with their end pixels, and the source columns.
        Coords leftpix(WINDOW_NOOF), rightpix(WINDOW_NOOF);
        to_noof.ToParentWindow(Coords(0, 0, WINDOW_SCIENCE), &leftpix, false);
        to_noof.ToParentWindow(Coords(0, (int)Sx, WINDOW_SCIENCE), &rightpix, false);
        const double source_area = (double)((i64)delta_ny * delta_nx);
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
        const i64 nrows = (i64)out->row_y.size(), ncols = (i64)out->col_x.size();
        out->sources.clear();
        for (int e : out->ends)
            if (e >= 0) out->sources.push_back(e);
        std::sort(out->sources.begin(), out->sources.end());
        out->sources.erase(std::unique(out->sources.begin(), out->sources.end()), out->sources.end());
        const i64 ns = (i64)out->sources.size();

        // The factor of the source (col, row), or 0 for none.
        auto factor_of = [&](i64 c, i64 row) {
            const i64 x = out->col_x[(size_t)c], ny = out->row_y[(size_t)row];
            double    factor = (double)((i64)delta_sx * delta_sy) * source_area;
            if (vignetting != nullptr) {
                if (x < 0 || x >= NOOFx || ny < 0 || ny >= NOOFy) return 0.0;
                factor = vignetting[(size_t)ny * (size_t)NOOFx + (size_t)x] * factor;
            }
            return std::isfinite(factor) ? factor : 0.0;
        };

        // The weights of every source, by the slots of the referenced PSFs;
        // sources the tables cannot carry are listed to be evaluated exactly.
        std::vector<int>       psf_of_slot;
        const std::vector<int> slots = ReferencedPsfs(psftable, &psf_of_slot);
        const i64              nall  = (i64)psf_of_slot.size();
        const size_t           plane = (size_t)(ncols * nrows);
        std::vector<double>    weights((size_t)nall * plane, 0.0);
        std::vector<std::vector<int64_t>> exceptional((size_t)ncols);   // per column: its rows evaluated exactly
        // Per-thread lookups; nothing may escape a parallel region, so a failed
        // allocation in one is raised after it.
        std::vector<TORVEN_PSF_InterpolationCoeffs> lookups((size_t)threads);
        bool                                        failed = false;
#pragma omp parallel for schedule(dynamic, 4) num_threads(threads)
        for (i64 c = 0; c < ncols; ++c) {
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

        // Only the slots some source weighs on are kept and tabulated, within
        // the offsets from a source to a receiver.
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

        // The end pixel of each source row and side, and the rows and sides of
        // each end pixel.
        std::vector<std::vector<int>> charges((size_t)ns);   // 2 * row + side
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
        std::vector<i64> exact_of((size_t)ns, -1);
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
        return true;
    } catch (const std::bad_alloc&) {
        *out_of_memory = true;
        *error         = "there is not enough memory for the stray-light tables";
    } catch (...) {
        *error = "the stray-light tables could not be built";
    }
    return false;
}
