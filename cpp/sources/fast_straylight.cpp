// The fast horizontal stray-light build: tabulated PSFs summed over the sampled
// rows of each receiving L1C row, output columns owned by one L1C row at a time.
// With the binned tables, the L1C rows whose source weights are affine in the
// row (PSFs blended bilinearly) share tables combined once per build, and each
// of their columns is written whole from them (ReducedRows).
// See fast_tables.h for the design; the per-pixel operations of
// torven_horizontal_deconvolution_matrix.cpp define what is computed.
#include <omp.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdint>
#include <map>
#include <new>
#include <stdexcept>
#include <vector>

#include "fast_tables.h"
#include "geometry.h"
#include "nxlog.h"

using namespace fastbuild;

namespace {

// One work item of the build: the sampled rows [nbegin, nend) of one L1C row.
struct Item
{
    i64 nbegin, nend;
};

// What the build needs of one sampled row: its science row iy and NOOF row
// ny, the columns it writes (left, right; -1 for none), its vignetting row
// and the L1C rows [jb, jb + L) that its sources can reach.
struct RowGeometry
{
    int           iy = 0, ny = 0;
    int           column[2] = {-1, -1};
    const double* vignrow = nullptr;
    int           nvign = 0;
    i64           jb = 0;
    int           L = 0;
};

// ---------------------------------------------------------------------------
// Reduced rows (binned tables only). The weights w_qy(x, ry, p) of one side of
// L1C row qy over (source column x, row residue ry, PSF slot p) are, for PSFs
// blended bilinearly, affine in qy over the rows that share one set of (x, p)
// pairs: w_qy = sum over k of mu_k(qy) E_k with mu = (1, qy - mean). Such a
// group needs only the tables Z_k(I, j) = sum over (x, ry, p) of
// E_k(x, ry, p) BT_p[rx][ry](I - qx, j), I the receiving L1C column and j the
// row offset from qy, and each of its columns is then sum_k mu_k Z_k(I, J - qy):
// nq multiply-adds per element instead of one per source, residue and
// coefficient. As for the in-field sources, the basis is fitted by least
// squares and every row checked: one whose weights it does not reproduce
// within 1e-13 of their largest keeps its sources. Rows with a source the
// tables do not describe (failed lookup, coefficients not tabulated,
// non-finite factor) are not reduced.
struct ReducedRows
{
    i64                 Kx = 0, nJ = 0;
    std::vector<int>    group;     // per item and side (2 w + side): its group, or -1
    std::vector<double> mu;        // per item and side: the weights of its group's tables, scale folded in
    std::vector<int>    nq;        // per group: basis size (1 or 2)
    std::vector<double> tables;    // [group][k < 2][I][j - jlo]
    long long           rows = 0;  // item sides that take the tables

    const double* Table(int G, int k) const { return tables.data() + ((size_t)G * 2 + (size_t)k) * (size_t)(Kx * nJ); }
    int           Group(size_t w, int side) const { return group.empty() ? -1 : group[2 * w + (size_t)side]; }
};


// Finds the groups, fits and checks their bases and builds their tables
// (see ReducedRows); leaves out groups whose tables would cost more than they
// save or do not fit the budget. `xsrc` holds each side's source columns in
// the order of the build, `basefactor` the factor of a source before
// vignetting, `scale` the scale of the output columns. Makes no lookups that
// can write records: the caller makes sure of that. Throws on allocation
// failure.
void ReduceRows(const TORVEN_PSF_Table& psftable, const std::vector<int>& slots, int nslots, const BinnedTables& BT,
                const std::vector<Item>& items, const std::vector<RowGeometry>& rows, const std::vector<i64> xsrc[2],
                i64 SX0, i64 Kx, i64 Ky, double basefactor, double scale, const Kernels& K, int nthreads,
                TableBudget& budget, ReducedRows* R, size_t* bytes, double* madds)
{
    const i64    Bx = BT.Bx, By = BT.By;
    const size_t nentries = 2 * items.size();
    R->Kx = Kx, R->nJ = BT.nJ;
    if (Kx < 2 || BT.nI <= 0 || BT.nJ <= 0 || items.empty()) return;
    // The weights of every entry while the groups are found: at most a pair
    // per source and slot, and a weight per pair and residue.
    const double most = (double)std::max(xsrc[0].size(), xsrc[1].size()) * nslots * (double)By;
    if (!budget.Fits((double)nentries * most)) return;

    struct Entry
    {
        bool                ok = false;
        i64                 qy = 0, LJ = 0;
        double              full = 0.0;   // multiply-adds of its sources through the term lists
        std::vector<int>    key;          // side, then the (x index, slot) pairs in order
        std::vector<double> w;            // [pair][ry]
    };
    std::vector<Entry> entries(nentries);
    bool               failed = false;
#pragma omp parallel for schedule(dynamic, 4) num_threads(nthreads)
    for (i64 e = 0; e < (i64)nentries; ++e) {
        try {
            const Item& it   = items[(size_t)e / 2];
            const int   side = (int)(e % 2);
            const int   col  = rows[(size_t)it.nbegin].column[side];
            if (col < 0) continue;
            bool good = true;
            for (i64 n = it.nbegin; n < it.nend; ++n) good = good && rows[(size_t)n].column[side] == col;
            if (!good) continue;
            const std::vector<i64>& xs = xsrc[side];
            const i64               qy = rows[(size_t)it.nbegin].iy / By;
            const i64 J0 = std::max<i64>(0, qy + BT.jlo), J1 = std::min<i64>(Ky - 1, qy + BT.jhi);
            const i64 LJ = std::max<i64>(0, J1 - J0 + 1);
            // Per code (x index, slot): whether a source uses it, and its
            // weights per residue ry.
            const size_t               ncodes = xs.size() * (size_t)nslots;
            std::vector<unsigned char> used(ncodes, 0);
            std::vector<double>        w(ncodes * (size_t)By, 0.0);
            size_t                     npairs = 0;
            double              full = 0.0;
            TORVEN_PSF_InterpolationCoeffs coeffs;
            for (i64 n = it.nbegin; n < it.nend && good; ++n) {
                const RowGeometry& g  = rows[(size_t)n];
                const i64          ry = g.iy - qy * By;
                for (size_t xi = 0; xi < std::min(xs.size(), kPrefetchAhead); ++xi)
                    psftable.PrefetchCoefficients(Coords(g.ny, (int)xs[xi], WINDOW_NOOF));
                for (size_t xi = 0; xi < xs.size() && good; ++xi) {
                    const i64 x = xs[xi];
                    if (xi + kPrefetchAhead < xs.size())
                        psftable.PrefetchCoefficients(Coords(g.ny, (int)xs[xi + kPrefetchAhead], WINDOW_NOOF));
                    double factor = basefactor;
                    if (g.vignrow != nullptr) {
                        if (!(x < g.nvign && x >= 0)) continue;
                        factor = g.vignrow[x] * factor;
                    }
                    if (!std::isfinite(factor)) good = false;
                    if (!good || factor == 0.0) continue;
                    if (!psftable.GetInterpolationCoefficientsForNewPSFCentre(Coords(g.ny, (int)x, WINDOW_NOOF),
                                                                              &coeffs) ||
                        !Tabulated(coeffs, slots)) {
                        good = false;
                        continue;
                    }
                    const int nc = coeffs.NumCoeffs();
                    if (nc == 0 || g.L == 0 || LJ == 0) continue;
                    const i64 qx = FloorDiv(x - SX0, Bx);
                    const i64 I0 = std::max<i64>(0, qx + BT.ilo), I1 = std::min<i64>(Kx - 1, qx + BT.ihi);
                    if (I0 > I1) continue;
                    full += (double)(I1 - I0 + 1) * (double)LJ * nc;
                    for (int j = 0; j < nc; ++j) {
                        const size_t code = xi * (size_t)nslots + (size_t)slots[(size_t)coeffs.PsfIndex(j)];
                        npairs += used[code] == 0 ? 1 : 0;
                        used[code] = 1;
                        w[code * (size_t)By + (size_t)ry] += coeffs.Coefficient(j) * factor;
                    }
                }
            }
            if (!good) continue;
            // The pairs in order, so that equal sets are equal keys.
            Entry& en = entries[(size_t)e];
            // The codes in use, in order, gathered without a branch per code
            // (about every other code is in use: a branch would mispredict).
            en.key.resize(npairs + 1);
            en.key[0] = side;
            size_t m  = 1;
            for (size_t c = 0; c < ncodes && m <= npairs; ++c) {
                en.key[m] = (int)c;
                m += used[c];
            }
            en.w.resize(npairs * (size_t)By);
            for (size_t q = 1; q < en.key.size(); ++q)
                std::copy_n(w.begin() + (std::ptrdiff_t)((size_t)en.key[q] * (size_t)By), (size_t)By,
                            en.w.begin() + (std::ptrdiff_t)((q - 1) * (size_t)By));
            en.qy = qy, en.LJ = LJ, en.full = full, en.ok = true;
        } catch (...) {   // nothing may escape the parallel region
#pragma omp atomic write
            failed = true;
        }
    }
    if (failed) throw std::bad_alloc();

    // Groups: entries with the same key, in entry order.
    std::map<std::vector<int>, int> index;
    std::vector<std::vector<size_t>> members;
    for (size_t e = 0; e < nentries; ++e) {
        if (!entries[e].ok) continue;
        auto it = index.find(entries[e].key);
        if (it == index.end()) {
            it = index.emplace(entries[e].key, (int)members.size()).first;
            members.emplace_back();
        }
        members[(size_t)it->second].push_back(e);
    }

    // Per group: the basis by least squares, the check of every entry, and
    // whether the tables pay: the multiply-adds its entries save against
    // those of its tables.
    struct Fit
    {
        int                 nq = 0;
        std::vector<double> E;      // nq x D
        std::vector<i64>    qx;     // per pair: the L1C column of its source
        std::vector<int>    rx;     // per pair: the source's residue in x
        std::vector<int>    slot;   // per pair: its PSF slot
    };
    std::vector<Fit> fits;
    R->group.assign(nentries, -1);
    R->mu.assign(nentries * 2, 0.0);
    std::vector<size_t> accepted;
    double              tablemadds = 0.0;
    for (const auto& kv : index) {
        const std::vector<size_t>& m = members[(size_t)kv.second];
        const std::vector<int>&    key = kv.first;
        const size_t               D   = (key.size() - 1) * (size_t)By;
        if (D == 0) continue;
        const int nq   = m.size() > 1 ? 2 : 1;
        double    mean = 0.0;
        for (size_t e : m) mean += (double)entries[e].qy;
        mean /= (double)m.size();
        std::vector<double> rhs;
        accepted.clear();
        double     saved   = 0.0;
        const auto basis   = [&](size_t e, double* l) { l[0] = 1.0, l[1] = (double)entries[e].qy - mean; };
        const auto weights = [&](size_t e) { return entries[e].w.data(); };
        const auto accept  = [&](size_t e, const double*) {
            accepted.push_back(e);
            saved += entries[e].full - (double)nq * (double)Kx * (double)entries[e].LJ;
        };
        if (!FitGroup(m, nq, D, basis, weights, &rhs, accept) || accepted.empty()) continue;
        Fit f;
        f.nq = nq;
        for (size_t c = 1; c < key.size(); ++c) {
            const i64 xs = xsrc[key[0]][(size_t)key[c] / (size_t)nslots] - SX0, qx = FloorDiv(xs, Bx);
            f.qx.push_back(qx);
            f.rx.push_back((int)(xs - qx * Bx));
            f.slot.push_back((int)((size_t)key[c] % (size_t)nslots));
        }
        // The tables: per basis vector and pair, its receiving columns times
        // its residues of non-zero weight.
        double terms = 0.0;
        for (size_t c = 0; c < f.qx.size(); ++c) {
            const i64 nI = std::min<i64>(Kx - 1, f.qx[c] + BT.ihi) - std::max<i64>(0, f.qx[c] + BT.ilo) + 1;
            if (nI <= 0) continue;
            for (int q = 0; q < nq; ++q)
                for (i64 ry = 0; ry < By; ++ry)
                    if (rhs[(size_t)q * D + c * (size_t)By + (size_t)ry] != 0.0) terms += (double)nI;
        }
        const double cost = terms * (double)BT.nJ;
        if (!(saved > cost)) continue;
        const int G = (int)fits.size();
        for (size_t e : accepted) {
            R->group[e]      = G;
            R->mu[2 * e]     = scale;
            R->mu[2 * e + 1] = nq > 1 ? ((double)entries[e].qy - mean) * scale : 0.0;
        }
        tablemadds += cost;
        f.E = std::move(rhs);
        fits.push_back(std::move(f));
    }
    if (fits.empty() || !budget.Take((double)fits.size() * 2 * (double)(Kx * BT.nJ))) {
        R->group.clear();   // no room: every row keeps its sources
        return;
    }
    for (int G : R->group) R->rows += G >= 0 ? 1 : 0;
    R->nq.resize(fits.size());
    for (size_t G = 0; G < fits.size(); ++G) R->nq[G] = fits[G].nq;
    R->tables.assign(fits.size() * 2 * (size_t)(Kx * BT.nJ), 0.0);
    *bytes += R->tables.size() * sizeof(double);
    *madds += tablemadds;

    // One table row (G, k, I) per work item, its terms in the order of the key.
    const i64 nitems = (i64)fits.size() * 2 * Kx;
#pragma omp parallel for schedule(dynamic, 4) num_threads(nthreads)
    for (i64 t = 0; t < nitems; ++t) {
        const int  G = (int)(t / (2 * Kx)), k = (int)(t / Kx % 2);
        const i64  I = t % Kx;
        const Fit& f = fits[(size_t)G];
        if (k >= f.nq) continue;
        try {
            const size_t               npairs = f.qx.size();
            const size_t               D      = npairs * (size_t)By;
            std::vector<double>        w;
            std::vector<const double*> tp;
            w.reserve(D);
            tp.reserve(D);
            for (size_t c = 0; c < npairs; ++c) {
                const i64 i = I - f.qx[c];
                if (i < BT.ilo || i > BT.ihi) continue;
                for (i64 ry = 0; ry < By; ++ry) {
                    const double e = f.E[(size_t)k * D + c * (size_t)By + (size_t)ry];
                    if (e == 0.0) continue;
                    w.push_back(e);
                    tp.push_back(BT.Table(f.slot[c], f.rx[c], (int)ry) + (size_t)((i - BT.ilo) * BT.nJ));
                }
            }
            if (w.empty()) continue;
            double* z = const_cast<double*>(R->Table(G, k)) + (size_t)(I * BT.nJ);
            K.combine(w.data(), tp.data(), (int)w.size(), 0, (int)BT.nJ, z);
        } catch (...) {   // nothing may escape the parallel region
#pragma omp atomic write
            failed = true;
        }
    }
    if (failed) throw std::bad_alloc();
}

}   // namespace

// ===========================================================================
// Horizontal stray light.

namespace {

// The horizontal stray-light build, in stages: the geometry and its checks,
// the tables and the work items, the opening records, the reduced rows, the
// zeroed output, then the work loop over the L1C rows' sampled rows.
class StrayBuild
{
  public:
    StrayBuild(TORVEN_DeconvolutionMatrixGenerator& generator, const Kernels& kernels, nx2dArray<double>* out_,
               const nx2dArray<double>& vignetting_, int dny, int dnx, int dsy, int dsx)
        : K(kernels), g(generator), output(out_), vignetting(vignetting_), delta_ny(dny), delta_nx(dnx),
          delta_sy(dsy), delta_sx(dsx), psftable(generator.PsfTable()), to_noof(WINDOW_NOOF),
          budget(generator.PsfTable())
    {
    }
    // Whether the tables describe this build (nothing logged, nothing written).
    bool Applies();
    // The tables and the work items; false when they cannot be allocated.
    bool Prepare();
    // The build itself, once it is the fast path's: records, reduced rows,
    // zeroed output, work loop; its result.
    bool Run(TORVEN_FastBuildStats* stats);

  private:
    void          RowGeometryOf(int iy, RowGeometry* r) const;
    const double* RowTable(int tid, int s, i64 iy, i64 jb);
    void          Reduce(TORVEN_FastBuildStats* stats, double* madds);
    void          Zero();
    bool          WorkRow(size_t w, i64 n, int tid, int* owned, double& madds);
    void          FinishItem(size_t w, const int* owned, double& madds);

    const Kernels&                       K;
    TORVEN_DeconvolutionMatrixGenerator& g;
    nx2dArray<double>*                   output;
    const nx2dArray<double>&             vignetting;
    const int                            delta_ny, delta_nx, delta_sy, delta_sx;
    const TORVEN_PSF_Table&              psftable;

    // The geometry (see Applies).
    int                  F = 0;
    const WindowMapping* sciencep = nullptr;
    WindowMapping        to_noof;
    i64                  Kx = 0, Ky = 0, Bx = 1, By = 1, Sx = 0, Sy = 0, NOOFx = 0, NOOFy = 0, SX0 = 0;
    bool                 diag = false;
    i64                  SXV = 0, SYV = 0, hx = 0, hy = 0;
    int                  nthreads = 1;
    std::chrono::steady_clock::time_point t0;

    // The tables: the PSFs at the offsets between a NOOF source beside the
    // science window and a receiving sample, and per thread the PSFs of the
    // current source row summed over the sampled rows of each receiving L1C
    // row: Y_p(dx, j) = sum over the sampled sy in L1C row j of V_p(dx, sy - iy).
    int                      nslots = 0;
    std::vector<int>         slots;
    std::vector<OffsetTable> V;
    i64                      DX0 = 0, DX1 = -1, DY0 = 0, DY1 = -1, nDX = 0, nJY = 0;
    bool                     anytable = false;
    bool                     binned   = false;   // the tables BT serve the build
    BinnedTables             BT;
    std::vector<double>      Y;
    std::vector<i64>         stamp;
    size_t                   tablebytes = 0;
    TableBudget              budget;

    // The work: the sampled science rows, grouped by L1C row into items.
    int64_t           firstrow = 0, nrows = 0;
    std::vector<Item> items;

    // The sources and the output.
    double        source_area = 0.0;
    int64_t       leftstart = 0, rightstart = 0;
    const double* vignbase = nullptr;
    double*       out      = nullptr;
    i64           R0 = 0, R1 = 0;
    double        scale   = 1.0;
    ReducedRows   RR;
    bool          success = true;
};

bool StrayBuild::Applies()
{
    F = g.FlatSize();
    // Refused outputs and steps are the per-pixel build's to report.
    if (output == nullptr || F < 1 || !g.IsOutputOfThisBuild(output)) return false;
    if (delta_ny < 1 || delta_nx < 1 || delta_sy < 1 || delta_sx < 1) return false;

    const WindowMapping&    science = g.Windows().Science();
    sciencep                        = &science;
    const WindowMapping&    noof    = g.Windows().Noof();
    const velmora::Geometry geo     = velmora::Geometry::Of(g, false);
    Kx = geo.Kx, Ky = geo.Ky, Bx = geo.Bx, By = geo.By;
    Sx = geo.Sx, Sy = geo.Sy, NOOFx = geo.NOOFx, NOOFy = geo.NOOFy;

    // The per-pixel build finds the L1C pixel of a receiving sample (sx, sy)
    // through the NOOF and detector windows; the tables take it to be
    // (sx / Bx, sy / By) when sx < Kx*Bx and sy < Ky*By, and the PSF offset of
    // a NOOF source x in row iy to be (sx + SX0 - x, sy - iy) with SX0 the
    // NOOF column of science column 0. Windows for which that does not hold
    // (saturated offsets, say) keep the per-pixel build.
    if (!geo.noof_aligned) return false;
    to_noof = g.Windows().CreateMappingToUpperLevel(science, noof);
    SX0     = geo.SX0;

    diag = g.Diagnostic();
    SXV  = std::min(Sx, Kx * Bx);   // receiving columns with an L1C pixel
    SYV  = std::min(Sy, Ky * By);   // receiving rows with an L1C pixel
    hx = delta_sx / 2, hy = delta_sy / 2;
    nthreads = g.TeamSize();
    t0       = std::chrono::steady_clock::now();
    return true;
}

bool StrayBuild::Prepare()
{
    try {
            const velmora::Slots    referenced = velmora::ReferencedSlots(psftable);
            const std::vector<int>& psfofslot  = referenced.psf_of_slot;
            slots                              = referenced.slot_of_psf;
            nslots                             = referenced.Count();
            const i64 xlo = SX0 - (NOOFx - 1), xhi = SX0 + SXV - 1;
            const i64 limx = std::max(std::abs(xlo), std::abs(xhi)) + 1, limy = Sy + 1;
            V.resize((size_t)nslots);
            const auto& entries = psftable.MeasuredPSFEntries();
            if (!TabulateSlots(entries, psfofslot, limx, limy, nthreads, &V)) return false;
            for (const OffsetTable& v : V) tablebytes += v.v.size() * sizeof(double);
            if (!budget.Take((double)(tablebytes / sizeof(double)))) return false;
            anytable = SXV > 0 && SYV > 0 && UnionRange(V, xlo, xhi, -(Sy - 1), SYV - 1, &DX0, &DX1, &DY0, &DY1);
            // With every science pixel receiving (steps of 1) and every L1C
            // pixel whole, a source's share of a whole L1C pixel is a fixed table
            // of its residue in L1C-pixel units, as in the in-field build: the
            // PSFs binned once per build, per residue (u, v), over the L1C pixels
            // (i, j) positions away, BT_p[u][v](i, j).
            binned = anytable && delta_sx == 1 && delta_sy == 1 && SXV == Kx * Bx && SYV == Ky * By;
            if (binned) {
                BT.Bx = Bx, BT.By = By;
                BT.ilo = CeilDiv(DX0 - (Bx - 1), Bx), BT.ihi = FloorDiv(DX1 + Bx - 1, Bx);
                BinRange(DY0, DY1, By, Ky, &BT.jlo, &BT.jhi);
                BT.nI = std::max<i64>(0, BT.ihi - BT.ilo + 1), BT.nJ = std::max<i64>(0, BT.jhi - BT.jlo + 1);
                if (!budget.Take((double)nslots * Bx * By * BT.nI * BT.nJ)) return false;
                BT.data.resize((size_t)(nslots * Bx * By * BT.nI * BT.nJ));
                tablebytes += BT.data.size() * sizeof(double);
                const i64 nDY = DY1 - DY0 + 1;
                if (!budget.Take((double)nthreads * BT.nI * nDY)) return false;
                std::vector<double> X((size_t)(nthreads * BT.nI * nDY));
                const int           nsu = (int)(nslots * Bx);
#pragma omp parallel for schedule(dynamic, 1) num_threads(nthreads)
                for (int su = 0; su < nsu; ++su) {
                    const int          s  = su / (int)Bx;
                    const i64          u  = su % Bx;
                    const OffsetTable& vt = V[(size_t)s];
                    double*            xs = X.data() + (size_t)(omp_get_thread_num() * BT.nI * nDY);
                    BinResidue(vt, u, Bx, By, BT.ilo, BT.nI, BT.jlo, BT.nJ, DY0, nDY, xs, BT.Table(s, (int)u, 0));
                }
            }
            if (anytable && !binned) {
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
    firstrow = delta_ny / 2;
    nrows    = (Sy > firstrow) ? (Sy - firstrow + delta_ny - 1) / delta_ny : 0;
    try {
            for (i64 n = 0; n < nrows; ++n) {
                const i64 key = (firstrow + n * delta_ny) / By;
                if (items.empty() || (firstrow + items.back().nbegin * delta_ny) / By != key) items.push_back(Item{n, n});
                items.back().nend = n + 1;
            }
    } catch (...) {
        return false;
    }
    return true;
}

// The columns, NOOF row, vignetting row and reach of sampled row iy.
void StrayBuild::RowGeometryOf(int iy, RowGeometry* r) const
{
    const WindowMapping& science = *sciencep;
    r->iy = iy;
    int&   column_left = r->column[0];
    int&   column_right = r->column[1];
    Coords det(WINDOW_DETECTOR);
    if (!(science.ToParentWindow(Coords(iy, 0, WINDOW_SCIENCE), &det, true) &&
          g.L1cIndexer().FlatIndexFromDetectorPixel(det, &column_left, true)))
        column_left = -1;
    if (!(science.ToParentWindow(Coords(iy, (int)Sx - 1, WINDOW_SCIENCE), &det, true) &&
          g.L1cIndexer().FlatIndexFromDetectorPixel(det, &column_right, true)))
        column_right = -1;
    if (column_left < R0 || column_left >= R1) column_left = -1;
    if (column_right < R0 || column_right >= R1) column_right = -1;
    Coords nrow(WINDOW_NOOF);
    to_noof.ToParentWindow(Coords(iy, 0, WINDOW_SCIENCE), &nrow, false);
    r->ny      = nrow.y;
    r->vignrow = nullptr;
    r->nvign   = 0;
    if (vignbase != nullptr && r->ny >= 0 && r->ny < NOOFy) {
        r->vignrow = vignbase + (size_t)r->ny * (size_t)NOOFx;
        r->nvign   = (int)NOOFx;
    }
    r->jb = std::max<i64>(0, FloorDiv(iy + DY0, By));
    const i64 je = std::min<i64>(Ky - 1, FloorDiv(iy + DY1, By));
    r->L  = (int)std::max<i64>(0, je - r->jb + 1);
}

// Y_p of row iy for thread `tid`, built on first use within the row.
const double* StrayBuild::RowTable(int tid, int s, i64 iy, i64 jb)
{
    double* y = Y.data() + (size_t)(((i64)tid * nslots + s) * nDX * nJY);
    i64&    st = stamp[(size_t)((i64)tid * nslots + s)];
    if (st == iy) return y;
    st = iy;
    std::fill(y, y + nDX * nJY, 0.0);
    const OffsetTable& vt = V[(size_t)s];
    if (vt.Empty()) return y;
    const i64 lo = std::max<i64>(0, iy + DY0), hi = std::min<i64>(SYV - 1, iy + DY1);
    const i64 xa = std::max(DX0, vt.x0), xb = std::min(DX1, vt.x0 + vt.nx - 1);
    // Offsets dx outermost, so that both tables are read in storage order;
    // each element still sums its rows in order.
    const i64 b0 = std::max(CeilDiv(lo - hy, delta_sy), CeilDiv(iy + vt.y0 - hy, delta_sy));
    const i64 b1 = std::min(FloorDiv(hi - hy, delta_sy), FloorDiv(iy + vt.y0 + vt.ny - 1 - hy, delta_sy));
    for (i64 dx = xa; dx <= xb; ++dx) {
        double*       yd = y + (dx - DX0) * nJY;
        const double* vd = vt.v.data() + (size_t)((dx - vt.x0) * vt.ny);
        for (i64 b = b0; b <= b1; ++b) {
            const i64 sy = hy + b * delta_sy;
            yd[sy / By - jb] += vd[sy - iy - vt.y0];
        }
    }
    return y;
}

// Reduced rows, where the binned tables serve the build and no lookup can
// write a record (a coefficient list longer than the lookup's arrays would).
// Anything that goes wrong here only leaves every row its sources.
void StrayBuild::Reduce(TORVEN_FastBuildStats* stats, double* madds_)
{
    double& madds = *madds_;
    const nx3dArray<double>* ctable = psftable.Coefficients();
    if (binned && Kx >= 2 && ctable != nullptr &&
        ctable->XSize() <= (size_t)TORVEN_PSF_InterpolationCoeffs::MAX_COEFFS) {
        const size_t bytes0 = tablebytes;
        try {
            std::vector<RowGeometry> rows((size_t)nrows);
            for (i64 n = 0; n < nrows; ++n) RowGeometryOf((int)(firstrow + n * delta_ny), &rows[(size_t)n]);
            std::vector<i64> xsrc[2];
            for (int64_t x = leftstart; x >= 0; x -= delta_nx) xsrc[0].push_back(x);
            for (int64_t x = rightstart; x < NOOFx; x += delta_nx) xsrc[1].push_back(x);
            const double basefactor = (double)((int64_t)delta_sx * (int64_t)delta_sy) * source_area;
            ReduceRows(psftable, slots, nslots, BT, items, rows, xsrc, SX0, Kx, Ky, basefactor, scale, K, nthreads,
                       budget, &RR, &tablebytes, &madds);
        } catch (...) {
            RR         = ReducedRows();
            tablebytes = bytes0;
            madds      = 0.0;
        }
        if (stats != nullptr) {
            stats->table_seconds = Seconds(t0);
            stats->table_bytes   = tablebytes;
            stats->reduced_rows  = RR.rows;
        }
    }

}

void StrayBuild::Zero()
{
    const i64 FF = (i64)F * (R1 - R0);
    // Most of the matrix is never written again: a large one is zeroed by
    // stores that bypass the caches, one that fits in them by plain stores
    // (which keep it there).
    const bool stream = (double)FF * sizeof(double) >= kStreamBytes;
#pragma omp parallel num_threads(nthreads)
    {
        const i64 nt = omp_get_num_threads(), t = omp_get_thread_num();
        const i64 a = FF * t / nt, b = FF * (t + 1) / nt;
        if (stream) {
            StreamZero(out + a, (size_t)(b - a));
            StreamFence();
        } else {
            std::fill(out + a, out + b, 0.0);
        }
    }
}

// Sampled row n of item w, on thread tid of the team: its sources into the
// item's end columns (`owned`, set here).
bool StrayBuild::WorkRow(size_t w, i64 n, int tid, int* owned, double& madds_total)
{
    // The values the sources read, as locals: the stores into the output
    // columns cannot change them, so they stay in registers.
    const double       source_area = this->source_area;
    double* const      out         = this->out;
    const i64          R0 = this->R0, SX0 = this->SX0, Kx = this->Kx, Ky = this->Ky, Bx = this->Bx, By = this->By;
    const i64          DX0 = this->DX0, DX1 = this->DX1, SXV = this->SXV, hx = this->hx, nJY = this->nJY;
    const int          F        = this->F;
    const bool         anytable = this->anytable, binned = this->binned;
    const BinnedTables& BT      = this->BT;
    double             madds    = 0.0;
    const int          iy       = (int)(firstrow + n * delta_ny);
    if (diag) {
        NXLOG_RECORD(nxlog_info,
                     "TORVEN_DeconvolutionMatrixGenerator::build_horizontal_stray_light, Processing "
                     "row [%d] of [%d]",
                     iy, (int)Sy);
    }
    bool ok = true;
    RowGeometry geo;
    RowGeometryOf(iy, &geo);
    const int     column_left = geo.column[0], column_right = geo.column[1];
    const int     ny = geo.ny, nvign = geo.nvign, L = geo.L;
    const double* vignrow = geo.vignrow;
    const i64     jb      = geo.jb;

    TORVEN_PSF_InterpolationCoeffs coeffs;
    double                         tw[TORVEN_PSF_InterpolationCoeffs::MAX_COEFFS];
    const double*                  tt[TORVEN_PSF_InterpolationCoeffs::MAX_COEFFS];
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
        double*   col = out + (size_t)(column - R0) * (size_t)F;
        const i64 xs  = x - SX0;
        if (binned) {
            // The source is at residue (rx, ry) of the L1C
            // pixel (qx, qy), outside the window in x.
            const i64 qx = FloorDiv(xs, Bx), rx = xs - qx * Bx;
            const i64 qy = iy / By, ry = iy - qy * By;
            const i64 I0 = std::max<i64>(0, qx + BT.ilo), I1 = std::min<i64>(Kx - 1, qx + BT.ihi);
            const i64 J0 = std::max<i64>(0, qy + BT.jlo), J1 = std::min<i64>(Ky - 1, qy + BT.jhi);
            if (I0 > I1 || J0 > J1) return;
            const int LJ = (int)(J1 - J0 + 1);
            for (int j = 0; j < nc; ++j) {
                tw[j] = coeffs.Coefficient(j) * factor;
                tt[j] = BT.Table(slots[(size_t)coeffs.PsfIndex(j)], (int)rx, (int)ry);
            }
            for (i64 I = I0; I <= I1; ++I) {
                const size_t toff = (size_t)((I - qx - BT.ilo) * BT.nJ + (J0 - qy - BT.jlo));
                K.combine_add(tw, tt, nc, toff, LJ, col + (size_t)(I * Ky + J0));
            }
            madds += (double)(I1 - I0 + 1) * LJ * nc;
            return;
        }
        for (int j = 0; j < nc; ++j) {
            tw[j] = coeffs.Coefficient(j) * factor;
            tt[j] = RowTable(tid, slots[(size_t)coeffs.PsfIndex(j)], iy, jb);
        }
        const i64 lo = std::max<i64>(0, xs + DX0), hi = std::min<i64>(SXV - 1, xs + DX1);
        const i64 a0 = CeilDiv(lo - hx, delta_sx), a1 = FloorDiv(hi - hx, delta_sx);
        for (i64 a = a0; a <= a1; ++a) {
            const i64    sx     = hx + a * delta_sx;
            const size_t toff   = (size_t)((sx - xs - DX0) * nJY);
            double*      target = col + (size_t)((sx / Bx) * Ky + jb);
            for (int e0 = 0; e0 < L; e0 += kStrip) {
                const int m = std::min(kStrip, L - e0);
                K.combine_add(tw, tt, nc, toff + (size_t)e0, m, target + e0);
            }
        }
        if (a1 >= a0) madds += (double)(a1 - a0 + 1) * L * (nc + 1);
    };
    // A reduced side's sources are in its group's tables.
    if (column_left >= 0) {
        owned[0] = column_left;
        if (RR.Group(w, 0) < 0)
            for (int64_t x = leftstart; x >= 0; x -= delta_nx) source(x, column_left);
    }
    if (column_right >= 0) {
        owned[1] = column_right;
        if (RR.Group(w, 1) < 0)
            for (int64_t x = rightstart; x < NOOFx; x += delta_nx) source(x, column_right);
    }
    madds_total += madds;
    return ok;
}

// The item's columns are complete: scale them as the per-pixel build scales
// the whole matrix (the others stay 0). A reduced column is written whole
// from its tables, scale included: the L1C rows its sources reach, of every
// L1C column.
void StrayBuild::FinishItem(size_t w, const int* owned, double& madds)
{
    // As locals, so that the stores into the columns cannot change them.
    double* const out = this->out;
    const double  scale = this->scale;
    const i64     R0 = this->R0, Kx = this->Kx, Ky = this->Ky, By = this->By;
    const int     F = this->F;
    for (int side = 0; side < 2; ++side) {
        const int G = RR.Group(w, side);
        if (owned[side] < 0 || G < 0) continue;
        const i64     qy = (firstrow + items[w].nbegin * delta_ny) / By;
        const i64     J0 = std::max<i64>(0, qy + BT.jlo), J1 = std::min<i64>(Ky - 1, qy + BT.jhi);
        if (J0 > J1) continue;
        const int     nq = RR.nq[(size_t)G];
        const double* mu = RR.mu.data() + 2 * (2 * w + (size_t)side);
        double*       c  = out + (size_t)(owned[side] - R0) * (size_t)F;
        const size_t  off = (size_t)(J0 - qy - BT.jlo);
        const double* t[2] = {RR.Table(G, 0), RR.Table(G, 1)};
        K.combine_rows(mu, t, nq, off, (size_t)RR.nJ, 0, (int)(J1 - J0 + 1), 0, (int)Kx, c + (size_t)J0, (size_t)Ky);
        madds += (double)nq * (double)Kx * (double)(J1 - J0 + 1);
    }
    if (owned[0] >= 0 && RR.Group(w, 0) < 0) {
        double* c = out + (size_t)(owned[0] - R0) * (size_t)F;
        for (int e = 0; e < F; ++e) c[e] *= scale;
    }
    if (owned[1] >= 0 && owned[1] != owned[0] && RR.Group(w, 1) < 0) {
        double* c = out + (size_t)(owned[1] - R0) * (size_t)F;
        for (int e = 0; e < F; ++e) c[e] *= scale;
    }
}

bool StrayBuild::Run(TORVEN_FastBuildStats* stats)
{
    if (stats != nullptr) {
        stats->fast_path     = true;
        stats->threads       = nthreads;
        stats->table_seconds = Seconds(t0);
        stats->table_bytes   = tablebytes;
        stats->kernel        = K.name;
    }
    // The records of the build, as the per-pixel build writes them.
    const bool usevign = g.RecordStrayLightBuild(vignetting, delta_ny, delta_nx, delta_sy, delta_sx);

    Coords leftpix(WINDOW_NOOF), rightpix(WINDOW_NOOF);
    to_noof.ToParentWindow(Coords(0, 0, WINDOW_SCIENCE), &leftpix, false);
    to_noof.ToParentWindow(Coords(0, (int)Sx, WINDOW_SCIENCE), &rightpix, false);
    const int64_t left        = leftpix.x;
    const int64_t right       = rightpix.x;
    source_area               = (double)((int64_t)delta_ny * (int64_t)delta_nx);
    leftstart                 = left - 1 - delta_nx / 2;
    rightstart                = right + delta_nx / 2;
    if (leftstart >= NOOFx) leftstart -= ((leftstart - NOOFx) / delta_nx + 1) * (int64_t)delta_nx;
    if (rightstart < 0) rightstart += ((-rightstart - 1) / delta_nx + 1) * (int64_t)delta_nx;
    vignbase = usevign ? vignetting.UnsafeArrayBasePtr() : nullptr;

    // Output row 0 is row R0 of the whole matrix: the first source of the
    // column range; sources outside the range are not built.
    out   = output->UnsafeArrayBasePtr();
    R0    = g.OutputRowOffset(), R1 = R0 + g.OutputRows();
    scale = 1.0 / (double)(Bx * By);
    double madds = 0.0;
    Reduce(stats, &madds);
    TORVEN_BuildRequest& request = g.Request();
    request.TrackWrites();
    if (!request.options.out_zeroed) {   // an output known to hold zeros is not zeroed again
        request.MarkWritten(0, (long long)F * (R1 - R0));
        Zero();
    }
    request.BeginWork(nrows);
#pragma omp parallel num_threads(nthreads) reduction(+ : madds)
    {
        TORVEN_RequestScope scope(request);
        const int           tid = omp_get_thread_num();
#pragma omp for schedule(dynamic, 1)
        for (size_t w = 0; w < items.size(); ++w) {
            // The (at most two) columns of the item's L1C row that its rows write.
            int owned[2] = {-1, -1};
            for (i64 n = items[w].nbegin; n < items[w].nend && !request.Cancelled(); ++n) {
                bool ok = false;
                try {
                    ok = WorkRow(w, n, tid, owned, madds);
                } catch (...) {   // nothing may escape the parallel region
                    ok = false;
                }
                for (const int column : owned)
                    if (column >= 0) request.MarkWritten((column - R0) * (long long)F, (column - R0 + 1) * (long long)F);
                request.EndWorkItem(ok, &success);
            }
            FinishItem(w, owned, madds);
        }
    }
    request.EndWork();

    if (stats != nullptr) stats->multiply_adds = madds;
    return g.EndInPlaceBuild(output, success);
}

}   // namespace

bool TORVEN_FastMatrixBuilder::BuildHorizontalStrayLight(nx2dArray<double>* output,
                                                         const nx2dArray<double>& vignetting, int delta_ny,
                                                         int delta_nx, int delta_sy, int delta_sx, bool* handled,
                                                         TORVEN_FastBuildStats* stats)
{
    *handled = false;
    if (m_kernel == KernelTarget::per_pixel) return false;
    StrayBuild build(m_g, SelectKernels(m_kernel), output, vignetting, delta_ny, delta_nx, delta_sy, delta_sx);
    if (!build.Applies() || !build.Prepare()) return false;
    *handled = true;
    return build.Run(stats);
}

// ===========================================================================
// The build of the generator: the fast path where it applies, otherwise the
// per-pixel build.

bool TORVEN_DeconvolutionMatrixGenerator::build_horizontal_stray_light(nx2dArray<double>* output,
                                                                       const nx2dArray<double>& vignetting,
                                                                       int delta_ny, int delta_nx, int delta_sy,
                                                                       int delta_sx)
{
    TORVEN_RequestScope scope(*m_request);
    if (m_request->options.per_pixel) {
        return build_horizontal_stray_light_reference(output, vignetting, delta_ny, delta_nx, delta_sy, delta_sx);
    }
    bool                     handled = false;
    TORVEN_FastBuildStats    stats;
    TORVEN_FastMatrixBuilder fast(*this, KernelOfRequest(m_request->options));
    const bool               ok = fast.BuildHorizontalStrayLight(output, vignetting, delta_ny, delta_nx, delta_sy,
                                                                 delta_sx, &handled, &stats);
    if (!handled) {
        return build_horizontal_stray_light_reference(output, vignetting, delta_ny, delta_nx, delta_sy, delta_sx);
    }
    m_request->ReportFastBuild(stats);
    return ok;
}
