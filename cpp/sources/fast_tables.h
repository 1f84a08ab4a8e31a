#pragma once
// Fast in-field and horizontal stray-light builds: what they share.
//
// They compute the matrices of the per-pixel builds (make_psfmatrix.cpp and
// torven_horizontal_deconvolution_matrix.cpp), write the same records and fail
// the same way, but:
//
// - every measured PSF is tabulated once per build at the whole-pixel offsets
//   that can reach a receiving pixel, by TORVEN_PSF_Entry::OffsetedValue itself,
//   so the inner loops have no bounds tests and no bilinear weights;
// - receivers are summed into their L1C pixels once per build: for a source
//   detector pixel at residue (u, v) inside its L1C pixel, the share of PSF p in
//   the L1C pixel (di, dj) positions away is a fixed table B_p[u][v](di, dj). A
//   source then costs one multiply-add per coefficient and reachable L1C pixel
//   instead of one PSF evaluation per science pixel. The lower-edge strip has
//   tables of its own; the stray-light build uses the same binned tables when
//   every science pixel receives (steps of 1), and per-row tables of its
//   sampled receivers otherwise;
// - where the weights of a group of source pixels over (PSF, residue) are
//   bilinear in the pixels' L1C position (PSFs blended bilinearly), the
//   binned tables are combined once per build into one table per basis
//   vector and output column, and each source of the group costs 4
//   multiply-adds per receiving pixel and column (fast_infield.cpp). An output
//   column whose sources (the rows below, at and above it) are all in one
//   group is itself such a combination of the basis at its own position: it
//   is written whole, once, from 4 column tables, and the bottom columns' lower-
//   edge strips reduce the same way across columns (2 strip tables); in the
//   stray-light build the same holds across L1C rows, whose weights over
//   (source column, row residue, PSF) are affine in the row, so a group of
//   rows shares 2 tables and each of its columns costs 2 multiply-adds per
//   element (fast_straylight.cpp), and the rest of the matrix is zeroed by
//   stores that bypass the caches;
// - the sources of several rows of one L1C column go through the tables
//   together, so each table row is read from cache for all of them;
// - the kernels are compiled for SSE2 and for AVX2 + FMA and chosen per build
//   at run time (fast_kernels.h);
// - the output is accumulated in place: each output column is written by one
//   work item at a time, in a fixed order (the quadratic scheme handles source
//   rows in three interleaved phases, since a source row writes the columns of
//   its neighbour rows as well), so there are no private F x F matrices and
//   the result is bitwise the same for any number of threads.
//
// The per-pixel builds stay as the reference, and as the fallback where the
// tables do not describe the build (see the checks at the start of each
// builder).
//
// fast_infield.cpp and fast_straylight.cpp hold the two builds; this header
// and fast_tables.cpp the tables, kernels and helpers they share.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

#include "fast_kernels.h"
#include "make_psfmatrix.h"

// What a fast build did, for benchmarks and tests.
struct TORVEN_FastBuildStats
{
    bool   fast_path     = false;   // the fast path ran
    int    threads       = 0;       // threads of the parallel region
    double multiply_adds = 0.0;     // multiply-adds of the table kernels
    double table_seconds = 0.0;     // time spent building the tables
    size_t table_bytes   = 0;       // tables and per-thread scratch
    const char* kernel   = "";      // the kernels that ran: "sse2" or "avx2"
    long long reduced_sources = 0;  // in-field sources whose weights went through reduced tables
    long long reduced_columns = 0;  // in-field output columns written whole from column tables
    long long whole_columns   = 0;  // in-field output columns written whole from the source tables of their writers
    long long reduced_edge    = 0;  // in-field bottom columns whose lower-edge strip went through strip tables
    long long reduced_rows    = 0;  // stray-light columns (L1C row and side) written from reduced tables
};

class TORVEN_FastMatrixBuilder
{
  private:
    TORVEN_DeconvolutionMatrixGenerator& m_g;
    fastbuild::KernelTarget              m_kernel;

  public:
    // `kernel` chooses the vector kernels of the builds (see fast_kernels.h);
    // KernelTarget::per_pixel makes both builds decline.
    explicit TORVEN_FastMatrixBuilder(TORVEN_DeconvolutionMatrixGenerator& generator,
                                      fastbuild::KernelTarget kernel = fastbuild::KernelTarget::automatic)
        : m_g(generator), m_kernel(kernel)
    {
    }

    // The in-field build. When the fast path does not apply to this request,
    // or its tables cannot be allocated, sets *handled to false and returns
    // false without logging anything or touching `output`: the caller then runs
    // the per-pixel build. Otherwise sets *handled to true and returns the
    // build's result, exactly as build_transfer_function_reference would.
    bool BuildTransferFunction(nx2dArray<double>* output, bool* handled, TORVEN_FastBuildStats* stats = nullptr);

    // The horizontal stray-light build, on the same terms.
    bool BuildHorizontalStrayLight(nx2dArray<double>* output, const nx2dArray<double>& vignetting, int delta_ny,
                                   int delta_nx, int delta_sy, int delta_sx, bool* handled,
                                   TORVEN_FastBuildStats* stats = nullptr);
};

namespace fastbuild {

using i64 = int64_t;

// Window extents (in pixels) beyond which the fast path is not taken. Keeps
// every offset inside an int and every table index product inside 64 bits.
constexpr i64 kMaxExtent = (i64)1 << 28;
// The tables and scratch of a build may hold this many doubles, or a few times
// the elements of its inputs (PSF images and coefficient and index tables) if
// that is more; a request that would need more (absurd binnings or strip
// sizes, far beyond any real instrument) is left to the per-pixel build.
constexpr double kTableFloor    = (double)(1 << 25);   // 256 MB
constexpr double kTablePerInput = 8.0;
// Length of the strips in which the kernels combine coefficients.
constexpr int kStrip = 256;

// Floor and ceiling of a / b for b > 0.
inline i64 FloorDiv(i64 a, i64 b)
{
    const i64 q = a / b;
    return (a % b != 0 && a < 0) ? q - 1 : q;
}
inline i64 CeilDiv(i64 a, i64 b) { return -FloorDiv(-a, b); }

inline double Seconds(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// ---------------------------------------------------------------------------
// One measured PSF at whole-pixel offsets.

// The offsets d within [-lim, lim] at which a PSF whose centre lies at array
// position `centre` of an axis of n samples can be non-zero: OffsetedValue
// needs centre + d in (-1, n). Widened by one on each side, so that the
// rounding of centre + d cannot reach beyond. False when there are none.
bool AxisSupport(double centre, int n, i64 lim, i64* lo, i64* hi);

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

// Tabulates `e` at the offsets within [-limx, limx] x [-limy, limy] where it
// can be non-zero (an empty table where it cannot be anywhere).
void Tabulate(const TORVEN_PSF_Entry& e, i64 limx, i64 limy, OffsetTable* t);

// Bins one offset table for the column residue u of a Bx x By L1C pixel into
// its By row-residue tables: out[v][i][j] (nI x nJ each, v < By) = the sum over
// t < Bx and w < By of V((ilo + i) * Bx + t - u, (jlo + j) * By + w - v),
// columns first, so every builder gets the same sums in the same order. The
// rows of V outside [dy0, dy0 + nDY) count as zero; `x` is scratch of nI * nDY.
void BinResidue(const OffsetTable& vt, i64 u, i64 Bx, i64 By, i64 ilo, i64 nI, i64 jlo, i64 nJ, i64 dy0, i64 nDY,
                double* x, double* out);

// Tabulates the PSFs of every slot (PSF psfofslot[s] into (*V)[s]) in
// parallel. False when a table cannot be allocated.
bool TabulateSlots(const std::vector<TORVEN_PSF_Entry>& entries, const std::vector<int>& psfofslot, i64 limx, i64 limy,
                   int nthreads, std::vector<OffsetTable>* V);

// The measured PSFs that some non-zero coefficient of the table refers to get
// consecutive slots; the others -1. Only those are tabulated.
std::vector<int> ReferencedPsfs(const TORVEN_PSF_Table& table, int* nslots);

// The elements of the inputs of a table: its PSF images, coefficients and
// indices.
double InputElements(const TORVEN_PSF_Table& table);

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
    // Whether `elements` more would fit, without taking them.
    bool Fits(double elements) const { return used + elements <= allowed; }
};

// The union of the offset rectangles of the tabulated PSFs, clipped to
// [xmin, xmax] x [ymin, ymax]. False when empty.
bool UnionRange(const std::vector<OffsetTable>& v, i64 xmin, i64 xmax, i64 ymin, i64 ymax, i64* x0, i64* x1, i64* y0,
                i64* y1);

// Whether every coefficient of `c` is finite and its PSF tabulated. A
// non-finite coefficient makes every receiving pixel of the window NaN or
// infinite, far beyond the tables; such sources take the per-pixel operation.
bool Tabulated(const TORVEN_PSF_InterpolationCoeffs& c, const std::vector<int>& slots);

// A reduced group's fitted basis must reproduce the weights of each of its
// members within this fraction of their largest.
constexpr double kReduceTolerance = 1e-13;

// Adds one member of a group to the normal equations of its least-squares
// fit: a (nq x nq) += l l^T, rhs (nq x D) += l w^T.
void AddToNormalEquations(const double* l, int nq, const double* w, size_t D, double* a, double* rhs);

// Whether the sum over q < nq of l[q] * E[q * D + d] reproduces w[d] for every
// d < D, within kReduceTolerance of the largest |w[d]|.
bool Reproduces(const double* l, int nq, const double* E, const double* w, size_t D);

// Solves the k x k system a x = b (b holds `n` right-hand sides, row-major
// k x n) in place by Gaussian elimination with partial pivoting. False when
// singular.
bool SolveSmall(int k, double* a, double* b, size_t n);

// The fit of one group of a reduction (in-field sources, bottom columns,
// stray-light rows): the nq <= 4 basis values of each member (basis(member,
// l) writes l[0 .. nq)) fitted to its D weights (weights(member)) by least
// squares over the members, the basis vectors (nq x D) left in *E; then every
// member checked against the fit (Reproduces), accept(member, l) called for
// each one it reproduces, in member order. False when the normal equations
// are singular (nothing accepted).
template <class Member, class Basis, class Weights, class Accept>
bool FitGroup(const std::vector<Member>& members, int nq, size_t D, Basis basis, Weights weights,
              std::vector<double>* E, Accept accept)
{
    double a[16] = {0};
    E->assign((size_t)nq * D, 0.0);
    for (const Member& m : members) {
        double l[4];
        basis(m, l);
        AddToNormalEquations(l, nq, weights(m), D, a, E->data());
    }
    if (!SolveSmall(nq, a, E->data(), D)) return false;
    for (const Member& m : members) {
        double l[4];
        basis(m, l);
        if (Reproduces(l, nq, E->data(), weights(m), D)) accept(m, (const double*)l);
    }
    return true;
}

// Stores of output that the build writes once and does not read again (the
// zeros of the stray-light matrix): they bypass the caches (non-temporal
// stores where the processor has them), so a line costs one write to memory
// instead of a read and a write. StreamFence orders them before what follows
// (call it before the work is handed on to other threads).
void StreamZero(double* out, size_t n);
// The size from which bypassing the caches pays: below it the stores stay in
// the caches and plain ones are faster (measured on a 2-core Xeon: 8 MiB of
// zeros take 0.53 ms with plain stores and 0.76 ms bypassing the caches,
// 32 MiB take 3.3 ms and 2.0 ms).
constexpr double kStreamBytes = 16.0 * 1024 * 1024;
void StreamFence();

// How many sources ahead a loop over sources along a row asks for their
// coefficients (TORVEN_PSF_Table::PrefetchCoefficients): enough lookups in
// flight to hide the latency of memory.
constexpr size_t kPrefetchAhead = 8;

// ---------------------------------------------------------------------------
// In-field tables.

// B_p[u][v](i, j): the sum of PSF p, centred on the detector pixel at residue
// (u, v) of its L1C pixel, over the detector pixels of the L1C pixel (i, j)
// positions away. One rectangle of (i, j) for all slots and residues.
// Storage of tables whose builders write every element that is read: sizing
// it leaves the elements unset, so that each is first touched by the thread
// that computes it (no zeroing pass, and no cache lines handed from the
// thread that allocated them to the one that writes them).
template <class T>
struct UnsetAllocator : std::allocator<T>
{
    template <class U>
    struct rebind
    {
        using other = UnsetAllocator<U>;
    };
    UnsetAllocator() = default;
    template <class U>
    UnsetAllocator(const UnsetAllocator<U>&) noexcept
    {
    }
    template <class U>
    void construct(U* p) noexcept
    {
        ::new ((void*)p) U;
    }
    template <class U, class... A>
    void construct(U* p, A&&... a)
    {
        ::new ((void*)p) U(std::forward<A>(a)...);
    }
};
using TableStorage = std::vector<double, UnsetAllocator<double>>;

struct BinnedTables
{
    i64                 ilo = 0, ihi = -1, jlo = 0, jhi = -1, nI = 0, nJ = 0;
    i64                 Bx = 1, By = 1;
    TableStorage        data;   // [slot][u][v][i - ilo][j - jlo], every element written by BinResidue

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
    TableStorage        data;   // [slot][u][i - ilo][dy - dy0], every element written

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
inline void BinRange(i64 d0, i64 d1, i64 B, i64 K, i64* lo, i64* hi)
{
    *lo = std::max(CeilDiv(d0 - (B - 1), B), -(K - 1));
    *hi = std::min(FloorDiv(d1 + (B - 1), B), K - 1);
}

}   // namespace fastbuild
