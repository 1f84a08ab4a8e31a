// Fast in-field and horizontal stray-light builds: tabulated PSFs, receivers
// binned into L1C pixels once per build, output columns owned by one work item
// at a time. See fast_psfmatrix.h for the design; the per-pixel operations of
// make_psfmatrix.cpp and torven_horizontal_deconvolution_matrix.cpp define what
// is computed.
#include "fast_psfmatrix.h"

#include <omp.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <vector>

#include "nxlog.h"

namespace {

using i64 = int64_t;

// Window extents (in pixels) beyond which the fast path is not taken. Keeps
// every offset inside an int and every table index product inside 64 bits.
const i64 kMaxExtent = (i64)1 << 28;
// The tables and scratch of a build may hold this many doubles, or a few times
// the elements of its inputs (PSF images and coefficient and index tables) if
// that is more; a request that would need more (absurd binnings or strip
// sizes, far beyond any real instrument) is left to the per-pixel build.
const double kTableFloor    = (double)(1 << 25);   // 256 MB
const double kTablePerInput = 8.0;
// Length of the strips in which the kernels combine coefficients.
const int kStrip = 256;

// Floor and ceiling of a / b for b > 0.
i64 FloorDiv(i64 a, i64 b)
{
    const i64 q = a / b;
    return (a % b != 0 && a < 0) ? q - 1 : q;
}
i64 CeilDiv(i64 a, i64 b) { return -FloorDiv(-a, b); }

double Seconds(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// ---------------------------------------------------------------------------
// One measured PSF at whole-pixel offsets.

// The offsets d within [-lim, lim] at which a PSF whose centre lies at array
// position `centre` of an axis of n samples can be non-zero: OffsetedValue
// needs centre + d in (-1, n). Widened by one on each side, so that the
// rounding of centre + d cannot reach beyond. False when there are none.
bool AxisSupport(double centre, int n, i64 lim, i64* lo, i64* hi)
{
    if (!std::isfinite(centre) || n <= 0) return false;
    const double a = std::floor(-1.0 - centre);
    const double b = std::ceil((double)n - centre);
    if (a > (double)lim || b < -(double)lim) return false;
    *lo = a < -(double)lim ? -lim : (i64)a;
    *hi = b > (double)lim ? lim : (i64)b;
    return *lo <= *hi;
}

// Values of one measured PSF at the offsets (dx, dy) of a rectangle, zero
// outside it. Filled by TORVEN_PSF_Entry::OffsetedValue itself, so every value
// follows the entry's rules (on- and off-sample centres, image edges).
struct OffsetTable
{
    i64                 x0 = 0, y0 = 0, nx = 0, ny = 0;
    std::vector<double> v;   // v[(dx - x0) * ny + (dy - y0)]

    bool   Empty() const { return nx <= 0 || ny <= 0; }
    double At(i64 dx, i64 dy) const
    {
        const i64 ix = dx - x0, iy = dy - y0;
        return (ix >= 0 && ix < nx && iy >= 0 && iy < ny) ? v[(size_t)(ix * ny + iy)] : 0.0;
    }
};

void Tabulate(const TORVEN_PSF_Entry& e, i64 limx, i64 limy, OffsetTable* t)
{
    i64 xlo = 0, xhi = -1, ylo = 0, yhi = -1;
    if (!AxisSupport(e.Centre().x, e.Size().x, limx, &xlo, &xhi) ||
        !AxisSupport(e.Centre().y, e.Size().y, limy, &ylo, &yhi)) {
        t->nx = t->ny = 0;
        return;
    }
    t->x0 = xlo, t->y0 = ylo, t->nx = xhi - xlo + 1, t->ny = yhi - ylo + 1;
    t->v.assign((size_t)(t->nx * t->ny), 0.0);
    const WindowMappingType w = e.WorkingWindowType();
    const Coords            origin(0, 0, w);
    for (i64 ix = 0; ix < t->nx; ++ix) {
        for (i64 iy = 0; iy < t->ny; ++iy) {
            t->v[(size_t)(ix * t->ny + iy)] = e.OffsetedValue(Coords((int)(ylo + iy), (int)(xlo + ix), w), origin);
        }
    }
}

// The measured PSFs that some non-zero coefficient of the table refers to get
// consecutive slots; the others -1. Only those are tabulated.
std::vector<int> ReferencedPsfs(const TORVEN_PSF_Table& table, int* nslots)
{
    const int        numpsf = (int)table.MeasuredPSFEntries().size();
    std::vector<int> slot((size_t)numpsf, -1);
    *nslots                    = 0;
    const nx3dArray<double>* c = table.Coefficients();
    const nx3dArray<int>*    k = table.Indices();
    if (c == nullptr || k == nullptr || c->IsEmpty() || k->IsEmpty()) return slot;
    const size_t  n  = std::min(c->size(), k->size());
    const double* cv = c->UnsafeArrayBasePtr();
    const int*    kv = k->UnsafeArrayBasePtr();
    for (size_t i = 0; i < n; ++i) {
        if (cv[i] != 0.0 && kv[i] >= 0 && kv[i] < numpsf && slot[(size_t)kv[i]] < 0) slot[(size_t)kv[i]] = (*nslots)++;
    }
    return slot;
}

// The elements of the inputs of a table: its PSF images, coefficients and
// indices.
double InputElements(const TORVEN_PSF_Table& table)
{
    double n = 0.0;
    for (const TORVEN_PSF_Entry& e : table.MeasuredPSFEntries()) n += (double)e.Size().x * (double)e.Size().y;
    if (table.Coefficients() != nullptr) n += (double)table.Coefficients()->size();
    if (table.Indices() != nullptr) n += (double)table.Indices()->size();
    return n;
}

// Keeps count of the elements of a build's tables against its allowance.
struct TableBudget
{
    double allowed, used = 0.0;
    explicit TableBudget(const TORVEN_PSF_Table& table)
        : allowed(std::max(kTableFloor, kTablePerInput * InputElements(table)))
    {
    }
    bool Take(double elements)
    {
        used += elements;
        return used <= allowed;
    }
};

// The union of the offset rectangles of the tabulated PSFs, clipped to
// [xmin, xmax] x [ymin, ymax]. False when empty.
bool UnionRange(const std::vector<OffsetTable>& v, i64 xmin, i64 xmax, i64 ymin, i64 ymax, i64* x0, i64* x1, i64* y0,
                i64* y1)
{
    bool any = false;
    for (const OffsetTable& t : v) {
        if (t.Empty()) continue;
        if (!any) *x0 = t.x0, *x1 = t.x0 + t.nx - 1, *y0 = t.y0, *y1 = t.y0 + t.ny - 1;
        *x0 = std::min(*x0, t.x0), *x1 = std::max(*x1, t.x0 + t.nx - 1);
        *y0 = std::min(*y0, t.y0), *y1 = std::max(*y1, t.y0 + t.ny - 1);
        any = true;
    }
    if (!any) return false;
    *x0 = std::max(*x0, xmin), *x1 = std::min(*x1, xmax), *y0 = std::max(*y0, ymin), *y1 = std::min(*y1, ymax);
    return *x0 <= *x1 && *y0 <= *y1;
}

// ---------------------------------------------------------------------------
// Kernels.

// A list of terms: weights and the (already offset) tables they scale.
struct TermList
{
    double*        w        = nullptr;
    const double** t        = nullptr;
    int            m        = 0;
    int            capacity = 0;

    bool Append(double weight, const double* table)
    {
        if (m >= capacity) return false;
        w[m] = weight, t[m] = table, ++m;
        return true;
    }
};

// buf[e] = the sum over k, in order, of w[k] * t[k][off + e], for e < n; m >= 1.
inline void Combine(const double* w, const double* const* t, int m, size_t off, int n, double* buf)
{
    {
        const double* a  = t[0] + off;
        const double  wa = w[0];
#pragma omp simd
        for (int e = 0; e < n; ++e) buf[e] = wa * a[e];
    }
    int k = 1;
    for (; k + 3 < m; k += 4) {
        const double *a = t[k] + off, *b = t[k + 1] + off, *c = t[k + 2] + off, *d = t[k + 3] + off;
        const double  wa = w[k], wb = w[k + 1], wc = w[k + 2], wd = w[k + 3];
#pragma omp simd
        for (int e = 0; e < n; ++e) buf[e] = (((buf[e] + wa * a[e]) + wb * b[e]) + wc * c[e]) + wd * d[e];
    }
    for (; k < m; ++k) {
        const double* a  = t[k] + off;
        const double  wa = w[k];
#pragma omp simd
        for (int e = 0; e < n; ++e) buf[e] += wa * a[e];
    }
}

inline void Add(double* out, const double* buf, int n)
{
#pragma omp simd
    for (int e = 0; e < n; ++e) out[e] += buf[e];
}

// Adds wb * buf, wc * buf and wa * buf, in this order, to the same rows of the
// columns below, centre and above; the bottom and the top L1C rows are their
// own lower and upper neighbours, so two or all three columns may be one.
inline void Distribute(double* ob, double* oc, double* oa, double wb, double wc, double wa, const double* buf, int n)
{
    if (ob != oc && oc != oa) {
#pragma omp simd
        for (int e = 0; e < n; ++e) {
            const double s = buf[e];
            ob[e] += wb * s;
            oc[e] += wc * s;
            oa[e] += wa * s;
        }
    } else if (ob == oc && oc == oa) {
#pragma omp simd
        for (int e = 0; e < n; ++e) oc[e] = ((oc[e] + wb * buf[e]) + wc * buf[e]) + wa * buf[e];
    } else if (ob == oc) {
#pragma omp simd
        for (int e = 0; e < n; ++e) {
            const double s = buf[e];
            oc[e]          = (oc[e] + wb * s) + wc * s;
            oa[e] += wa * s;
        }
    } else {
#pragma omp simd
        for (int e = 0; e < n; ++e) {
            const double s = buf[e];
            ob[e] += wb * s;
            oc[e] = (oc[e] + wc * s) + wa * s;
        }
    }
}

// Whether every coefficient of `c` is finite and its PSF tabulated. A
// non-finite coefficient makes every receiving pixel of the window NaN or
// infinite, far beyond the tables; such sources take the per-pixel operation.
bool Tabulated(const TORVEN_PSF_InterpolationCoeffs& c, const std::vector<int>& slots)
{
    for (int j = 0; j < c.NumCoeffs(); ++j) {
        const int p = c.PsfIndex(j);
        if (!std::isfinite(c.Coefficient(j)) || p < 0 || (size_t)p >= slots.size() || slots[(size_t)p] < 0)
            return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// In-field tables.

// B_p[u][v](i, j): the sum of PSF p, centred on the detector pixel at residue
// (u, v) of its L1C pixel, over the detector pixels of the L1C pixel (i, j)
// positions away. One rectangle of (i, j) for all slots and residues.
struct BinnedTables
{
    i64                 ilo = 0, ihi = -1, jlo = 0, jhi = -1, nI = 0, nJ = 0;
    i64                 Bx = 1, By = 1;
    std::vector<double> data;   // [slot][u][v][i - ilo][j - jlo]

    const double* Table(int slot, int u, int v) const
    {
        return data.data() + (size_t)((((i64)slot * Bx + u) * By + v) * nI * nJ);
    }
    double* Table(int slot, int u, int v) { return const_cast<double*>(static_cast<const BinnedTables*>(this)->Table(slot, u, v)); }
};

// E_p[u](i, dy): the lower-edge strip. The sum of PSF p, centred on a source
// below the bottom edge at column residue u, over the detector columns of the
// L1C column i positions away that lie within N_above of the source, at the
// detector row dy above the source.
struct EdgeTables
{
    i64                 ilo = 0, ihi = -1, nI = 0, dy0 = 0, dy1 = -1, nDY = 0;
    i64                 Bx  = 1;
    std::vector<double> data;   // [slot][u][i - ilo][dy - dy0]

    const double* Table(int slot, int u) const { return data.data() + (size_t)(((i64)slot * Bx + u) * nI * nDY); }
    double*       Table(int slot, int u) { return data.data() + (size_t)(((i64)slot * Bx + u) * nI * nDY); }
};

// Term lists of one thread.
struct Scratch
{
    std::vector<double>        w;
    std::vector<const double*> t;
    std::vector<int>           m;   // terms in each list
};

// The range of L1C offsets i whose detector columns i * B + t - u (t, u in
// [0, B)) meet the offsets [d0, d1], clipped to [-(K - 1), K - 1].
void BinRange(i64 d0, i64 d1, i64 B, i64 K, i64* lo, i64* hi)
{
    *lo = std::max(CeilDiv(d0 - (B - 1), B), -(K - 1));
    *hi = std::min(FloorDiv(d1 + (B - 1), B), K - 1);
}

}   // namespace

// ===========================================================================
// In-field build.

bool TORVEN_FastMatrixBuilder::BuildTransferFunction(nx2dArray<double>* output, bool* handled,
                                                     TORVEN_FastBuildStats* stats)
{
    using Clock  = std::chrono::steady_clock;
    *handled     = false;
    auto&      g = m_g;
    const int  F = g.m_l1cindexer.FlatSize();
    // Anything that is not a plain F x F view of contiguous storage, including
    // the refused outputs, is left to the per-pixel build and its records.
    if (output == nullptr || F < 1 || !g.IsMatrixOfThisBuild(output)) return false;

    const WindowMapping& l1c     = g.m_l1c_to_detector;
    const WindowMapping& science = g.m_windows.Science();
    const i64 Kx = l1c.Numx(), Ky = l1c.Numy(), Bx = l1c.Binx(), By = l1c.Biny();
    const i64 Sx = science.Numx(), Sy = science.Numy();

    // The tables assume that the L1C pixels tile the lower left Kx*Bx x Ky*By
    // science pixels, all inside the detector window, and that the other
    // science pixels have no L1C pixel: then every receiving L1C pixel is a
    // whole bin and the share of a source depends only on its residue in its
    // L1C pixel and on the offset. The per-pixel build stays for any other
    // geometry (a science window reaching out of the detector window, say, or
    // windows the request layer would refuse), since it follows the
    // science-pixel table wherever it leads.
    if (Bx < 1 || By < 1 || Kx < 1 || Ky < 1 || Kx * Ky != F) return false;
    if (Sx > kMaxExtent || Sy > kMaxExtent || Kx * Bx > Sx || Ky * By > Sy) return false;
    if (l1c.Ofsx() != science.Ofsx() || l1c.Ofsy() != science.Ofsy()) return false;
    const nx2dArray<int>& table = g.m_detector_to_l1c;
    if (table.XSize() != (size_t)Sy || table.YSize() != (size_t)Sx || table.IsEmpty()) return false;
    {
        const int* t = table.UnsafeArrayBasePtr();
        for (i64 x = 0; x < Sx; ++x) {
            for (i64 y = 0; y < Sy; ++y) {
                const i64 expected = (x < Kx * Bx && y < Ky * By) ? (x / Bx) * Ky + y / By : -9999;
                if (t[x * Sy + y] != expected) return false;
            }
        }
    }
    const i64  bad       = Sx * Sy - Kx * Bx * Ky * By;   // receiving pixels without an L1C pixel
    const bool simpsons  = g.m_option_use_simpsons;
    const bool loweredge = g.m_option_create_lower_edge_adjustment;
    const bool diag      = g.m_diagnostic;
    int        kfirst = 0, klast = -1, skipped = 0;
    if (loweredge) skipped = g.LowerEdgeRowsOutsideDetector(&kfirst, &klast);
    const i64 nk     = std::max(0, klast - kfirst + 1);   // lower-edge source rows
    const i64 nabove = g.m_rows_above_bottom_edge;
    // Receiving rows of the lower-edge strip: below N_above, inside the science
    // window and inside the L1C window.
    const i64  yh       = std::max<i64>(0, std::min<i64>({nabove, Sy, Ky * By}));
    const bool edgework = loweredge && nk > 0 && nabove > 0 && yh > 0;

    const TORVEN_PSF_Table& psftable = g.m_psftable;
    const int               nthreads = std::max(1, omp_get_max_threads());
    const Clock::time_point t0       = Clock::now();
    const nx3dArray<double>* ctable  = psftable.Coefficients();
    // Coefficients a lookup can return: the table's count, when the lookup
    // does not refuse it.
    const i64 maxc = (ctable == nullptr) ? 0
                                         : std::min<i64>((i64)ctable->XSize(), TORVEN_PSF_InterpolationCoeffs::MAX_COEFFS);

    // --- Tables and scratch. Nothing is logged and nothing is written before
    // they stand: if they cannot be allocated, the per-pixel build takes over.
    int                                slotcount = 0;
    std::vector<int>                   slots;
    BinnedTables                       B;
    EdgeTables                         E;
    std::vector<Scratch>               scratch;
    i64                                cap = 0;   // terms of one list
    size_t                             tablebytes = 0;
    TableBudget                        budget(psftable);
    try {
        slots            = ReferencedPsfs(psftable, &slotcount);
        const int nslots = slotcount;
        std::vector<int> psfofslot((size_t)nslots);
        for (size_t p = 0; p < slots.size(); ++p)
            if (slots[p] >= 0) psfofslot[(size_t)slots[p]] = (int)p;
        const i64 limx = Kx * Bx, limy = Ky * By + std::abs((i64)kfirst) + 1;
        std::vector<OffsetTable> V((size_t)nslots);
        const auto& entries = psftable.MeasuredPSFEntries();
        for (int s = 0; s < nslots; ++s) Tabulate(entries[(size_t)psfofslot[(size_t)s]], limx, limy, &V[(size_t)s]);
        for (const OffsetTable& v : V) tablebytes += v.v.size() * sizeof(double);
        if (!budget.Take((double)(tablebytes / sizeof(double)))) return false;

        i64 X0 = 0, X1 = -1, Y0 = 0, Y1 = -1;
        // Main tables: offsets between two pixels of the L1C-covered area.
        if (UnionRange(V, -(Kx * Bx - 1), Kx * Bx - 1, -(Ky * By - 1), Ky * By - 1, &X0, &X1, &Y0, &Y1)) {
            B.Bx = Bx, B.By = By;
            BinRange(X0, X1, Bx, Kx, &B.ilo, &B.ihi);
            BinRange(Y0, Y1, By, Ky, &B.jlo, &B.jhi);
            B.nI = std::max<i64>(0, B.ihi - B.ilo + 1), B.nJ = std::max<i64>(0, B.jhi - B.jlo + 1);
            if (!budget.Take((double)nslots * Bx * By * B.nI * B.nJ)) return false;
            B.data.assign((size_t)(nslots * Bx * By * B.nI * B.nJ), 0.0);
            tablebytes += B.data.size() * sizeof(double);
            const i64 nDY = Y1 - Y0 + 1;
            if (!budget.Take((double)nthreads * B.nI * nDY)) return false;
            std::vector<double> X((size_t)(nthreads * B.nI * nDY));
#pragma omp parallel for schedule(dynamic, 1) num_threads(nthreads)
            for (i64 su = 0; su < (i64)nslots * Bx; ++su) {
                const int          s  = (int)(su / Bx);
                const i64          u  = su % Bx;
                const OffsetTable& vt = V[(size_t)s];
                double*            x  = X.data() + (size_t)(omp_get_thread_num() * B.nI * nDY);
                // Columns first: x[i][dy] = sum over t of V(i*Bx + t - u, dy).
                for (i64 i = 0; i < B.nI; ++i) {
                    for (i64 dy = 0; dy < nDY; ++dy) {
                        double sum = 0.0;
                        for (i64 t = 0; t < Bx; ++t) sum += vt.At((B.ilo + i) * Bx + t - u, Y0 + dy);
                        x[i * nDY + dy] = sum;
                    }
                }
                // Then rows: B[v][i][j] = sum over w of x[i][j*By + w - v].
                for (i64 v = 0; v < By; ++v) {
                    double* b = B.Table(s, (int)u, (int)v);
                    for (i64 i = 0; i < B.nI; ++i) {
                        for (i64 j = 0; j < B.nJ; ++j) {
                            double sum = 0.0;
                            for (i64 w = 0; w < By; ++w) {
                                const i64 dy = (B.jlo + j) * By + w - v - Y0;
                                if (dy >= 0 && dy < nDY) sum += x[i * nDY + dy];
                            }
                            b[i * B.nJ + j] = sum;
                        }
                    }
                }
            }
        }
        // Lower-edge tables: receivers within N_above columns of the source, at
        // the offsets dy = y - k of every strip row y in [0, yh) from every
        // source row k in [kfirst, klast], so that one run of yh values serves
        // each source row.
        if (edgework && UnionRange(V, std::max<i64>(-(Kx * Bx - 1), -nabove), std::min<i64>(Kx * Bx - 1, nabove - 1),
                                   -klast, yh - 1 - kfirst, &X0, &X1, &Y0, &Y1)) {
            E.Bx = Bx;
            BinRange(X0, X1, Bx, Kx, &E.ilo, &E.ihi);
            E.nI = std::max<i64>(0, E.ihi - E.ilo + 1), E.dy0 = -klast, E.dy1 = yh - 1 - kfirst;
            E.nDY = E.dy1 - E.dy0 + 1;
            if (!budget.Take((double)nslots * Bx * E.nI * E.nDY)) return false;
            E.data.assign((size_t)(nslots * Bx * E.nI * E.nDY), 0.0);
            tablebytes += E.data.size() * sizeof(double);
#pragma omp parallel for schedule(dynamic, 1) num_threads(nthreads)
            for (i64 su = 0; su < (i64)nslots * Bx; ++su) {
                const int          s  = (int)(su / Bx);
                const i64          u  = su % Bx;
                const OffsetTable& vt = V[(size_t)s];
                double*            e  = E.Table(s, (int)u);
                for (i64 i = 0; i < E.nI; ++i) {
                    for (i64 dy = 0; dy < E.nDY; ++dy) {
                        double sum = 0.0;
                        for (i64 t = 0; t < Bx; ++t) {
                            const i64 dx = (E.ilo + i) * Bx + t - u;
                            if (dx >= -nabove && dx < nabove) sum += vt.At(dx, E.dy0 + dy);
                        }
                        e[i * E.nDY + dy] = sum;
                    }
                }
            }
        }
        // Per thread: the term lists of one source L1C pixel (one per detector
        // row of it under the quadratic scheme) or of one bottom column.
        cap            = std::max<i64>(Bx * maxc, 1);
        const i64 size = std::max(By, nk) * cap;
        if (!budget.Take(2.0 * nthreads * size)) return false;
        scratch.resize((size_t)nthreads);
        for (Scratch& s : scratch) {
            s.w.resize((size_t)size);
            s.t.resize((size_t)size);
            s.m.resize((size_t)std::max<i64>(By, 1));
        }
        tablebytes += (size_t)(nthreads * size) * (sizeof(double) + sizeof(const double*));
    } catch (...) {   // tables that cannot be allocated: the per-pixel build runs instead
        return false;
    }

    // --- Work: a source pixel (I, r) writes only columns (I, J) of the same
    // L1C column I, for the rows J = r - 1, r, r + 1 (quadratic scheme) or
    // J = r (midpoint scheme). So the L1C columns are split into blocks, one
    // work item each, and an item runs through the rows in order: no two items
    // share an output column, every column receives its additions in row
    // order whatever the number of threads, and a column can be zeroed just
    // before the first row that writes it and scaled just after the last,
    // while it is in cache. With one thread there is one block, and the
    // records come in the per-pixel build's order.
    //
    // Row 0 with the lower-edge correction stops at its first bottom column
    // whose correction fails, like the per-pixel build. Lookups of at most
    // MAX_COEFFS coefficients log nothing, so that column is found here
    // beforehand; with more, every lookup fails (and logs), from column 0.
    i64 jstar = Kx;   // first bottom column whose correction fails
    try {
        if (loweredge && nk > 0) {
            if (ctable != nullptr && (i64)ctable->XSize() > TORVEN_PSF_InterpolationCoeffs::MAX_COEFFS) {
                jstar = 0;
            } else {
                TORVEN_PSF_InterpolationCoeffs probe;
                for (i64 I = 0; I < Kx && jstar == Kx; ++I) {
                    Coords first(WINDOW_DETECTOR);
                    l1c.ToParentWindow(Coords(0, (int)I, WINDOW_L1C), &first, false);
                    for (int u = 0; u < Bx && jstar == Kx; ++u)
                        for (int k = kfirst; k <= klast && jstar == Kx; ++k)
                            if (!psftable.GetInterpolationCoefficientsForNewPSFCentre(
                                    Coords(first.y + k, first.x + u, WINDOW_DETECTOR), &probe))
                                jstar = I;
                }
            }
        }
    } catch (...) {
        return false;
    }
    const i64 nblocks = (nthreads == 1) ? 1 : std::min<i64>(Kx, 16 * (i64)nthreads);
    *handled = true;
    if (stats != nullptr) {
        stats->fast_path     = true;
        stats->threads       = nthreads;
        stats->table_seconds = Seconds(t0);
        stats->table_bytes   = tablebytes;
    }

    // --- The records of the build, as the per-pixel build writes them.
    NXLOG_RECORD(nxlog_info, "TORVEN_DeconvolutionMatrixGenerator, Generating infield convolution matrix using [%s] ",
                 simpsons ? "Quadratic Interpolation" : "Classic Algorithm");
    if (loweredge) {
        NXLOG_RECORD(nxlog_info,
                     "TORVEN_DeconvolutionMatrixGenerator, Generating lower edge correction with [%d] detector rows "
                     "above and [%d] detector rows below bottom edge.",
                     g.m_rows_above_bottom_edge, g.m_rows_below_bottom_edge);
        if (skipped > 0) {
            NXLOG_RECORD(nxlog_warning,
                         "TORVEN_DeconvolutionMatrixGenerator, Skipping %d of the %d detector rows below the bottom "
                         "edge in the lower edge correction: they lie outside the detector window, which has no PSF "
                         "coefficients for them",
                         skipped, g.m_rows_below_bottom_edge);
        }
    } else {
        NXLOG_RECORD(nxlog_info, "TORVEN_DeconvolutionMatrixGenerator, NOT generating lower edge correction");
    }
    NXLOG_RECORD(nxlog_info,
                 "TORVEN_DeconvolutionMatrixGenerator, Generating convolution matrix for a (%d, %d) array of L1C "
                 "pixels. Pixel binning is (%d,%d) and window offset is (%d,%d)",
                 l1c.Numy(), l1c.Numx(), l1c.Biny(), l1c.Binx(), l1c.Ofsy(), l1c.Ofsx());

    double*      out   = output->UnsafeArrayBasePtr();
    const double scale = 1.0 / (double)(Bx * By);
    bool         success = true;
    double       madds   = 0.0;

    auto column = [&](i64 I, i64 J) { return out + (size_t)(I * Ky + J) * (size_t)F; };

    // One source L1C pixel (I, row): the lookups and records of its detector
    // pixels in the per-pixel order, then its share through the binned tables,
    // one combination per detector row v under the quadratic scheme (whose
    // weights depend on v only), one for the whole pixel otherwise.
    auto source_pixel = [&](int row, int I, TORVEN_PSF_InterpolationCoeffs& coeffs, Scratch& sc, double* buf,
                            double& nmadds) -> bool {
        const int below = std::max(row, 1) - 1;
        const int above = (row < Ky - 1) ? row + 1 : (int)Ky - 1;
        const int cb    = l1c.FlatIndex(Coords(below, I, WINDOW_L1C));
        const int cc    = l1c.FlatIndex(Coords(row, I, WINDOW_L1C));
        const int ca    = l1c.FlatIndex(Coords(above, I, WINDOW_L1C));
        Coords    first(WINDOW_DETECTOR);
        l1c.ToParentWindow(Coords(row, I, WINDOW_L1C), &first, false);
        const int nlists = simpsons ? (int)By : 1;
        const i64 lcap   = simpsons ? cap : By * cap;   // capacity of one list
        std::fill(sc.m.begin(), sc.m.end(), 0);
        bool success = true;
        for (int u = 0; u < Bx; ++u) {
            for (int v = 0; v < By; ++v) {
                const Coords source(first.y + v, first.x + u, WINDOW_DETECTOR);
                if (!psftable.GetInterpolationCoefficientsForNewPSFCentre(source, &coeffs)) {
                    NXLOG_RECORD(nxlog_error,
                                 "TORVEN_DeconvolutionMatrixGenerator::GenerateColumnMatrixElements, Inconsistency "
                                 "error looking up interpolated PSF table for raw detector pixel [%d,%d]",
                                 source.x, source.y);
                    continue;
                }
                if (!Tabulated(coeffs, slots)) {
                    const double tv = (double)v - (double)By / 2.0;
                    const bool   ok = simpsons ? g.GenerateSimpsonColumnMatrixElements(cb, cc, ca, tv, (double)By,
                                                                                       source, output)
                                               : g.GenerateMidpointColumnMatrixElements(cc, source, output);
                    success = success && ok;
                    continue;
                }
                const int list = simpsons ? v : 0;
                for (int j = 0; j < coeffs.NumCoeffs() && B.nI > 0; ++j) {
                    int& m = sc.m[(size_t)list];
                    if (m >= lcap) throw std::length_error("term list");   // cannot happen: lists hold maxc per pixel
                    sc.w[(size_t)(list * lcap + m)] = coeffs.Coefficient(j);
                    sc.t[(size_t)(list * lcap + m)] = B.Table(slots[(size_t)coeffs.PsfIndex(j)], u, v);
                    ++m;
                }
                if (bad > 0) {
                    NXLOG_RECORD(nxlog_warning,
                                 "TORVEN_DeconvolutionMatrixGenerator::GenerateColumnMatrixElements, %d bad elements "
                                 "detected. That should not happen. It should be zero",
                                 (int)std::min<i64>(bad, INT_MAX));
                }
            }
        }
        const i64 ia = std::max<i64>(B.ilo, -I), ib = std::min<i64>(B.ihi, Kx - 1 - I);
        const i64 ja = std::max<i64>(B.jlo, -row), jb = std::min<i64>(B.jhi, Ky - 1 - row);
        const int L  = (int)std::max<i64>(0, jb - ja + 1);
        double*   colb = out + (size_t)cb * (size_t)F;
        double*   colc = out + (size_t)cc * (size_t)F;
        double*   cola = out + (size_t)ca * (size_t)F;
        for (int v = 0; v < nlists; ++v) {
            const int m = sc.m[(size_t)v];
            if (m == 0 || L == 0 || ia > ib) continue;
            const double*        lw = sc.w.data() + (size_t)(v * lcap);
            const double* const* lt = sc.t.data() + (size_t)(v * lcap);
            double               wb = 0, wc = 1, wa = 0;
            if (simpsons) {
                TORVEN_DeconvolutionMatrixGenerator::SimpsonWeights((double)v - (double)By / 2.0, (double)By, &wb,
                                                                    &wc, &wa);
            }
            for (i64 i = ia; i <= ib; ++i) {
                const size_t toff = (size_t)((i - B.ilo) * B.nJ + (ja - B.jlo));
                const size_t roff = (size_t)((I + i) * Ky + row + ja);
                for (int e0 = 0; e0 < L; e0 += kStrip) {
                    const int n = std::min(kStrip, L - e0);
                    Combine(lw, lt, m, toff + (size_t)e0, n, buf);
                    if (simpsons) Distribute(colb + roff + e0, colc + roff + e0, cola + roff + e0, wb, wc, wa, buf, n);
                    else Add(colc + roff + e0, buf, n);
                }
            }
            nmadds += (double)(ib - ia + 1) * L * (m + (simpsons ? 3 : 1));
        }
        if (!success) {
            NXLOG_RECORD(nxlog_warning,
                         "TORVEN_DeconvolutionMatrixGenerator::ProcessSciencePixel, There were errors processing L1C "
                         "pixel (%d,%d)",
                         row, I);
        }
        return success;
    };

    // The lower-edge correction of bottom L1C pixel (I, 0): the lookups and
    // records of its sources in the per-pixel order, then one combination of
    // all of them over the strip rows [0, yh).
    auto edge_column = [&](int I, TORVEN_PSF_InterpolationCoeffs& coeffs, Scratch& sc, double* buf,
                           double& nmadds) -> bool {
        const int s   = l1c.FlatIndex(Coords(0, I, WINDOW_L1C));
        double*   col = out + (size_t)s * (size_t)F;
        Coords    first(WINDOW_DETECTOR);
        l1c.ToParentWindow(Coords(0, I, WINDOW_L1C), &first, false);
        const i64 lcap    = (i64)sc.w.size();
        int       m       = 0;
        bool      success = true;
        for (int u = 0; u < Bx; ++u) {
            for (int k = kfirst; k <= klast; ++k) {
                const Coords source(first.y + k, first.x + u, WINDOW_DETECTOR);
                if (!psftable.GetInterpolationCoefficientsForNewPSFCentre(source, &coeffs)) {
                    NXLOG_RECORD(nxlog_error,
                                 "TORVEN_DeconvolutionMatrixGenerator::GenerateColumnMatrixForBottomEdgeDetectorPixel, "
                                 "Inconsistency error looking up interpolated PSF table for raw source detector pixel "
                                 "[%d,%d]",
                                 source.x, source.y);
                    success = false;
                    continue;
                }
                if (!Tabulated(coeffs, slots)) {
                    const bool ok = g.GenerateColumnMatrixForBottomEdgeDetectorPixel(I, source, output);
                    success       = success && ok;
                    continue;
                }
                for (int j = 0; j < coeffs.NumCoeffs() && E.nI > 0; ++j) {
                    if (m >= lcap) throw std::length_error("term list");   // cannot happen: nk * Bx * maxc fit
                    // Row y of the strip is at dy - dy0 = y - k + klast of the table.
                    sc.w[(size_t)m] = coeffs.Coefficient(j);
                    sc.t[(size_t)m] = E.Table(slots[(size_t)coeffs.PsfIndex(j)], u) + (klast - k);
                    ++m;
                }
            }
        }
        if (!success) {
            NXLOG_RECORD(nxlog_warning,
                         "TORVEN_DeconvolutionMatrixGenerator::ProcessSciencePixel, There were errors processing L1C "
                         "column (%d)",
                         I);
            return false;
        }
        const i64 ia = std::max<i64>(E.ilo, -I), ib = std::min<i64>(E.ihi, Kx - 1 - I);
        if (m == 0 || !edgework || ia > ib) return true;
        const int n = (int)yh;
        for (i64 i = ia; i <= ib; ++i) {
            const size_t toff   = (size_t)((i - E.ilo) * E.nDY);
            double*      target = col + (size_t)((I + i) * Ky);
            for (int e0 = 0; e0 < n; e0 += kStrip) {
                const int len = std::min(kStrip, n - e0);
                Combine(sc.w.data(), sc.t.data(), m, toff + (size_t)e0, len, buf);
                if (By == 1) {
                    Add(target + e0, buf, len);
                } else {
                    for (int e = 0; e < len; ++e) target[(e0 + e) / By] += buf[e];
                }
            }
        }
        nmadds += (double)(ib - ia + 1) * n * (m + 1);
        return true;
    };

#pragma omp parallel num_threads(nthreads) reduction(+ : madds)
    {
        Scratch& sc = scratch[(size_t)omp_get_thread_num()];
#pragma omp for schedule(dynamic, 1)
        for (i64 b = 0; b < nblocks; ++b) {
            const int ibegin = (int)(b * Kx / nblocks), iend = (int)((b + 1) * Kx / nblocks);
            for (int i = 0; i < (int)Ky; ++i) {
                bool ok = false;
                try {
                    // Columns first written by this row: its own (midpoint), or
                    // the one above (quadratic; at row 0 also its own).
                    for (int I = ibegin; I < iend; ++I) {
                        if (!simpsons || i == 0) std::fill(column(I, i), column(I, i) + F, 0.0);
                        if (simpsons && i + 1 < Ky) std::fill(column(I, i + 1), column(I, i + 1) + F, 0.0);
                    }
                    TORVEN_PSF_InterpolationCoeffs coeffs;
                    double                         buf[kStrip];
                    if (diag && ibegin == 0) {
                        NXLOG_RECORD(nxlog_info,
                                     "TORVEN_DeconvolutionMatrixGenerator, Processing L1C pixel row [%d] of [%d]", i,
                                     (int)Ky);
                    }
                    ok = true;
                    // Row 0 passes over the bottom columns after the first
                    // failing one, as the per-pixel build does.
                    const int jend = (i == 0 && loweredge) ? (int)std::min<i64>(iend, jstar + 1) : iend;
                    for (int j = ibegin; ok && j < jend; ++j) {
                        if (diag && j == 0) NXLOG_RECORD(nxlog_info, "Processing L1C pixel [%4d,%4d]", i, j);
                        if (i == 0 && loweredge) ok = edge_column(j, coeffs, sc, buf, madds);
                        if (ok) ok = source_pixel(i, j, coeffs, sc, buf, madds);
                    }
                    // Columns last written by this row: its own (midpoint), or
                    // the one below (quadratic; at the top row also its own).
                    for (int I = ibegin; I < iend; ++I) {
                        auto scaled = [&](double* c) {
                            for (int e = 0; e < F; ++e) c[e] *= scale;
                        };
                        if (simpsons && i >= 1) scaled(column(I, i - 1));
                        if (!simpsons || i == Ky - 1) scaled(column(I, i));
                    }
                } catch (...) {   // nothing may escape the parallel region
                    ok = false;
                }
                EndWorkItem(ok, &success);
            }
        }
    }
    nxLogBase::FlushDefaultLogger();

    if (!success) {
        output->SetTo(0.0);
        NXLOG_RECORD(nxlog_error, "TORVEN_DeconvolutionMatrixGenerator::build_transfer_function, There were errors "
                                  "executing the code. Return empty matrix");
    }
    if (stats != nullptr) stats->multiply_adds = madds;
    return success;
}

// ===========================================================================
// Horizontal stray light.

bool TORVEN_FastMatrixBuilder::BuildHorizontalStrayLight(nx2dArray<double>* output,
                                                         const nx2dArray<double>& vignetting, int delta_ny,
                                                         int delta_nx, int delta_sy, int delta_sx, bool* handled,
                                                         TORVEN_FastBuildStats* stats)
{
    using Clock = std::chrono::steady_clock;
    *handled    = false;
    auto&     g = m_g;
    const int F = g.m_l1cindexer.FlatSize();
    // Refused outputs and steps are the per-pixel build's to report.
    if (output == nullptr || F < 1 || !g.IsMatrixOfThisBuild(output)) return false;
    if (delta_ny < 1 || delta_nx < 1 || delta_sy < 1 || delta_sx < 1) return false;

    const WindowMapping& l1c      = g.m_l1c_to_detector;
    const WindowMapping& science  = g.m_windows.Science();
    const WindowMapping& detector = g.m_windows.Detector();
    const WindowMapping& noof     = g.m_windows.Noof();
    const WindowMapping& indexer  = g.m_l1cindexer.Mapping();
    const i64 Kx = l1c.Numx(), Ky = l1c.Numy(), Bx = l1c.Binx(), By = l1c.Biny();
    const i64 Sx = science.Numx(), Sy = science.Numy(), NOOFx = noof.Numx(), NOOFy = noof.Numy();

    // The per-pixel build finds the L1C pixel of a receiving sample (sx, sy)
    // through the NOOF and detector windows; the tables take it to be
    // (sx / Bx, sy / By) when sx < Kx*Bx and sy < Ky*By, and the PSF offset of
    // a NOOF source x in row iy to be (sx + SX0 - x, sy - iy) with SX0 the
    // NOOF column of science column 0. Windows for which that does not hold
    // (saturated offsets, say) keep the per-pixel build.
    if (Bx < 1 || By < 1 || Kx < 1 || Ky < 1 || Kx * Ky != F) return false;
    if (Sx < 0 || Sy < 0 || NOOFx < 0 || NOOFy < 0 || Sx > kMaxExtent || Sy > kMaxExtent || NOOFx > kMaxExtent ||
        NOOFy > kMaxExtent)
        return false;
    if (indexer.Ofsx() != science.Ofsx() || indexer.Ofsy() != science.Ofsy() || indexer.Binx() != Bx ||
        indexer.Biny() != By || indexer.Numx() != Kx || indexer.Numy() != Ky)
        return false;
    if (detector.Binx() != 1 || detector.Biny() != 1 || science.Binx() != 1 || science.Biny() != 1) return false;
    const WindowMapping to_noof = g.m_windows.CreateMappingToUpperLevel(science, noof);
    const i64           SX0     = (i64)science.Ofsx() + detector.Ofsx();
    const i64           SY0     = (i64)science.Ofsy() + detector.Ofsy();
    if (to_noof.Ofsx() != SX0 || to_noof.Ofsy() != SY0 || to_noof.Binx() != 1 || to_noof.Biny() != 1) return false;
    if (SX0 < -kMaxExtent || SX0 > kMaxExtent || SY0 < -kMaxExtent || SY0 > kMaxExtent) return false;

    const bool diag = g.m_diagnostic;
    const i64  SXV  = std::min(Sx, Kx * Bx);   // receiving columns with an L1C pixel
    const i64  SYV  = std::min(Sy, Ky * By);   // receiving rows with an L1C pixel
    const i64  hx = delta_sx / 2, hy = delta_sy / 2;
    const TORVEN_PSF_Table& psftable = g.m_psftable;
    const int               nthreads = std::max(1, omp_get_max_threads());
    const Clock::time_point t0       = Clock::now();

    // --- Tables: the PSFs at the offsets between a NOOF source beside the
    // science window and a receiving sample, and per thread the PSFs of the
    // current source row summed over the sampled rows of each receiving L1C
    // row: Y_p(dx, j) = sum over the sampled sy in L1C row j of V_p(dx, sy - iy).
    int                      nslots = 0;
    std::vector<int>         slots;
    std::vector<OffsetTable> V;
    i64                      DX0 = 0, DX1 = -1, DY0 = 0, DY1 = -1, nDX = 0, nJY = 0;
    bool                     anytable = false;
    std::vector<double>      Y;
    std::vector<i64>         stamp;
    size_t                   tablebytes = 0;
    TableBudget              budget(psftable);
    try {
        slots = ReferencedPsfs(psftable, &nslots);
        std::vector<int> psfofslot((size_t)nslots);
        for (size_t p = 0; p < slots.size(); ++p)
            if (slots[p] >= 0) psfofslot[(size_t)slots[p]] = (int)p;
        const i64 xlo = SX0 - (NOOFx - 1), xhi = SX0 + SXV - 1;
        const i64 limx = std::max(std::abs(xlo), std::abs(xhi)) + 1, limy = Sy + 1;
        V.resize((size_t)nslots);
        const auto& entries = psftable.MeasuredPSFEntries();
        for (int s = 0; s < nslots; ++s) Tabulate(entries[(size_t)psfofslot[(size_t)s]], limx, limy, &V[(size_t)s]);
        for (const OffsetTable& v : V) tablebytes += v.v.size() * sizeof(double);
        if (!budget.Take((double)(tablebytes / sizeof(double)))) return false;
        anytable = SXV > 0 && SYV > 0 && UnionRange(V, xlo, xhi, -(Sy - 1), SYV - 1, &DX0, &DX1, &DY0, &DY1);
        if (anytable) {
            nDX = DX1 - DX0 + 1;
            nJY = std::min(Ky, FloorDiv(DY1 - DY0, By) + 2);
            if (!budget.Take((double)nthreads * nslots * nDX * nJY)) return false;
            Y.assign((size_t)(nthreads * nslots * nDX * nJY), 0.0);
            stamp.assign((size_t)(nthreads * nslots), -1);
            tablebytes += Y.size() * sizeof(double) + stamp.size() * sizeof(i64);
        }
    } catch (...) {   // tables that cannot be allocated: the per-pixel build runs instead
        return false;
    }

    // --- Work: the sampled science rows, as in the per-pixel build. The two
    // columns a row writes (its end L1C pixels) belong to its L1C row
    // iy / By, so one item takes every sampled row of one L1C row and owns
    // those columns.
    const int64_t firstrow = delta_ny / 2;
    const int64_t nrows    = (Sy > firstrow) ? (Sy - firstrow + delta_ny - 1) / delta_ny : 0;
    struct Item
    {
        i64 nbegin, nend;
    };
    std::vector<Item> items;
    try {
        for (i64 n = 0; n < nrows; ++n) {
            const i64 key = (firstrow + n * delta_ny) / By;
            if (items.empty() || (firstrow + items.back().nbegin * delta_ny) / By != key) items.push_back(Item{n, n});
            items.back().nend = n + 1;
        }
    } catch (...) {
        return false;
    }
    *handled = true;
    if (stats != nullptr) {
        stats->fast_path     = true;
        stats->threads       = nthreads;
        stats->table_seconds = Seconds(t0);
        stats->table_bytes   = tablebytes;
    }

    // --- The records of the build, as the per-pixel build writes them.
    NXLOG_RECORD(nxlog_info, "TORVEN_DeconvolutionMatrixGenerator::build_horizontal_stray_light. Building convolution "
                             "matrix for horizontal extrapolation.");
    NXLOG_RECORD(nxlog_info, "Noof region coordinate step sizes    (Ny,Nx) = (%d, %d)", delta_ny, delta_nx);
    NXLOG_RECORD(nxlog_info, "Science window coordinate step sizes (Sy,Sx) = (%d, %d)", delta_sy, delta_sx);
    const bool usevign = (int64_t)vignetting.XSize() == NOOFx && (int64_t)vignetting.YSize() == NOOFy &&
                         !vignetting.IsEmpty() && vignetting.ArrayRankSpecs()->IsContiguous();
    if (usevign) {
        NXLOG_RECORD(nxlog_info, "The user supplied, ROW major, vignetting array (%d,%d) willbe used for vignetting",
                     (int)vignetting.XSize(), (int)vignetting.YSize());
    } else if (vignetting.XSize() == 0 && vignetting.YSize() == 0) {
        NXLOG_RECORD(nxlog_info, "No user defined vignetting array supplied. A value of 1.0 will be used");
    } else {
        NXLOG_RECORD(nxlog_warning,
                     "The user defined vignetting array was the wrong size. Expected an (x,y) size of (%d,%d) but got "
                     "(%d,%d). A value of 1.0 will be used",
                     (int)NOOFx, (int)NOOFy, (int)vignetting.XSize(), (int)vignetting.YSize());
    }

    Coords leftpix(WINDOW_NOOF), rightpix(WINDOW_NOOF);
    to_noof.ToParentWindow(Coords(0, 0, WINDOW_SCIENCE), &leftpix, false);
    to_noof.ToParentWindow(Coords(0, (int)Sx, WINDOW_SCIENCE), &rightpix, false);
    const int64_t left        = leftpix.x;
    const int64_t right       = rightpix.x;
    const double  source_area = (double)((int64_t)delta_ny * (int64_t)delta_nx);
    int64_t       leftstart   = left - 1 - delta_nx / 2;
    int64_t       rightstart  = right + delta_nx / 2;
    if (leftstart >= NOOFx) leftstart -= ((leftstart - NOOFx) / delta_nx + 1) * (int64_t)delta_nx;
    if (rightstart < 0) rightstart += ((-rightstart - 1) / delta_nx + 1) * (int64_t)delta_nx;
    const double* vignbase = usevign ? vignetting.UnsafeArrayBasePtr() : nullptr;

    double*   out = output->UnsafeArrayBasePtr();
    const i64 FF  = (i64)F * F;
#pragma omp parallel for schedule(static) num_threads(nthreads)
    for (i64 n = 0; n < FF; ++n) out[n] = 0.0;

    bool   success = true;
    double madds   = 0.0;

    // Y_p of row iy for thread `tid`, built on first use within the row.
    auto rowtable = [&](int tid, int s, i64 iy, i64 jb) -> const double* {
        double* y = Y.data() + (size_t)(((i64)tid * nslots + s) * nDX * nJY);
        i64&    st = stamp[(size_t)((i64)tid * nslots + s)];
        if (st == iy) return y;
        st = iy;
        std::fill(y, y + nDX * nJY, 0.0);
        const OffsetTable& vt = V[(size_t)s];
        if (vt.Empty()) return y;
        const i64 lo = std::max<i64>(0, iy + DY0), hi = std::min<i64>(SYV - 1, iy + DY1);
        const i64 xa = std::max(DX0, vt.x0), xb = std::min(DX1, vt.x0 + vt.nx - 1);
        for (i64 b = CeilDiv(lo - hy, delta_sy); b <= FloorDiv(hi - hy, delta_sy); ++b) {
            const i64 sy = hy + b * delta_sy;
            const i64 dy = sy - iy;
            if (dy < vt.y0 || dy >= vt.y0 + vt.ny) continue;
            const i64 j = sy / By - jb;
            for (i64 dx = xa; dx <= xb; ++dx) y[(dx - DX0) * nJY + j] += vt.v[(size_t)((dx - vt.x0) * vt.ny + dy - vt.y0)];
        }
        return y;
    };

#pragma omp parallel num_threads(nthreads) reduction(+ : madds)
    {
        const int tid = omp_get_thread_num();
#pragma omp for schedule(dynamic, 1)
        for (size_t w = 0; w < items.size(); ++w) {
            // The (at most two) columns of the item's L1C row that its rows write.
            int owned[2] = {-1, -1};
            for (i64 n = items[w].nbegin; n < items[w].nend; ++n) {
                const int iy = (int)(firstrow + n * delta_ny);
                bool      ok = false;
                try {
                    if (diag) {
                        NXLOG_RECORD(nxlog_info,
                                     "TORVEN_DeconvolutionMatrixGenerator::build_horizontal_stray_light, Processing "
                                     "row [%d] of [%d]",
                                     iy, (int)Sy);
                    }
                    ok               = true;
                    int    column_left = -1, column_right = -1;
                    Coords det(WINDOW_DETECTOR);
                    if (!(science.ToParentWindow(Coords(iy, 0, WINDOW_SCIENCE), &det, true) &&
                          g.m_l1cindexer.FlatIndexFromDetectorPixel(det, &column_left, true)))
                        column_left = -1;
                    if (!(science.ToParentWindow(Coords(iy, (int)Sx - 1, WINDOW_SCIENCE), &det, true) &&
                          g.m_l1cindexer.FlatIndexFromDetectorPixel(det, &column_right, true)))
                        column_right = -1;
                    Coords nrow(WINDOW_NOOF);
                    to_noof.ToParentWindow(Coords(iy, 0, WINDOW_SCIENCE), &nrow, false);
                    const int     ny      = nrow.y;
                    const double* vignrow = nullptr;
                    int           nvign   = 0;
                    if (vignbase != nullptr && ny >= 0 && ny < NOOFy) {
                        vignrow = vignbase + (size_t)ny * (size_t)NOOFx;
                        nvign   = (int)NOOFx;
                    }
                    const i64 jb = std::max<i64>(0, FloorDiv(iy + DY0, By));
                    const i64 je = std::min<i64>(Ky - 1, FloorDiv(iy + DY1, By));
                    const int L  = (int)std::max<i64>(0, je - jb + 1);

                    TORVEN_PSF_InterpolationCoeffs coeffs;
                    double                         tw[TORVEN_PSF_InterpolationCoeffs::MAX_COEFFS];
                    const double*                  tt[TORVEN_PSF_InterpolationCoeffs::MAX_COEFFS];
                    double                         buf[kStrip];
                    double                         weight = 1.0;
                    auto source = [&](i64 x, int column) {
                        double factor = (double)((int64_t)delta_sx * (int64_t)delta_sy) * source_area;
                        if (vignrow != nullptr) {
                            if (!(x < nvign && x >= 0)) return;
                            factor = vignrow[x] * factor;
                        }
                        if (!std::isfinite(factor) || factor == 0.0) return;
                        const Coords src(ny, (int)x, WINDOW_NOOF);
                        if (!psftable.GetInterpolationCoefficientsForNewPSFCentre(src, &coeffs)) return;
                        if (!Tabulated(coeffs, slots)) {
                            g.ProcessHorizontalStrayLightFromPixel(ny, (int)x, delta_sy, delta_sx, source_area,
                                                                   &column, &weight, 1, vignrow, nvign, output);
                            return;
                        }
                        const int nc = coeffs.NumCoeffs();
                        if (nc == 0 || !anytable || L == 0) return;
                        for (int j = 0; j < nc; ++j) {
                            tw[j] = coeffs.Coefficient(j) * factor;
                            tt[j] = rowtable(tid, slots[(size_t)coeffs.PsfIndex(j)], iy, jb);
                        }
                        double*   col = out + (size_t)column * (size_t)F;
                        const i64 xs  = x - SX0;
                        const i64 lo = std::max<i64>(0, xs + DX0), hi = std::min<i64>(SXV - 1, xs + DX1);
                        const i64 a0 = CeilDiv(lo - hx, delta_sx), a1 = FloorDiv(hi - hx, delta_sx);
                        for (i64 a = a0; a <= a1; ++a) {
                            const i64    sx     = hx + a * delta_sx;
                            const size_t toff   = (size_t)((sx - xs - DX0) * nJY);
                            double*      target = col + (size_t)((sx / Bx) * Ky + jb);
                            for (int e0 = 0; e0 < L; e0 += kStrip) {
                                const int m = std::min(kStrip, L - e0);
                                Combine(tw, tt, nc, toff + (size_t)e0, m, buf);
                                Add(target + e0, buf, m);
                            }
                        }
                        if (a1 >= a0) madds += (double)(a1 - a0 + 1) * L * (nc + 1);
                    };
                    if (column_left >= 0) {
                        owned[0] = column_left;
                        for (int64_t x = leftstart; x >= 0; x -= delta_nx) source(x, column_left);
                    }
                    if (column_right >= 0) {
                        owned[1] = column_right;
                        for (int64_t x = rightstart; x < NOOFx; x += delta_nx) source(x, column_right);
                    }
                } catch (...) {   // nothing may escape the parallel region
                    ok = false;
                }
                EndWorkItem(ok, &success);
            }
            // The item's columns are complete: scale them as the per-pixel
            // build scales the whole matrix (the others stay 0).
            const double scale = 1.0 / (double)(Bx * By);
            if (owned[0] >= 0) {
                double* c = out + (size_t)owned[0] * (size_t)F;
                for (int e = 0; e < F; ++e) c[e] *= scale;
            }
            if (owned[1] >= 0 && owned[1] != owned[0]) {
                double* c = out + (size_t)owned[1] * (size_t)F;
                for (int e = 0; e < F; ++e) c[e] *= scale;
            }
        }
    }
    nxLogBase::FlushDefaultLogger();

    if (!success) {
        output->SetTo(0.0);
        NXLOG_RECORD(nxlog_error, "TORVEN_DeconvolutionMatrixGenerator::build_transfer_function, There were errors "
                                  "executing the code. Return empty matrix");
    }
    if (stats != nullptr) stats->multiply_adds = madds;
    return success;
}

// ===========================================================================
// The two builds of the generator: the fast path where it applies, otherwise
// the per-pixel build.

bool TORVEN_DeconvolutionMatrixGenerator::build_transfer_function(nx2dArray<double>* output)
{
    bool                     handled = false;
    TORVEN_FastMatrixBuilder fast(*this);
    const bool               ok = fast.BuildTransferFunction(output, &handled);
    return handled ? ok : build_transfer_function_reference(output);
}

bool TORVEN_DeconvolutionMatrixGenerator::build_horizontal_stray_light(nx2dArray<double>* output,
                                                                       const nx2dArray<double>& vignetting,
                                                                       int delta_ny, int delta_nx, int delta_sy,
                                                                       int delta_sx)
{
    bool                     handled = false;
    TORVEN_FastMatrixBuilder fast(*this);
    const bool ok = fast.BuildHorizontalStrayLight(output, vignetting, delta_ny, delta_nx, delta_sy, delta_sx, &handled);
    return handled
               ? ok
               : build_horizontal_stray_light_reference(output, vignetting, delta_ny, delta_nx, delta_sy, delta_sx);
}
