// The fast in-field build: binned (PSF, residue) tables, output columns owned
// by one block of L1C columns at a time. See fast_tables.h for the design; the
// per-pixel operations of make_psfmatrix.cpp define what is computed.
#include <omp.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdint>
#include <map>
#include <memory>
#include <new>
#include <stdexcept>
#include <vector>

#include "fast_tables.h"
#include "geometry.h"
#include "nxlog.h"

using namespace fastbuild;

namespace {

// ---------------------------------------------------------------------------
// Reduced sources. The weights W_s(p, u, v) of source L1C pixel s over the
// binned tables (PSF slot p, residue (u, v)) are, for PSFs blended bilinearly
// across the window, bilinear in the L1C position (I, r) of s wherever its
// detector pixels share one set of PSFs: W_s = sum over q of lambda_q(s) E_q
// with lambda = (1, dI, dr, dI dr). Such a group of sources then needs only
// the tables T_q = sum over (p, u, v) of E_q(p, u, v) w(v) B_p[u][v], one per
// q and per output column the scheme writes (weights w of the rows below,
// centre and above, or 1), combined once per build; a source costs nq
// multiply-adds per receiving pixel and column instead of one per
// coefficient and detector pixel. The basis of a group is fitted by least
// squares and every source checked against it: one whose weights it does not
// reproduce within 1e-13 of their largest keeps the full term lists.
//
// An output column (I, J) receives from the sources (I, J + d), d in {-1, 0,
// 1} under the quadratic scheme (d = 0 under the midpoint one), each through
// the tables of the column it writes; when they all belong to one group their
// weights are lambda(I, J + d) = lambda(I, J) + d * dlambda/dr(I), which is
// again a combination of the basis at (I, J). So the whole column is
// sum over q of lambda_q(I, J) Z_q(i, J' - J), with the column tables Z_q =
// the sum over d of T_{x(d), q} shifted by d, plus d times the tables of the
// basis vectors whose derivative in r is basis vector q, and the L1C pixel
// area folded in: nq multiply-adds and one store per element, written once.
struct ReducedSources
{
    // Each row i of a source table holds j in [jlo - kPad, jhi + kPad], the
    // rows beyond [jlo, jhi] zero, so that the tables of sources up to two
    // rows apart can be read over one common range.
    static constexpr i64 kPad = 2;
    int                 nx = 1;        // output columns per source: 3 (quadratic) or 1
    i64                 tstride = 0;   // elements of one row i of a table (B.nJ + 2 * kPad)
    size_t              tsize = 0;     // elements of one table (B.nI * tstride)
    std::vector<int>    group;         // per source I * Ky + r: its group, or -1
    std::vector<double> lambda;        // per source: 4 reduced weights
    std::vector<int>    nq;            // per group: basis size
    TableStorage        tables;        // [group][x][q][i][kPad + j - jlo], for q < nq
    // Column tables: rows j' = J' - J from zj0, nzj of them per receiving
    // offset i, for the groups with zgroup[G].
    i64                 zj0 = 0, nzj = 0;
    size_t              zsize = 0;     // elements of one column table (B.nI * nzj)
    std::vector<char>   zgroup;        // per group: it has column tables
    TableStorage        ztables;       // [group][q][i][j'], for the groups with zgroup and q < nq

    const double* Table(int G, int x, int q) const
    {
        return tables.data() + ((size_t)(G * nx + x) * 4 + (size_t)q) * tsize;
    }
    const double* ZTable(int G, int q) const { return ztables.data() + ((size_t)G * 4 + (size_t)q) * zsize; }
};

// Rows of sources that go through the tables together.
constexpr int kMaxGroupRows = 8;

// The weights of each of n items (sources, or bottom columns) over (its
// PSFs, term t < nterms), in flat arrays: item i's PSF slots key(i)[0 ..
// count(i)) and its weights W(i)[position of the slot in the key * nterms +
// t]. Items take their terms from one thread each.
struct SlotWeights
{
    static constexpr int kMaxSlots = 8;   // PSFs of one group
    using Key                      = std::array<int, kMaxSlots + 1>;   // the slots, then their count
    size_t               nterms = 0;
    std::vector<Key>     keys;
    std::vector<double>  w;

    SlotWeights(size_t n, size_t nterms_) : nterms(nterms_), keys(n, Key{}), w(n * kMaxSlots * nterms_, 0.0) {}
    int           Count(size_t i) const { return keys[i][kMaxSlots]; }
    const double* W(size_t i) const { return w.data() + i * kMaxSlots * nterms; }

    // Adds the non-zero coefficients of `c` at term t of item i. False when
    // they would take more than kMaxSlots PSFs.
    bool Add(size_t i, const TORVEN_PSF_InterpolationCoeffs& c, const std::vector<int>& slots, size_t t)
    {
        Key&    key = keys[i];
        double* wi  = w.data() + i * kMaxSlots * nterms;
        for (int j = 0; j < c.NumCoeffs(); ++j) {
            if (c.Coefficient(j) == 0.0) continue;
            const int slot = slots[(size_t)c.PsfIndex(j)];
            int       pos  = 0;
            while (pos < key[kMaxSlots] && key[(size_t)pos] != slot) ++pos;
            if (pos == key[kMaxSlots]) {
                if (pos == kMaxSlots) return false;
                key[(size_t)pos] = slot;
                ++key[kMaxSlots];
            }
            wi[(size_t)pos * nterms + t] += c.Coefficient(j);
        }
        return true;
    }
    // Item i's key in slot order, its weights with it, so that equal sets are
    // equal keys.
    void Sort(size_t i)
    {
        Key&    key = keys[i];
        double* wi  = w.data() + i * kMaxSlots * nterms;
        for (int a = 1; a < key[kMaxSlots]; ++a) {
            for (int b = a; b > 0 && key[(size_t)b - 1] > key[(size_t)b]; --b) {
                std::swap(key[(size_t)b - 1], key[(size_t)b]);
                std::swap_ranges(wi + (size_t)(b - 1) * nterms, wi + (size_t)b * nterms, wi + (size_t)b * nterms);
            }
        }
    }
};

// The stages of ReduceSources on one set of inputs: the weights of every
// source, the groups and their fits, the source tables, the column tables.
struct SourceReduction
{
    const TORVEN_PSF_Table&    psftable;
    const WindowMapping&       l1c;
    const std::vector<int>&    slots;
    const BinnedTables&        B;
    i64                        Kx, Ky;
    bool                       simpsons;
    const std::vector<double>& sw;
    const Kernels&             K;
    int                        nthreads;
    TableBudget&               budget;
    ReducedSources*            R;
    size_t*                    bytes;
    i64                        Bx, By, nres, F;

        struct Fit
        {
            std::vector<int>    key;
            int                 nq = 0;
            std::vector<double> E;   // nq x D
            bool                columns = false;   // column tables pay
            int                 qdr = -1, qdIdr = -1;   // the basis vectors dr and dI * dr
            int                 qdI = -1;
        };
    std::vector<Fit>             fits;
    std::unique_ptr<SlotWeights> slw;   // per source: its slot set and weights
    std::vector<char>            ok;    // per source: its weights are known

    bool Weigh();
    void FitGroups();
    bool SourceTables();
    void ColumnTables();
};

// Per source: its slot set (the key of its group) and its weights over
// (position in the set, u, v). False when they do not fit the budget.
bool SourceReduction::Weigh()
{
    if (!budget.Fits((double)F * SlotWeights::kMaxSlots * (double)nres)) return false;
    slw.reset(new SlotWeights((size_t)F, (size_t)nres));
    SlotWeights& sl = *slw;
    ok.assign((size_t)F, 0);
    bool              failed = false;
#pragma omp parallel for schedule(dynamic, 16) num_threads(nthreads)
    for (i64 s = 0; s < F; ++s) {
        try {
            const int I = (int)(s / Ky), r = (int)(s % Ky);
            TORVEN_PSF_InterpolationCoeffs coeffs;
            Coords                         first(WINDOW_DETECTOR);
            l1c.ToParentWindow(Coords(r, I, WINDOW_L1C), &first, false);
            bool good = true;
            for (int u = 0; u < Bx && good; ++u) {
                for (int v = 0; v < By && good; ++v) {
                    const Coords source(first.y + v, first.x + u, WINDOW_DETECTOR);
                    good = psftable.GetInterpolationCoefficientsForNewPSFCentre(source, &coeffs) &&
                           Tabulated(coeffs, slots) && sl.Add((size_t)s, coeffs, slots, (size_t)(u * By + v));
                }
            }
            if (!good || sl.Count((size_t)s) == 0) continue;
            sl.Sort((size_t)s);
            ok[(size_t)s] = 1;
        } catch (...) {   // nothing may escape the parallel region
#pragma omp atomic write
            failed = true;
        }
    }
    if (failed) throw std::bad_alloc();
    return true;
}

// Groups: sources with the same set, in source order; per group the basis by
// least squares over its sources, the check of every source, and whether the
// tables pay.
void SourceReduction::FitGroups()
{
    const SlotWeights& sl = *slw;
    // Groups: sources with the same set, in source order.
    std::map<SlotWeights::Key, int> index;
    std::vector<std::vector<i64>>   members;
    for (i64 s = 0; s < F; ++s) {
        if (!ok[(size_t)s]) continue;
        auto it = index.find(sl.keys[(size_t)s]);
        if (it == index.end()) {
            it = index.emplace(sl.keys[(size_t)s], (int)members.size()).first;
            members.emplace_back();
        }
        members[(size_t)it->second].push_back(s);
    }

    // Per group: the basis by least squares over its sources, the check of
    // every source, and whether the tables pay.
    for (const auto& kv : index) {
        const std::vector<i64>& m = members[(size_t)kv.second];
        const std::vector<int>  key(kv.first.begin(), kv.first.begin() + kv.first[SlotWeights::kMaxSlots]);
        const size_t            D = key.size() * (size_t)nres;
        const double full    = simpsons ? (double)By * ((double)Bx * key.size() + 3.0)
                                        : (double)nres * key.size() + 1.0;
        double       mI = 0, mr = 0;
        bool         varI = false, varr = false;
        for (i64 s : m) mI += (double)(s / Ky), mr += (double)(s % Ky);
        mI /= (double)m.size(), mr /= (double)m.size();
        for (i64 s : m) {
            varI = varI || (double)(s / Ky) != mI;
            varr = varr || (double)(s % Ky) != mr;
        }
        const int nq      = 1 + (varI ? 1 : 0) + (varr ? 1 : 0) + (varI && varr ? 1 : 0);
        const double reduced = (double)R->nx * (nq + 1);
        // A group pays when its sources save more than its tables cost: each
        // of its tables costs D multiply-adds per element, about what one
        // source saves per receiving pixel when it saves at least one term.
        // Whole columns (nq per element, written once: no zeroing and no
        // scaling pass) need three rows of one L1C column under the quadratic
        // scheme; they are derived from the source tables.
        const bool payT    = full > reduced && (double)m.size() * (full - reduced) >= (double)D;
        const bool columns = (!simpsons || varr) && full + 1.0 > nq && (double)m.size() * (full + 1.0 - nq) >= (double)D;
        if (!payT && !columns) continue;
        auto basis = [&](i64 s, double* l) {
            const double dI = (double)(s / Ky) - mI, dr = (double)(s % Ky) - mr;
            int          k  = 0;
            l[k++]          = 1.0;
            if (varI) l[k++] = dI;
            if (varr) l[k++] = dr;
            if (varI && varr) l[k++] = dI * dr;
        };
        std::vector<double> rhs;
        const int           G        = (int)fits.size();
        int                 accepted = 0;
        const auto          weights  = [&](i64 s) { return sl.W((size_t)s); };
        const auto          accept   = [&](i64 s, const double* l) {
            R->group[(size_t)s] = G;
            for (int q = 0; q < nq; ++q) R->lambda[(size_t)s * 4 + (size_t)q] = l[q];
            ++accepted;
        };
        if (!FitGroup(m, nq, D, basis, weights, &rhs, accept) || accepted == 0) continue;
        Fit f{key, nq, std::move(rhs)};
        f.columns = columns;
        f.qdI     = varI ? 1 : -1;
        f.qdr     = varr ? (varI ? 2 : 1) : -1;
        f.qdIdr   = (varI && varr) ? 3 : -1;
        fits.push_back(std::move(f));
    }
}

// The source tables of the groups; false (every source keeping its lists)
// when they do not fit the budget.
bool SourceReduction::SourceTables()
{
    // The tables, one work item each.
    const double elements = (double)fits.size() * R->nx * 4 * (double)R->tsize;
    if (!budget.Take(elements)) {   // no room: every source keeps its lists
        std::fill(R->group.begin(), R->group.end(), -1);
        return false;
    }
    R->nq.resize(fits.size());
    for (size_t G = 0; G < fits.size(); ++G) R->nq[G] = fits[G].nq;
    R->tables.resize((size_t)elements);
    *bytes += R->tables.size() * sizeof(double);
    // T_{x,q} = sum over v of w_x(v) P_{q,v}, with P_{q,v} = the sum over
    // (p, u) of E_q(p, u, v) B_p[u][v]: each binned table is read once per q,
    // for every x. One work item per group, q and row i.
    const i64 items = (i64)fits.size() * 4 * B.nI;
    bool      failed = false;
#pragma omp parallel num_threads(nthreads)
    {
        std::vector<double>        w, buf;
        std::vector<const double*> t;
#pragma omp for schedule(dynamic, 8)
        for (i64 it = 0; it < items; ++it) {
            const int  G = (int)(it / (4 * B.nI)), q = (int)(it / B.nI % 4);
            const i64  i = it % B.nI;
            const Fit& f = fits[(size_t)G];
            if (q >= f.nq) continue;
            try {
                buf.resize((size_t)B.nJ);
                for (int x = 0; x < R->nx; ++x) {
                    double* row = const_cast<double*>(R->Table(G, x, q)) + (size_t)(i * R->tstride);
                    std::fill(row, row + R->tstride, 0.0);
                }
                for (i64 v = 0; v < By; ++v) {
                    w.clear(), t.clear();
                    for (size_t k = 0; k < f.key.size(); ++k) {
                        for (i64 u = 0; u < Bx; ++u) {
                            const double e = f.E[(size_t)q * f.key.size() * (size_t)nres + k * (size_t)nres + (size_t)(u * By + v)];
                            if (e == 0.0) continue;
                            w.push_back(e);
                            t.push_back(B.Table(f.key[k], (int)u, (int)v));
                        }
                    }
                    if (w.empty()) continue;
                    K.combine(w.data(), t.data(), (int)w.size(), (size_t)(i * B.nJ), (int)B.nJ, buf.data());
                    const double* pb = buf.data();
                    for (int x = 0; x < R->nx; ++x) {
                        const double wx = simpsons ? sw[(size_t)v * 3 + (size_t)x] : 1.0;
                        if (wx == 0.0) continue;
                        double* row = const_cast<double*>(R->Table(G, x, q)) + (size_t)(i * R->tstride + ReducedSources::kPad);
                        K.combine_add(&wx, &pb, 1, 0, (int)B.nJ, row);
                    }
                }
            } catch (...) {   // nothing may escape the parallel region
#pragma omp atomic write
                failed = true;
            }
        }
    }
    if (failed) throw std::bad_alloc();
    return true;
}

void SourceReduction::ColumnTables()
{
    // The column tables, from the source tables (see ReducedSources): the
    // source (I, J + d) writes column J through its tables x(d) = 1 - d
    // (quadratic) or 0, at the receiving row offset J' - J - d.
    R->zgroup.assign(fits.size(), 0);
    int ncolumns = 0;
    for (size_t G = 0; G < fits.size(); ++G) ncolumns += fits[G].columns ? 1 : 0;
    const i64 reach = simpsons ? 1 : 0;
    R->zj0 = B.jlo - reach, R->nzj = B.nJ + 2 * reach;
    R->zsize = (size_t)(B.nI * R->nzj);
    if (ncolumns == 0 || !budget.Take((double)fits.size() * 4 * (double)R->zsize)) return;
    for (size_t G = 0; G < fits.size(); ++G) R->zgroup[G] = fits[G].columns ? 1 : 0;
    // Stored per group index, so that ZTable(G, q) needs no map; the groups
    // without column tables keep empty room.
    R->ztables.resize(fits.size() * 4 * R->zsize);
    *bytes += R->ztables.size() * sizeof(double);
    const double scale = 1.0 / (double)(Bx * By);
    const i64    zitems = (i64)fits.size() * 4 * B.nI;
#pragma omp parallel for schedule(dynamic, 16) num_threads(nthreads)
    for (i64 it = 0; it < zitems; ++it) {
        const int  G = (int)(it / (4 * B.nI)), q = (int)(it / B.nI % 4);
        const i64  i = it % B.nI;
        const Fit& f = fits[(size_t)G];
        if (!f.columns || q >= f.nq) continue;
        // The basis vectors whose derivative in r is q: dr for 1, dI * dr for dI.
        const int qd = (q == 0) ? f.qdr : (q == f.qdI ? f.qdIdr : -1);
        double*   z  = const_cast<double*>(R->ZTable(G, q)) + (size_t)(i * R->nzj);
        const i64 nz = R->nzj;
        // Row j' = J' - J of z reads source row j = zj0 + j' - d of the table
        // x(d), within its padding (|d| <= reach < kPad).
        for (i64 d = reach; d >= -reach; --d) {
            const int     x   = (int)(reach - d);
            const size_t  off = (size_t)(i * R->tstride + ReducedSources::kPad + (R->zj0 - d - B.jlo));
            const double* a   = R->Table(G, x, q) + off;
            if (d == reach) {
#pragma omp simd
                for (i64 e = 0; e < nz; ++e) z[e] = a[e];
            } else {
#pragma omp simd
                for (i64 e = 0; e < nz; ++e) z[e] += a[e];
            }
            if (qd >= 0 && d != 0) {
                const double* b  = R->Table(G, x, qd) + off;
                const double  dd = (double)d;
#pragma omp simd
                for (i64 e = 0; e < nz; ++e) z[e] += dd * b[e];
            }
        }
#pragma omp simd
        for (i64 e = 0; e < nz; ++e) z[e] *= scale;
    }
}

// Finds the groups and reduced weights of the sources and builds their
// tables (see ReducedSources). `sw` holds the (below, centre, above) weights
// of each detector row of a source pixel. Groups whose tables would cost more
// than they save are left out. Throws on allocation failure.
void ReduceSources(const TORVEN_PSF_Table& psftable, const WindowMapping& l1c, const std::vector<int>& slots,
                   const BinnedTables& B, i64 Kx, i64 Ky, bool simpsons, const std::vector<double>& sw,
                   const Kernels& K, int nthreads, TableBudget& budget, ReducedSources* R, size_t* bytes)
{
    const i64 Bx = B.Bx, By = B.By, nres = Bx * By, F = Kx * Ky;
    R->nx    = simpsons ? 3 : 1;
    R->tstride = B.nJ + 2 * ReducedSources::kPad;
    R->tsize   = (size_t)(B.nI * R->tstride);
    R->group.assign((size_t)F, -1);
    R->lambda.assign((size_t)F * 4, 0.0);
    if (B.nI <= 0 || B.nJ <= 0) return;
    SourceReduction r{psftable, l1c,    slots, B,  Kx,    Ky, simpsons, sw, K, nthreads, budget,
                      R,        bytes,  Bx,    By, nres,  F,  {},       {}, {}};
    if (!r.Weigh()) return;
    r.FitGroups();
    if (r.fits.empty() || !r.SourceTables()) return;
    r.ColumnTables();
}


// ---------------------------------------------------------------------------
// Reduced lower-edge columns. The weights of the bottom L1C column I's strip
// sources over (PSF slot, column residue u, source row k) are, for PSFs
// blended bilinearly, affine in I wherever the columns share one set of PSFs:
// W_I = E_0 + (I - mean) E_1. Such a group needs only the strip tables
// S_q(i, R) = the sum over (p, u, k) of E_q(p, u, k) E_p[u](i, y - k), summed
// over the strip rows y of the receiving L1C row R, combined once per build; a
// column then costs nq multiply-adds per receiving element instead of one per
// term. Fitted and checked as ReducedSources are.
struct ReducedEdge
{
    i64                 nR = 0;        // receiving L1C rows of the strip
    size_t              tsize = 0;     // elements of one table (E.nI * nR)
    std::vector<int>    group;         // per bottom column I: its group, or -1
    std::vector<double> mu;            // per column: 2 reduced weights
    std::vector<int>    nq;            // per group: basis size
    TableStorage        tables;        // [group][q][i][R], for q < nq

    const double* Table(int G, int q) const { return tables.data() + ((size_t)G * 2 + (size_t)q) * tsize; }
};

// The stages of ReduceEdge on one set of inputs: the weights of every bottom
// column, the groups and their fits, the moments of the strip tables, the
// affine segments of the fits, the strip tables of the groups.
struct EdgeReduction
{
    const TORVEN_PSF_Table& psftable;
    const WindowMapping&    l1c;
    const std::vector<int>& slots;
    const EdgeTables&       E;
    i64                     Kx, By;
    int                     kfirst, klast;
    i64                     yh;
    const Kernels&          K;
    int                     nthreads;
    TableBudget&            budget;
    ReducedEdge*            R;
    size_t*                 bytes;
    i64                     Bx, nk, nres;

        struct Fit
        {
            std::vector<int>    key;
            int                 nq = 0;
            std::vector<double> E;   // nq x D
        };
    std::vector<Fit>                 fits;
    std::unique_ptr<SlotWeights>     slw;     // per bottom column: its slot set and weights
    std::vector<char>                ok;      // per bottom column: its weights are known
    std::vector<double>              mom;     // moments of the strip tables, or empty
    std::vector<std::vector<double>> lines;   // per group: [q][p][u]: a, b, or NaN when not affine

    const double* moments(int slot, i64 u, i64 i) const
    {
        return mom.data() + (size_t)((((i64)slot * Bx + u) * E.nI + i) * 2 * yh);
    }
    bool Weigh();
    void FitGroups();
    void TabulateMoments();
    void AffineSegments();
    void StripTables();
};

bool EdgeReduction::Weigh()
{
    if (!budget.Fits((double)Kx * SlotWeights::kMaxSlots * (double)nres)) return false;
    slw.reset(new SlotWeights((size_t)Kx, (size_t)nres));
    SlotWeights& sl = *slw;
    ok.assign((size_t)Kx, 0);
    bool              failed = false;
#pragma omp parallel for schedule(dynamic, 4) num_threads(nthreads)
    for (i64 I = 0; I < Kx; ++I) {
        try {
            TORVEN_PSF_InterpolationCoeffs coeffs;
            Coords                         first(WINDOW_DETECTOR);
            l1c.ToParentWindow(Coords(0, (int)I, WINDOW_L1C), &first, false);
            bool good = true;
            for (int u = 0; u < Bx && good; ++u) {
                for (int k = kfirst; k <= klast && good; ++k) {
                    good = psftable.GetInterpolationCoefficientsForNewPSFCentre(
                               Coords(first.y + k, first.x + u, WINDOW_DETECTOR), &coeffs) &&
                           Tabulated(coeffs, slots) && sl.Add((size_t)I, coeffs, slots, (size_t)(u * nk + (k - kfirst)));
                }
            }
            if (!good || sl.Count((size_t)I) == 0) continue;
            sl.Sort((size_t)I);
            ok[(size_t)I] = 1;
        } catch (...) {   // nothing may escape the parallel region
#pragma omp atomic write
            failed = true;
        }
    }
    if (failed) throw std::bad_alloc();
    return true;
}

void EdgeReduction::FitGroups()
{
    const SlotWeights& sl = *slw;
    std::map<SlotWeights::Key, std::vector<i64>> members;
    for (i64 I = 0; I < Kx; ++I)
        if (ok[(size_t)I]) members[sl.keys[(size_t)I]].push_back(I);
    for (const auto& kv : members) {
        const std::vector<i64>& m = kv.second;
        const std::vector<int>  key(kv.first.begin(), kv.first.begin() + kv.first[SlotWeights::kMaxSlots]);
        const size_t            D = key.size() * (size_t)nres;
        double                  mI = 0;
        for (i64 I : m) mI += (double)I;
        mI /= (double)m.size();
        bool varI = false;
        for (i64 I : m) varI = varI || (double)I != mI;
        const int nq = varI ? 2 : 1;
        // Each column saves about D - nq multiply-adds per receiving element;
        // each table costs D.
        if ((double)m.size() * ((double)D - nq) < (double)D * nq) continue;
        std::vector<double> rhs;
        const int           G        = (int)fits.size();
        int                 accepted = 0;
        const auto          basis    = [&](i64 I, double* l) { l[0] = 1.0, l[1] = (double)I - mI; };
        const auto          weights  = [&](i64 I) { return sl.W((size_t)I); };
        const auto          accept   = [&](i64 I, const double* l) {
            R->group[(size_t)I] = G;
            for (int q = 0; q < nq; ++q) R->mu[(size_t)I * 2 + (size_t)q] = l[q];
            ++accepted;
        };
        if (!FitGroup(m, nq, D, basis, weights, &rhs, accept) || accepted == 0) continue;
        fits.push_back(Fit{key, nq, std::move(rhs)});
    }
}

void EdgeReduction::TabulateMoments()
{
    // A fitted weight that is affine along the strip rows, E_q(p, u, k) =
    // a + b (k - klast), needs only the moments of the strip table over the
    // nk rows a receiving row sees: M0_p[u](i, y) = sum over d < nk of
    // E_p[u](i, y + d) and M1 = -sum over d of d E_p[u](i, y + d) (d = klast
    // - k), from prefix sums: 2 terms instead of nk. Segments that are not
    // affine keep their nk terms.
    const i64 nslots = E.nI > 0 && E.nDY > 0 ? (i64)E.data.size() / (Bx * E.nI * E.nDY) : 0;
    std::vector<char> used((size_t)nslots, 0);
    for (const Fit& f : fits)
        for (int slot : f.key) used[(size_t)slot] = 1;
    if (nk > 2 && budget.Take((double)nslots * Bx * E.nI * 2 * yh)) {
        mom.assign((size_t)(nslots * Bx * E.nI * 2 * yh), 0.0);
        *bytes += mom.size() * sizeof(double);
#pragma omp parallel for schedule(dynamic, 8) num_threads(nthreads)
        for (i64 it = 0; it < nslots * Bx * E.nI; ++it) {
            const int slot = (int)(it / (Bx * E.nI));
            if (!used[(size_t)slot]) continue;
            const double* row = E.Table(slot, (int)(it / E.nI % Bx)) + (size_t)((it % E.nI) * E.nDY);
            double*       m0  = mom.data() + (size_t)(it * 2 * yh);
            double*       m1  = m0 + yh;
            // P0[t], P1[t]: the sums of row[t'] and t' row[t'] over t' < t, kept
            // only where they are used.
            double p0 = 0.0, p1 = 0.0;
            for (i64 t = 0; t < nk; ++t) p0 += row[t], p1 += (double)t * row[t];
            double q0 = 0.0, q1 = 0.0;   // P0[y], P1[y]
            for (i64 y = 0; y < yh; ++y) {
                const double s0 = p0 - q0;
                m0[y]           = s0;
                m1[y]           = -((p1 - q1) - (double)y * s0);
                if (y + 1 == yh) break;   // the row holds yh + nk - 1 values
                const double a = row[y], c = row[y + nk];
                q0 += a, q1 += (double)y * a;
                p0 += c, p1 += (double)(y + nk) * c;
            }
        }
    }
}

void EdgeReduction::AffineSegments()
{
    // Per group, q, PSF p and residue u: whether the weights over the strip
    // rows are affine, and the least-squares line a + b (k - klast) through
    // them, which must reproduce them within the tolerance of the fits.
    lines.assign(fits.size(), std::vector<double>());
    for (size_t G = 0; G < fits.size() && !mom.empty(); ++G) {
        const Fit& f = fits[G];
        lines[G].assign((size_t)f.nq * f.key.size() * (size_t)Bx * 2, std::nan(""));
        for (int q = 0; q < f.nq; ++q) {
            const double* Eq  = f.E.data() + (size_t)q * f.key.size() * (size_t)nres;
            double        big = 0.0;
            for (size_t d = 0; d < f.key.size() * (size_t)nres; ++d) big = std::max(big, std::fabs(Eq[d]));
            for (size_t p = 0; p < f.key.size(); ++p) {
                for (i64 u = 0; u < Bx; ++u) {
                    const double* e  = Eq + p * (size_t)nres + (size_t)(u * nk);   // e[k - kfirst]
                    double        sd = 0, se = 0, sdd = 0, sde = 0;
                    for (i64 k = kfirst; k <= klast; ++k) {
                        const double d = (double)(klast - k), v = e[k - kfirst];
                        sd += d, se += v, sdd += d * d, sde += d * v;
                    }
                    const double n = (double)nk, det = n * sdd - sd * sd;
                    const double b = -(n * sde - sd * se) / det, a = (se + b * sd) / n;
                    bool         affine = std::isfinite(a) && std::isfinite(b);
                    for (i64 k = kfirst; k <= klast && affine; ++k)
                        affine = std::fabs(a - b * (double)(klast - k) - e[k - kfirst]) <= kReduceTolerance * big;
                    if (!affine) continue;
                    double* l = lines[G].data() + (((size_t)q * f.key.size() + p) * (size_t)Bx + (size_t)u) * 2;
                    l[0] = a, l[1] = b;
                }
            }
        }
    }
}

void EdgeReduction::StripTables()
{
    // One work item per (group, q, receiving offset i): the combination of the
    // strip rows, then their sum into the receiving L1C rows.
    const i64 items = (i64)fits.size() * 2 * E.nI;
    bool      failed = false;
#pragma omp parallel num_threads(nthreads)
    {
        std::vector<double>        w, buf;
        std::vector<const double*> t;
#pragma omp for schedule(dynamic, 4)
        for (i64 it = 0; it < items; ++it) {
            const int  G = (int)(it / (2 * E.nI)), q = (int)(it / E.nI % 2);
            const i64  i = it % E.nI;
            const Fit& f = fits[(size_t)G];
            if (q >= f.nq) continue;
            try {
                double* out = const_cast<double*>(R->Table(G, q)) + (size_t)(i * R->nR);
                std::fill(out, out + R->nR, 0.0);
                w.clear(), t.clear();
                buf.resize((size_t)yh);
                const double* Eq  = f.E.data() + (size_t)q * f.key.size() * (size_t)nres;
                for (size_t p = 0; p < f.key.size(); ++p) {
                    for (i64 u = 0; u < Bx; ++u) {
                        const double* e = Eq + p * (size_t)nres + (size_t)(u * nk);   // e[k - kfirst]
                        const double* l = lines[(size_t)G].empty() ? nullptr
                                          : lines[(size_t)G].data() + (((size_t)q * f.key.size() + p) * (size_t)Bx + (size_t)u) * 2;
                        if (l != nullptr && !std::isnan(l[0])) {
                            const double* m = moments(f.key[p], u, i);
                            if (l[0] != 0.0) w.push_back(l[0]), t.push_back(m);
                            if (l[1] != 0.0) w.push_back(l[1]), t.push_back(m + yh);
                            continue;
                        }
                        for (i64 k = kfirst; k <= klast; ++k) {
                            if (e[k - kfirst] == 0.0) continue;
                            w.push_back(e[k - kfirst]);
                            // Row y of the strip is at dy - dy0 = y - k + klast of the table.
                            t.push_back(E.Table(f.key[p], (int)u) + (size_t)(i * E.nDY) + (size_t)(klast - k));
                        }
                    }
                }
                if (w.empty()) continue;
                K.combine(w.data(), t.data(), (int)w.size(), 0, (int)yh, buf.data());
                for (i64 y = 0; y < yh; ++y) out[y / By] += buf[(size_t)y];
            } catch (...) {   // nothing may escape the parallel region
#pragma omp atomic write
                failed = true;
            }
        }
    }
    if (failed) throw std::bad_alloc();
}

// Finds the groups of the bottom columns and builds their strip tables (see
// ReducedEdge). Every lookup of the strip sources must succeed (the caller
// checked that), so none of them logs. Throws on allocation failure.
void ReduceEdge(const TORVEN_PSF_Table& psftable, const WindowMapping& l1c, const std::vector<int>& slots,
                const EdgeTables& E, i64 Kx, i64 By, int kfirst, int klast, i64 yh, const Kernels& K, int nthreads,
                TableBudget& budget, ReducedEdge* R, size_t* bytes)
{
    const i64 Bx = E.Bx, nk = klast - kfirst + 1, nres = Bx * nk;
    R->group.assign((size_t)Kx, -1);
    R->mu.assign((size_t)Kx * 2, 0.0);
    if (E.nI <= 0 || nk <= 0 || yh <= 0) return;
    R->nR    = (yh - 1) / By + 1;
    R->tsize = (size_t)(E.nI * R->nR);
    EdgeReduction r{psftable, l1c, slots, E,  Kx, By, kfirst, klast, yh, K,  nthreads,
                    budget,   R,   bytes, Bx, nk, nres, {},   {},    {}, {}, {}};
    if (!r.Weigh()) return;
    r.FitGroups();
    if (r.fits.empty()) return;
    const auto& fits = r.fits;
    const double elements = (double)fits.size() * 2 * (double)R->tsize;
    if (!budget.Take(elements + (double)nthreads * (double)yh)) {
        std::fill(R->group.begin(), R->group.end(), -1);
        return;
    }
    R->nq.resize(fits.size());
    for (size_t G = 0; G < fits.size(); ++G) R->nq[G] = fits[G].nq;
    R->tables.resize((size_t)elements);
    *bytes += R->tables.size() * sizeof(double);
    r.TabulateMoments();
    r.AffineSegments();
    r.StripTables();
}

}   // namespace

// ===========================================================================
// In-field build, in stages: the geometry and its checks, the tables, the
// probe of the lower edge, the work plan, the reductions, the kinds of the
// output columns, then the work loop over blocks of L1C columns and rows.
namespace {

// The state of the output columns of a block, one byte per column (I, J) at
// state[J] of column I's row of the block's states: kZeroed once it is
// zeroed, kWritten once something other than the tables writes it (the
// per-pixel operation of a source, the lower edge): such a column is zeroed
// whole before that write and scaled whole after its last writer. The others
// are zeroed and scaled one receiving L1C column at a time by ApplyRows.
// kColumn marks the columns written whole from the column tables.
constexpr unsigned char kZeroed = 1, kWritten = 2, kColumn = 4;

class InfieldBuild
{
  public:
    InfieldBuild(TORVEN_DeconvolutionMatrixGenerator& generator, const Kernels& kernels, nx2dArray<double>* out_)
        : K(kernels), g(generator), output(out_), psftable(generator.PsfTable()), budget(generator.PsfTable())
    {
    }
    // Whether the tables describe this build (nothing logged, nothing written).
    bool Applies();
    // Tables, probe, plan, reductions and column kinds; false when something
    // cannot be allocated (nothing logged, nothing written).
    bool Prepare();
    // The build itself, after the opening records; its result.
    bool Run(TORVEN_FastBuildStats* stats);
    void Report(TORVEN_FastBuildStats* stats) const;
    int  Skipped() const { return geo.skipped; }

  private:
    bool BuildTables();
    void ProbeLowerEdge();
    bool PlanWork();
    void Reduce();
    void ColumnKinds();
    bool WorkItem(int i, int ibegin, int iend, int tid, double& madds);

    double* Column(i64 I, i64 J) { return out + (size_t)((I - C0) * Ky + J) * (size_t)F; }
    void    Written(i64 I, i64 J, unsigned char* state);
    bool    SourcePixel(int row, int I, TORVEN_PSF_InterpolationCoeffs& coeffs, double* lw, const double** lt, int* lm,
                        unsigned char* state);
    void    ApplyRows(int I, int r0, int r1, const double* lw, const double* const* lt, const int* lm, size_t stride,
                      const int* zero, int nzero, const int* done, int ndone, double* buf, double& nmadds);
    void    EdgeStrip(int I, double scale, double& nmadds);
    void    ZColumns(int I, int r0, int r1, double& nmadds);
    bool    EdgeColumn(int I, TORVEN_PSF_InterpolationCoeffs& coeffs, Scratch& sc, double* buf, double& nmadds);

    const Kernels&                       K;
    TORVEN_DeconvolutionMatrixGenerator& g;
    nx2dArray<double>*                   output;
    const TORVEN_PSF_Table&              psftable;
    velmora::Geometry                    geo;
    // The geometry under the names the stages use.
    int  F = 0;
    i64  Kx = 0, Ky = 0, Bx = 1, By = 1, bad = 0;
    bool simpsons = true, loweredge = true, diag = false, edgework = false;
    int  kfirst = 0, klast = -1;
    i64  nk = 0, nabove = 0, yh = 0;
    int  nthreads = 1;
    i64  maxc = 0;   // coefficients a lookup can return
    const nx3dArray<double>* ctable = nullptr;
    const WindowMapping*     l1cp   = nullptr;
    std::chrono::steady_clock::time_point t0;

    // Tables and scratch.
    std::vector<int>     slots;
    BinnedTables         B;
    EdgeTables           E;
    std::vector<Scratch> scratch;
    i64                  cap = 0;   // terms of one list
    size_t               tablebytes = 0;
    TableBudget          budget;
    i64                  jstar = 0;   // first bottom column whose correction fails

    // Work plan.
    i64    C0 = 0, C1 = 0, NX = 0, nblocks = 0, lcap = 0, maxcols = 0, R0 = 0;
    int    nlists = 1, kRows = 1;
    size_t stride = 0;   // lists of one row of a block
    std::vector<std::vector<double>>        groupw;
    std::vector<std::vector<const double*>> groupt;
    std::vector<std::vector<int>>           groupm;
    std::vector<std::vector<unsigned char>> colstate;   // see kZeroed
    std::vector<double>                     sw;         // (wb, wc, wa) of each list

    // Reductions and column kinds.
    ReducedSources    RS;
    ReducedEdge       RE;
    i64               nreduced = 0, ncolumns = 0, nwhole = 0;
    std::vector<char> zcol;

    // The output.
    double* out     = nullptr;
    double  scale   = 1.0;
    bool    success = true;
};

bool InfieldBuild::Applies()
{
    F = g.FlatSize();
    // Anything that is not a plain F x F view of contiguous storage, including
    // the refused outputs, is left to the per-pixel build and its records.
    if (output == nullptr || F < 1 || !g.IsOutputOfThisBuild(output)) return false;
    // The tables assume that the L1C pixels tile the lower left Kx*Bx x Ky*By
    // science pixels, all inside the detector window, and that the other
    // science pixels have no L1C pixel: then every receiving L1C pixel is a
    // whole bin and the share of a source depends only on its residue in its
    // L1C pixel and on the offset. The per-pixel build stays for any other
    // geometry (a science window reaching out of the detector window, say, or
    // windows the request layer would refuse), since it follows the
    // science-pixel table wherever it leads.
    loweredge = g.CreateLowerEdgeAdjustment();
    geo       = velmora::Geometry::Of(g, loweredge);
    if (!geo.tiled) return false;
    l1cp     = &g.L1cToDetector();
    Kx = geo.Kx, Ky = geo.Ky, Bx = geo.Bx, By = geo.By;
    bad      = geo.Sx * geo.Sy - Kx * Bx * Ky * By;   // receiving pixels without an L1C pixel
    simpsons = g.UseSimpsons();
    diag     = g.Diagnostic();
    kfirst = geo.kfirst, klast = geo.klast, nk = geo.nk, nabove = geo.rows_above, yh = geo.yh;
    edgework = geo.edge;
    nthreads = g.TeamSize();
    t0       = std::chrono::steady_clock::now();
    ctable   = psftable.Coefficients();
    maxc     = (ctable == nullptr) ? 0
                                   : std::min<i64>((i64)ctable->XSize(), TORVEN_PSF_InterpolationCoeffs::MAX_COEFFS);
    return true;
}

bool InfieldBuild::Prepare()
{
    // Nothing is logged and nothing is written before the tables stand: if
    // they cannot be allocated, the per-pixel build takes over.
    try {
        if (!BuildTables()) return false;
        ProbeLowerEdge();
        if (!PlanWork()) return false;
        Reduce();
        ColumnKinds();
    } catch (...) {
        return false;
    }
    return true;
}

// The binned and lower-edge tables, and the term lists of each thread.
bool InfieldBuild::BuildTables()
{
    const velmora::Slots    referenced = velmora::ReferencedSlots(psftable);
    const int               nslots     = referenced.Count();
    const std::vector<int>& psfofslot  = referenced.psf_of_slot;
    slots                              = referenced.slot_of_psf;
    const i64 limx = Kx * Bx, limy = Ky * By + std::abs((i64)kfirst) + 1;
    std::vector<OffsetTable> V((size_t)nslots);
    const auto& entries = psftable.MeasuredPSFEntries();
    if (!TabulateSlots(entries, psfofslot, limx, limy, nthreads, &V)) return false;
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
        B.data.resize((size_t)(nslots * Bx * By * B.nI * B.nJ));
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
            BinResidue(vt, u, Bx, By, B.ilo, B.nI, B.jlo, B.nJ, Y0, nDY, x, B.Table(s, (int)u, 0));
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
        E.data.resize((size_t)(nslots * Bx * E.nI * E.nDY));
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
    return true;
}

// Row 0 with the lower-edge correction stops at its first bottom column whose
// correction fails, like the per-pixel build. Lookups of at most MAX_COEFFS
// coefficients log nothing, so that column is found here beforehand; with
// more, every lookup fails (and logs), from column 0.
void InfieldBuild::ProbeLowerEdge()
{
    const WindowMapping& l1c = *l1cp;
    jstar = Kx;
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
}

// A source pixel (I, r) writes only columns (I, J) of the same L1C column I,
// for the rows J = r - 1, r, r + 1 (quadratic scheme) or J = r (midpoint
// scheme). So the L1C columns are split into blocks, one work item each, and
// an item runs through the rows in order: no two items share an output column,
// every column receives its additions in row order whatever the number of
// threads, and a column can be zeroed just before the first row that writes it
// and scaled just after the last, while it is in cache. With one thread there
// is one block, and the records come in the per-pixel build's order.
bool InfieldBuild::PlanWork()
{
    // The sources of the L1C columns [C0, C1) are built; output row 0 is the
    // first row of column C0 (row R0 of the whole matrix).
    C0 = g.ColumnBegin(), C1 = g.ColumnEnd(), NX = C1 - C0, R0 = C0 * Ky;
    // Blocks of at least 4 L1C columns where there are enough of them: each
    // block pays a pass over every row.
    nblocks = (nthreads == 1 || NX < 1)
                  ? std::min<i64>(1, NX)
                  : std::min<i64>({NX, 16 * (i64)nthreads, std::max<i64>(nthreads, NX / 4)});
    // The term lists of the source pixels of kRows rows of a block, per
    // thread: their shares go through the tables together (ApplyRows). The
    // number of rows depends on the geometry only, never on the threads.
    nlists  = simpsons ? (int)By : 1;
    lcap    = simpsons ? cap : By * cap;   // capacity of one list
    kRows   = (int)std::max<i64>(1, std::min<i64>(kMaxGroupRows, ((i64)1 << 20) / std::max<i64>(1, Kx * nlists * lcap)));
    maxcols = (NX + std::max<i64>(nblocks, 1) - 1) / std::max<i64>(nblocks, 1);
    stride  = (size_t)maxcols * (size_t)nlists;
    sw.assign((size_t)nlists * 3, 0.0);
    {
        const double entries = (double)nthreads * kRows * (double)stride * (double)lcap;
        if (!budget.Take(2.0 * entries)) return false;
        groupw.resize((size_t)nthreads), groupt.resize((size_t)nthreads), groupm.resize((size_t)nthreads);
        colstate.assign((size_t)nthreads, std::vector<unsigned char>((size_t)(maxcols * Ky)));
        for (int t = 0; t < nthreads; ++t) {
            groupw[(size_t)t].resize((size_t)kRows * stride * (size_t)lcap);
            groupt[(size_t)t].resize((size_t)kRows * stride * (size_t)lcap);
            groupm[(size_t)t].assign((size_t)kRows * stride, 0);
        }
        tablebytes += (size_t)entries * (sizeof(double) + sizeof(const double*));
    }
    for (int v = 0; v < nlists; ++v) {
        if (simpsons) {
            TORVEN_DeconvolutionMatrixGenerator::SimpsonWeights((double)v - (double)By / 2.0, (double)By, &sw[(size_t)v * 3],
                                                                &sw[(size_t)v * 3 + 1], &sw[(size_t)v * 3 + 2]);
        } else {
            sw[(size_t)v * 3 + 1] = 1.0;
        }
    }
    return true;
}

// Sources whose weights over the residues reduce (see ReducedSources). Its
// lookups must log nothing: with more than MAX_COEFFS coefficients every
// lookup fails with a record, so there is nothing to reduce.
void InfieldBuild::Reduce()
{
    const WindowMapping& l1c = *l1cp;
    // The strip's lookups all succeed (jstar == Kx) and log nothing.
    if (edgework && jstar == Kx && E.nI > 0)
        ReduceEdge(psftable, l1c, slots, E, Kx, By, kfirst, klast, yh, K, nthreads, budget, &RE, &tablebytes);
    if (ctable != nullptr && (i64)ctable->XSize() > TORVEN_PSF_InterpolationCoeffs::MAX_COEFFS) {
        RS.group.assign((size_t)F, -1);
    } else {
        ReduceSources(psftable, l1c, slots, B, Kx, Ky, simpsons, sw, K, nthreads, budget, &RS, &tablebytes);
    }
}

// The output columns written whole, every element once: zcol 1 from the
// column tables, when their writers (the sources of rows J - 1 to J + 1,
// or J) are in one group that has them; zcol 2 from the source tables of
// their writers, when these are reduced but in different groups or at the
// bottom or top row. With the lower-edge correction the bottom column
// qualifies only when its strip goes through strip tables (or it has no
// strip sources), which are then added after it is written. A build whose
// lower-edge correction fails is zeroed in the end; it keeps the source
// tables throughout.
void InfieldBuild::ColumnKinds()
{
    nreduced = (i64)std::count_if(RS.group.begin(), RS.group.end(), [](int G) { return G >= 0; });
    zcol.assign((size_t)F, 0);
    if (!RS.nq.empty() && !(loweredge && jstar < Kx)) {
        for (i64 I = 0; I < Kx; ++I) {
            const int* grp = RS.group.data() + (size_t)(I * Ky);
            const bool bottom = !loweredge || nk == 0 || (!RE.group.empty() && RE.group[(size_t)I] >= 0);
            for (i64 J = 0; J < Ky; ++J) {
                if (J == 0 && !bottom) continue;
                const i64 s0 = simpsons ? std::max<i64>(0, J - 1) : J, s1 = simpsons ? std::min<i64>(Ky - 1, J + 1) : J;
                bool      reduced = true, same = true;
                for (i64 s = s0; s <= s1; ++s) reduced = reduced && grp[s] >= 0, same = same && grp[s] == grp[J];
                if (!reduced) continue;
                const bool interior = !simpsons || (J >= 1 && J + 1 < Ky);
                if (same && interior && RS.zgroup[(size_t)grp[J]]) {
                    zcol[(size_t)(I * Ky + J)] = 1, ++ncolumns;
                } else {
                    zcol[(size_t)(I * Ky + J)] = 2, ++nwhole;
                }
            }
        }
    }
}

void InfieldBuild::Report(TORVEN_FastBuildStats* stats) const
{
    if (stats == nullptr) return;
    stats->fast_path       = true;
    stats->threads         = nthreads;
    stats->table_seconds   = Seconds(t0);
    stats->table_bytes     = tablebytes;
    stats->kernel          = K.name;
    stats->reduced_sources = nreduced;
    stats->reduced_columns = ncolumns;
    stats->whole_columns   = nwhole;
    stats->reduced_edge    = (i64)std::count_if(RE.group.begin(), RE.group.end(), [](int G) { return G >= 0; });
}

void InfieldBuild::Written(i64 I, i64 J, unsigned char* state)
{
    if (!(state[J] & kZeroed)) std::fill(Column(I, J), Column(I, J) + F, 0.0);
    state[J] |= kZeroed | kWritten;
}

// One source L1C pixel (I, row): the lookups and records of its detector
// pixels in the per-pixel order, then its share through the binned tables,
// one combination per detector row v under the quadratic scheme (whose
// weights depend on v only), one for the whole pixel otherwise.
bool InfieldBuild::SourcePixel(int row, int I, TORVEN_PSF_InterpolationCoeffs& coeffs, double* lw,
                               const double** lt, int* lm, unsigned char* state)
{
    const WindowMapping& l1c = *l1cp;
    std::fill(lm, lm + nlists, 0);
    auto bad_elements = [&] {
        if (bad > 0) {
            NXLOG_RECORD(nxlog_warning,
                         "TORVEN_DeconvolutionMatrixGenerator::GenerateColumnMatrixElements, %d bad elements "
                         "detected. That should not happen. It should be zero",
                         (int)std::min<i64>(bad, INT_MAX));
        }
    };
    if (RS.group[(size_t)(I * Ky + row)] >= 0) {
        // Its shares go through its group's tables. Its lookups were made
        // when it was reduced: they all succeed and are tabulated, so they
        // log nothing and add no terms.
        for (i64 e = 0; e < Bx * By; ++e) bad_elements();
        return true;
    }
    const int below = std::max(row, 1) - 1;
    const int above = (row < Ky - 1) ? row + 1 : (int)Ky - 1;
    const int cb    = l1c.FlatIndex(Coords(below, I, WINDOW_L1C));
    const int cc    = l1c.FlatIndex(Coords(row, I, WINDOW_L1C));
    const int ca    = l1c.FlatIndex(Coords(above, I, WINDOW_L1C));
    Coords    first(WINDOW_DETECTOR);
    l1c.ToParentWindow(Coords(row, I, WINDOW_L1C), &first, false);
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
                for (int J : {std::max(row, 1) - 1, row, (row < Ky - 1) ? row + 1 : (int)Ky - 1})
                    if (!zcol[(size_t)(I * Ky + J)]) Written(I, J, state);
                const double tv = (double)v - (double)By / 2.0;
                const bool   ok = simpsons ? g.GenerateSimpsonColumnMatrixElements(cb, cc, ca, tv, (double)By,
                                                                                   source, output)
                                           : g.GenerateMidpointColumnMatrixElements(cc, source, output);
                success = success && ok;
                continue;
            }
            const int list = simpsons ? v : 0;
            for (int j = 0; j < coeffs.NumCoeffs() && B.nI > 0; ++j) {
                int& m = lm[list];
                if (m >= lcap) throw std::length_error("term list");   // cannot happen: lists hold maxc per pixel
                lw[(size_t)(list * lcap + m)] = coeffs.Coefficient(j);
                lt[(size_t)(list * lcap + m)] = B.Table(slots[(size_t)coeffs.PsfIndex(j)], u, v);
                ++m;
            }
            bad_elements();
        }
    }
    if (!success) {
        NXLOG_RECORD(nxlog_warning,
                     "TORVEN_DeconvolutionMatrixGenerator::ProcessSciencePixel, There were errors processing L1C "
                     "pixel (%d,%d)",
                     row, I);
    }
    return success;
}

// The shares of the source pixels (I, r), r in [r0, r1), through the binned
// tables, from their term lists (list v of row r at lw/lt/lm + r - r0). The
// rows of one L1C column read the same table rows shifted by one, so each
// table row is used for all of them while it is in cache: per receiving
// L1C column, the rows in order, then their lists in order, so that every
// output element gets its additions in the same order as source by
// source.
//
// Each receiving L1C column of the output columns `zero` is zeroed just
// before the rows add to it and each of the columns `done` scaled just
// after, while it is in cache (see the work loop).
void InfieldBuild::ApplyRows(int I, int r0, int r1, const double* lw, const double* const* lt, const int* lm,
                             size_t stride, const int* zero, int nzero, const int* done, int ndone, double* buf,
                             double& nmadds)
{
    const double scale = this->scale;   // a local: the stores into the output cannot change it
    const i64 ia = std::max<i64>(B.ilo, -I), ib = std::min<i64>(B.ihi, Kx - 1 - I);
    if (ia > ib) return;
    // The rows with shares to add here: term lists, or reduced shares to
    // columns not written whole.
    int active[kMaxGroupRows], nactive = 0;
    for (int row = r0; row < r1; ++row) {
        bool         any = false;
        const size_t g   = (size_t)(row - r0) * stride;
        if (RS.group[(size_t)(I * Ky + row)] >= 0) {
            for (int J = std::max(row, 1) - 1; J <= std::min<int>(row + 1, (int)Ky - 1) && !any; ++J)
                any = !zcol[(size_t)(I * Ky + J)] && (simpsons || J == row);
        } else {
            for (int v = 0; v < nlists && !any; ++v) any = lm[g + (size_t)v] > 0;
        }
        if (any) active[nactive++] = row;
    }
    if (nactive == 0 && nzero == 0 && ndone == 0) return;
    for (i64 i = ia; i <= ib; ++i) {
        for (int z = 0; z < nzero; ++z) {
            double* c = Column(I, zero[z]) + (I + i) * Ky;
            std::fill(c, c + Ky, 0.0);
        }
        for (int a = 0; a < nactive; ++a) {
            const int row = active[a];
            const size_t g  = (size_t)(row - r0) * stride;
            const i64    ja = std::max<i64>(B.jlo, -row), jb = std::min<i64>(B.jhi, Ky - 1 - row);
            const int    L  = (int)std::max<i64>(0, jb - ja + 1);
            if (L == 0) continue;
            const int below = std::max(row, 1) - 1;
            const int above = (row < Ky - 1) ? row + 1 : (int)Ky - 1;
            double*   colb  = Column(I, below);
            double*   colc  = Column(I, row);
            double*   cola  = Column(I, above);
            const size_t roff = (size_t)((I + i) * Ky + row + ja);
            const int    G    = RS.group[(size_t)(I * Ky + row)];
            if (G >= 0) {
                const size_t toff = (size_t)((i - B.ilo) * RS.tstride + ReducedSources::kPad + (ja - B.jlo));
                const double* lambda = RS.lambda.data() + (size_t)(I * Ky + row) * 4;
                const int     nq     = RS.nq[(size_t)G];
                double*       cols[3] = {colb, colc, cola};
                const int     rows[3] = {below, row, above};
                for (int x = 0; x < RS.nx; ++x) {
                    const int J = simpsons ? rows[x] : row;
                    if (zcol[(size_t)(I * Ky + J)]) continue;   // written whole by z_columns
                    const double* t[4];
                    for (int q = 0; q < nq; ++q) t[q] = RS.Table(G, x, q);
                    K.combine_add(lambda, t, nq, toff, L, (simpsons ? cols[x] : colc) + roff);
                    nmadds += (double)L * nq;
                }
                continue;
            }
            const size_t toff = (size_t)((i - B.ilo) * B.nJ + (ja - B.jlo));
            for (int v = 0; v < nlists; ++v) {
                const int m = lm[g + (size_t)v];
                if (m == 0) continue;
                const double*        w = lw + (g + (size_t)v) * (size_t)lcap;
                const double* const* t = lt + (g + (size_t)v) * (size_t)lcap;
                const double         wb = sw[(size_t)v * 3], wc = sw[(size_t)v * 3 + 1], wa = sw[(size_t)v * 3 + 2];
                for (int e0 = 0; e0 < L; e0 += kStrip) {
                    const int n = std::min(kStrip, L - e0);
                    K.combine(w, t, m, toff + (size_t)e0, n, buf);
                    if (simpsons) K.distribute(colb + roff + e0, colc + roff + e0, cola + roff + e0, wb, wc, wa, buf, n);
                    else K.add(colc + roff + e0, buf, n);
                }
                nmadds += (double)L * (m + (simpsons ? 3 : 1));
            }
        }
        for (int d = 0; d < ndone; ++d) {
            double* c = Column(I, done[d]) + (I + i) * Ky;
            for (i64 e = 0; e < Ky; ++e) c[e] *= scale;
        }
    }
}

// The lower-edge strip of bottom L1C column I through its strip tables,
// times `scale`, added to its column.
void InfieldBuild::EdgeStrip(int I, double scale, double& nmadds)
{
    const i64 ia = std::max<i64>(E.ilo, -I), ib = std::min<i64>(E.ihi, Kx - 1 - I);
    const int EG = RE.group[(size_t)I];
    if (!edgework || ia > ib) return;
    double*       col  = Column(I, 0);
    const int     nq   = RE.nq[(size_t)EG];
    const double  mu[2] = {RE.mu[(size_t)I * 2] * scale, RE.mu[(size_t)I * 2 + 1] * scale};
    const double* t[2] = {RE.Table(EG, 0), RE.Table(EG, 1)};
    for (i64 i = ia; i <= ib; ++i)
        K.combine_add(mu, t, nq, (size_t)((i - E.ilo) * RE.nR), (int)RE.nR, col + (size_t)((I + i) * Ky));
    nmadds += (double)(ib - ia + 1) * (double)RE.nR * nq;
}

// The output columns (I, J), J in [r0, r1), written whole (see zcol), one
// call per column for all its receiving L1C columns.
void InfieldBuild::ZColumns(int I, int r0, int r1, double& nmadds)
{
    const i64 qa = std::max<i64>(0, I + B.ilo), qb = std::min<i64>(Kx - 1, I + B.ihi);
    for (int J = r0; J < r1; ++J) {
        const char kind = zcol[(size_t)(I * Ky + J)];
        if (!kind) continue;
        double        w[12];
        const double* t[12];
        int           m = 0;
        i64           Ra, Rb;
        size_t        toff = 0, tstride = 0;
        if (kind == 1) {
            const int G = RS.group[(size_t)(I * Ky + J)];
            m           = RS.nq[(size_t)G];
            for (int p = 0; p < m; ++p) w[p] = RS.lambda[(size_t)(I * Ky + J) * 4 + (size_t)p], t[p] = RS.ZTable(G, p);
            Ra      = std::max<i64>(0, J + RS.zj0), Rb = std::min<i64>(Ky - 1, J + RS.zj0 + RS.nzj - 1);
            toff    = (size_t)((qa - I - B.ilo) * RS.nzj + (Ra - J - RS.zj0));
            tstride = (size_t)RS.nzj;
        } else {
            // Every (source s, its table x) that writes column J, in order,
            // the L1C pixel area folded into the weights. The table of s
            // is read from J + 1 - s elements on, so that one offset serves
            // them all: row R of the column reads the table's row R - s.
            i64 smin = J + 1, smax = J - 1;
            for (i64 s = std::max<i64>(0, J - 1); s <= std::min<i64>(Ky - 1, J + 1); ++s) {
                const int     G      = RS.group[(size_t)(I * Ky + s)];
                const double* lambda = RS.lambda.data() + (size_t)(I * Ky + s) * 4;
                for (int x = 0; x < RS.nx; ++x) {
                    const i64 target = !simpsons ? s : x == 0 ? std::max<i64>(s, 1) - 1 : x == 1 ? s : std::min<i64>(s + 1, Ky - 1);
                    if (target != J) continue;
                    for (int q = 0; q < RS.nq[(size_t)G]; ++q) {
                        w[m] = lambda[q] * scale;
                        t[m] = RS.Table(G, x, q) + (J + 1 - s);
                        ++m;
                    }
                    smin = std::min(smin, s), smax = std::max(smax, s);
                }
            }
            Ra      = std::max<i64>(0, smin + B.jlo), Rb = std::min<i64>(Ky - 1, smax + B.jhi);
            toff    = (size_t)((qa - I - B.ilo) * RS.tstride + ReducedSources::kPad + (Ra - J - 1 - B.jlo));
            tstride = (size_t)RS.tstride;
        }
        double* c = Column(I, J);
        if (qa > qb || Ra > Rb || m == 0) {
            std::fill(c, c + F, 0.0);
        } else {
            // Receiving L1C columns out of the tables' reach, and rows out of it.
            std::fill(c, c + qa * Ky, 0.0);
            std::fill(c + (qb + 1) * Ky, c + F, 0.0);
            const int n = (int)(Rb - Ra + 1);
            K.combine_rows(w, t, m, toff, tstride, (int)Ra, n, (int)(Ky - 1 - Rb), (int)(qb - qa + 1), c + qa * Ky,
                           (size_t)Ky);
            nmadds += (double)n * (double)(qb - qa + 1) * m;
        }
        if (J == 0 && loweredge && !RE.group.empty() && RE.group[(size_t)I] >= 0) EdgeStrip(I, scale, nmadds);
    }
}

// The lower-edge correction of bottom L1C pixel (I, 0): the lookups and
// records of its sources in the per-pixel order, then one combination of
// all of them over the strip rows [0, yh).
bool InfieldBuild::EdgeColumn(int I, TORVEN_PSF_InterpolationCoeffs& coeffs, Scratch& sc, double* buf,
                              double& nmadds)
{
    const WindowMapping& l1c = *l1cp;
    const int s   = l1c.FlatIndex(Coords(0, I, WINDOW_L1C));
    double*   col = out + (size_t)(s - R0) * (size_t)F;
    Coords    first(WINDOW_DETECTOR);
    l1c.ToParentWindow(Coords(0, I, WINDOW_L1C), &first, false);
    const i64  lcap     = (i64)sc.w.size();
    const int  EG       = RE.group.empty() ? -1 : RE.group[(size_t)I];   // its strip tables, or -1
    int        m        = 0;
    bool       success  = true;
    // With strip tables, its lookups were made when they were fitted: they
    // all succeed and are tabulated, so they log nothing and add no terms.
    for (int u = 0; u < Bx && EG < 0; ++u) {
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
    if (EG >= 0) {
        // A bottom column written whole gets its strip after (z_columns).
        if (!zcol[(size_t)s]) EdgeStrip(I, 1.0, nmadds);
        return true;
    }
    if (m == 0 || !edgework || ia > ib) return true;
    const int n = (int)yh;
    for (i64 i = ia; i <= ib; ++i) {
        const size_t toff   = (size_t)((i - E.ilo) * E.nDY);
        double*      target = col + (size_t)((I + i) * Ky);
        for (int e0 = 0; e0 < n; e0 += kStrip) {
            const int len = std::min(kStrip, n - e0);
            K.combine(sc.w.data(), sc.t.data(), m, toff + (size_t)e0, len, buf);
            if (By == 1) {
                K.add(target + e0, buf, len);
            } else {
                for (int e = 0; e < len; ++e) target[(e0 + e) / By] += buf[e];
            }
        }
    }
    nmadds += (double)(ib - ia + 1) * n * (m + 1);
    return true;
}

// One work item: row i of the block of L1C columns [ibegin, iend), on thread
// tid of the team.
bool InfieldBuild::WorkItem(int i, int ibegin, int iend, int tid, double& madds)
{
    const double scale = this->scale;   // a local: the stores into the output cannot change it
    Scratch&       sc = scratch[(size_t)tid];
    double*        gw = groupw[(size_t)tid].data();
    const double** gt = groupt[(size_t)tid].data();
    int*           gm = groupm[(size_t)tid].data();
    unsigned char* cs = colstate[(size_t)tid].data();
    const int r0 = i - i % kRows;                          // first row of this row's group
    const int r1 = (int)std::min<i64>(Ky, r0 + kRows);   // and the end of the group
    if (i == 0) {
        for (int I = ibegin; I < iend; ++I) {
            unsigned char* state = cs + (size_t)(I - ibegin) * (size_t)Ky;
            for (int J = 0; J < (int)Ky; ++J)
                state[J] = zcol[(size_t)(I * Ky + J)] ? (kZeroed | kColumn) : 0;
        }
    }
    TORVEN_PSF_InterpolationCoeffs coeffs;
    double                         buf[kStrip];
    if (diag && ibegin == C0) {
        NXLOG_RECORD(nxlog_info,
                     "TORVEN_DeconvolutionMatrixGenerator, Processing L1C pixel row [%d] of [%d]", i,
                     (int)Ky);
    }
    bool ok = true;
    // Row 0 passes over the bottom columns after the first
    // failing one, as the per-pixel build does.
    const int jend = (i == 0 && loweredge) ? (int)std::min<i64>(iend, jstar + 1) : iend;
    const size_t g = (size_t)(i - r0) * stride;
    std::fill(gm + g, gm + g + stride, 0);
    for (int j = ibegin; ok && j < jend; ++j) {
        if (diag && j == 0) NXLOG_RECORD(nxlog_info, "Processing L1C pixel [%4d,%4d]", i, j);
        unsigned char* state = cs + (size_t)(j - ibegin) * (size_t)Ky;
        if (i == 0 && loweredge) {
            if (!zcol[(size_t)(j * Ky)]) Written(j, 0, state);
            ok = EdgeColumn(j, coeffs, sc, buf, madds);
        }
        const size_t c = g + (size_t)(j - ibegin) * (size_t)nlists;
        if (ok)
            ok = SourcePixel(i, j, coeffs, gw + c * (size_t)lcap, gt + c * (size_t)lcap, gm + c,
                              state);
    }
    if (i + 1 == r1) {
        // The group's shares. The columns first written by its
        // rows (their own under the midpoint scheme, the ones
        // above and at row 0 its own under the quadratic one)
        // are zeroed as the shares reach them, the columns last
        // written by them (their own, or the ones below and at
        // the top row its own) scaled after.
        const int zlo = simpsons ? (r0 == 0 ? 0 : r0 + 1) : r0;
        const int zhi = simpsons ? (int)std::min<i64>(r1, Ky - 1) : r1 - 1;
        const int dlo = simpsons ? std::max(r0 - 1, 0) : r0;
        const int dhi = simpsons ? (r1 == Ky ? r1 - 1 : r1 - 2) : r1 - 1;
        int       zero[kMaxGroupRows + 2], done[kMaxGroupRows + 2];
        for (int I = ibegin; I < iend; ++I) {
            unsigned char* state = cs + (size_t)(I - ibegin) * (size_t)Ky;
            const i64      ia = std::max<i64>(B.ilo, -I), ib = std::min<i64>(B.ihi, Kx - 1 - I);
            int            nzero = 0, ndone = 0;
            for (int J = zlo; J <= zhi; ++J) {
                if (state[J] & kZeroed) continue;
                state[J] |= kZeroed;
                zero[nzero++] = J;
                // Receiving L1C columns out of the tables' reach.
                double* col = Column(I, J);
                for (i64 q = 0; q < Kx; ++q) {
                    if (ia <= ib && q >= I + ia && q <= I + ib) continue;
                    std::fill(col + q * Ky, col + (q + 1) * Ky, 0.0);
                }
            }
            for (int J = dlo; J <= dhi; ++J)
                if (!(state[J] & (kWritten | kColumn))) done[ndone++] = J;
            const size_t c = (size_t)(I - ibegin) * (size_t)nlists;
            ApplyRows(I, r0, r1, gw + c * (size_t)lcap, gt + c * (size_t)lcap, gm + c, stride, zero,
                       nzero, done, ndone, buf, madds);
            ZColumns(I, r0, r1, madds);
            for (int J = dlo; J <= dhi; ++J) {
                if (!(state[J] & kWritten)) continue;
                double* col = Column(I, J);
                for (int e = 0; e < F; ++e) col[e] *= scale;
            }
        }
    }
    return ok;
}

bool InfieldBuild::Run(TORVEN_FastBuildStats* stats)
{
    out   = output->UnsafeArrayBasePtr();
    scale = 1.0 / (double)(Bx * By);
    // A lower-edge correction that fails in a column outside the range fails
    // the whole build, and so the rows of the range too.
    if (loweredge && jstar < Kx && (jstar < C0 || jstar >= C1)) success = false;
    double               madds   = 0.0;
    TORVEN_BuildRequest& request = g.Request();
    request.TrackWrites();
    request.BeginWork(nblocks * Ky);
#pragma omp parallel num_threads(nthreads) reduction(+ : madds)
    {
        TORVEN_RequestScope scope(request);
        const int           tid = omp_get_thread_num();
#pragma omp for schedule(dynamic, 1)
        for (i64 b = 0; b < nblocks; ++b) {
            const int ibegin = (int)(C0 + b * NX / nblocks), iend = (int)(C0 + (b + 1) * NX / nblocks);
            // The block writes the sources of its L1C columns, and only those.
            if (!request.Cancelled()) request.MarkWritten((ibegin - C0) * Ky * F, (iend - C0) * Ky * F);
            for (int i = 0; i < (int)Ky && !request.Cancelled(); ++i) {
                bool ok = false;
                try {
                    ok = WorkItem(i, ibegin, iend, tid, madds);
                } catch (...) {   // nothing may escape the parallel region
                    ok = false;
                }
                request.EndWorkItem(ok, &success);
            }
        }
    }
    request.EndWork();

    if (stats != nullptr) stats->multiply_adds = madds;
    return g.EndInPlaceBuild(output, success);
}


}   // namespace

bool TORVEN_FastMatrixBuilder::BuildTransferFunction(nx2dArray<double>* output, bool* handled,
                                                     TORVEN_FastBuildStats* stats)
{
    *handled = false;
    if (m_kernel == KernelTarget::per_pixel) return false;
    InfieldBuild build(m_g, SelectKernels(m_kernel), output);
    if (!build.Applies() || !build.Prepare()) return false;
    *handled = true;
    build.Report(stats);
    m_g.RecordInfieldBuild(build.Skipped());   // as the per-pixel build writes them
    return build.Run(stats);
}


// ===========================================================================
// The build of the generator: the fast path where it applies, otherwise the
// per-pixel build.

bool TORVEN_DeconvolutionMatrixGenerator::build_transfer_function(nx2dArray<double>* output)
{
    TORVEN_RequestScope scope(*m_request);
    if (m_request->options.per_pixel) return build_transfer_function_reference(output);
    bool                     handled = false;
    TORVEN_FastBuildStats    stats;
    TORVEN_FastMatrixBuilder fast(*this, KernelOfRequest(m_request->options));
    const bool               ok = fast.BuildTransferFunction(output, &handled, &stats);
    if (!handled) return build_transfer_function_reference(output);
    m_request->ReportFastBuild(stats);
    return ok;
}

