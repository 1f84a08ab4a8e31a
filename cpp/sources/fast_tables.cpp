// The tables and helpers shared by the fast in-field and stray-light builds;
// see fast_tables.h.
#include "fast_tables.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace fastbuild {

void StreamZero(double* out, size_t n)
{
#if defined(__SSE2__)
    if ((uintptr_t)out % sizeof(double) == 0) {
        size_t        e = 0;
        const __m128d z = _mm_setzero_pd();
        if ((uintptr_t)out % 16 != 0 && n > 0) out[e++] = 0.0;
        for (; e + 2 <= n; e += 2) _mm_stream_pd(out + e, z);
        if (e < n) out[e] = 0.0;
        return;
    }
#endif
    std::fill(out, out + n, 0.0);
}

void StreamFence()
{
#if defined(__SSE2__)
    _mm_sfence();
#endif
}

bool SolveSmall(int k, double* a, double* b, size_t n)
{
    for (int c = 0; c < k; ++c) {
        int piv = c;
        for (int r = c + 1; r < k; ++r)
            if (std::fabs(a[r * k + c]) > std::fabs(a[piv * k + c])) piv = r;
        if (!(std::fabs(a[piv * k + c]) > 0.0)) return false;
        if (piv != c) {
            for (int j = 0; j < k; ++j) std::swap(a[c * k + j], a[piv * k + j]);
            for (size_t j = 0; j < n; ++j) std::swap(b[(size_t)c * n + j], b[(size_t)piv * n + j]);
        }
        for (int r = c + 1; r < k; ++r) {
            const double f = a[r * k + c] / a[c * k + c];
            for (int j = c; j < k; ++j) a[r * k + j] -= f * a[c * k + j];
            for (size_t j = 0; j < n; ++j) b[(size_t)r * n + j] -= f * b[(size_t)c * n + j];
        }
    }
    for (int c = k - 1; c >= 0; --c) {
        for (size_t j = 0; j < n; ++j) {
            double v = b[(size_t)c * n + j];
            for (int r = c + 1; r < k; ++r) v -= a[c * k + r] * b[(size_t)r * n + j];
            b[(size_t)c * n + j] = v / a[c * k + c];
        }
    }
    return true;
}

namespace {

// out[j] (j < nJ) = the sum over w < By of x[j * By + c + w], the terms
// outside x[0, n) left out (they are zeros of the sum). Each sum starts from
// +0.0 and takes its terms in the order of w; BY > 0 is By known at compile
// time.
template <int BY>
void BinRow(const double* x, i64 n, i64 c, i64 by, i64 nJ, double* out)
{
    const i64 By = BY > 0 ? BY : by;
    // The j whose By terms all lie in x: [jf0, jf1).
    const i64 jf0 = std::min(nJ, std::max<i64>(0, CeilDiv(-c, By)));
    const i64 jf1 = std::max(jf0, std::min(nJ, FloorDiv(n - c - By, By) + 1));
    const auto partial = [&](i64 j) {
        double sum = 0.0;
        for (i64 w = 0; w < By; ++w) {
            const i64 k = j * By + c + w;
            if (k >= 0 && k < n) sum += x[k];
        }
        out[j] = sum;
    };
    for (i64 j = 0; j < jf0; ++j) partial(j);
    for (i64 j = jf0; j < jf1; ++j) {
        const double* xj  = x + (j * By + c);
        double        sum = 0.0;
        for (i64 w = 0; w < By; ++w) sum += xj[w];
        out[j] = sum;
    }
    for (i64 j = jf1; j < nJ; ++j) partial(j);
}

}   // namespace

void AddToNormalEquations(const double* l, int nq, const double* w, size_t D, double* a, double* rhs)
{
    for (int x = 0; x < nq; ++x) {
        for (int y = 0; y < nq; ++y) a[x * nq + y] += l[x] * l[y];
        for (size_t d = 0; d < D; ++d) rhs[(size_t)x * D + d] += l[x] * w[d];
    }
}

bool Reproduces(const double* l, int nq, const double* E, const double* w, size_t D)
{
    double big = 0.0, err = 0.0;
    for (size_t d = 0; d < D; ++d) {
        double v = 0.0;
        for (int q = 0; q < nq; ++q) v += l[q] * E[(size_t)q * D + d];
        big = std::max(big, std::fabs(w[d]));
        err = std::max(err, std::fabs(v - w[d]));
    }
    return err <= kReduceTolerance * big;
}

void BinResidue(const OffsetTable& vt, i64 u, i64 Bx, i64 By, i64 ilo, i64 nI, i64 jlo, i64 nJ, i64 dy0, i64 nDY,
                double* x, double* out)
{
    // The rows dy of x that the table has: dy0 + dy in [y0, y0 + ny).
    const i64 dylo = std::min(nDY, std::max<i64>(0, vt.y0 - dy0));
    const i64 dyhi = std::max(dylo, std::min(nDY, vt.y0 + vt.ny - dy0));
    const i64 off  = dy0 - vt.y0;   // row dy of x is row dy + off of the table
    for (i64 i = 0; i < nI; ++i) {
        // x(i, dy): the sum over the columns t < Bx, in order, of the table at
        // (ix, dy); columns and rows outside the table are zeros of the sum.
        double* xr = x + i * nDY;
        std::fill(xr, xr + nDY, 0.0);
        for (i64 t = 0; t < Bx && dyhi > dylo; ++t) {
            const i64 ix = (ilo + i) * Bx + t - u - vt.x0;
            if (ix < 0 || ix >= vt.nx) continue;
            const double* col = vt.v.data() + (size_t)(ix * vt.ny + dylo + off);
            double*       xd  = xr + dylo;
            for (i64 k = 0; k < dyhi - dylo; ++k) xd[k] += col[k];
        }
        // out[v](i, j): the sum over the rows w < By, in order, of
        // x(i, (jlo + j) * By + w - v - dy0).
        for (i64 v = 0; v < By; ++v) {
            const i64 c = jlo * By - v - dy0;
            double*   b = out + (v * nI + i) * nJ;
            switch (By) {
            case 1: BinRow<1>(xr, nDY, c, By, nJ, b); break;
            case 2: BinRow<2>(xr, nDY, c, By, nJ, b); break;
            case 3: BinRow<3>(xr, nDY, c, By, nJ, b); break;
            case 4: BinRow<4>(xr, nDY, c, By, nJ, b); break;
            default: BinRow<0>(xr, nDY, c, By, nJ, b); break;
            }
        }
    }
}

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
    for (i64 ix = 0; ix < t->nx; ++ix)
        e.OffsetedColumn(Coords((int)ylo, (int)(xlo + ix), w), (int)t->ny, origin, t->v.data() + (size_t)(ix * t->ny));
}

bool TabulateSlots(const std::vector<TORVEN_PSF_Entry>& entries, const std::vector<int>& psfofslot, i64 limx, i64 limy,
                   int nthreads, std::vector<OffsetTable>* V)
{
    const int n  = (int)psfofslot.size();
    bool      ok = true;
    V->resize((size_t)n);
#pragma omp parallel for schedule(dynamic, 1) num_threads(nthreads)
    for (int s = 0; s < n; ++s) {
        try {
            Tabulate(entries[(size_t)psfofslot[(size_t)s]], limx, limy, &(*V)[(size_t)s]);
        } catch (...) {   // nothing may escape the parallel region
#pragma omp atomic write
            ok = false;
        }
    }
    return ok;
}

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
    int           count = 0;
    const auto    take  = [&](size_t i) {
        if (cv[i] != 0.0 && kv[i] >= 0 && kv[i] < numpsf && slot[(size_t)kv[i]] < 0) slot[(size_t)kv[i]] = count++;
    };
    // Pixel by pixel (m coefficients each), against the last pixel looked at
    // (`ref`): a pixel with its indices can add a slot only through a position
    // whose PSF has none yet (`open`), and only if its coefficient there is not
    // 0. Most pixels share their neighbour's indices. Once every PSF has its
    // slot nothing can change.
    const size_t        m   = c->XSize();
    size_t              i   = 0;
    size_t              ref = 0;
    bool                any = false;   // a pixel has been looked at
    std::vector<size_t> open;
    if (m > 0 && m <= n) {
        open.reserve(m);
        for (; i + m <= n && count < numpsf; i += m) {
            if (any) {
                size_t j = 0;
                while (j < m && kv[i + j] == kv[ref + j]) ++j;
                if (j == m) {
                    bool adds = false;
                    for (size_t o : open) adds = adds || cv[i + o] != 0.0;
                    if (!adds) continue;
                }
            }
            for (size_t j = i; j < i + m; ++j) take(j);
            ref = i;
            any = true;
            open.clear();
            for (size_t j = 0; j < m; ++j) {
                const int k = kv[i + j];
                if (!(k >= 0 && k < numpsf && slot[(size_t)k] >= 0)) open.push_back(j);
            }
        }
    }
    for (; i < n && count < numpsf; ++i) take(i);
    *nslots = count;
    return slot;
}

double InputElements(const TORVEN_PSF_Table& table)
{
    double n = 0.0;
    for (const TORVEN_PSF_Entry& e : table.MeasuredPSFEntries()) n += (double)e.Size().x * (double)e.Size().y;
    if (table.Coefficients() != nullptr) n += (double)table.Coefficients()->size();
    if (table.Indices() != nullptr) n += (double)table.Indices()->size();
    return n;
}

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

bool Tabulated(const TORVEN_PSF_InterpolationCoeffs& c, const std::vector<int>& slots)
{
    for (int j = 0; j < c.NumCoeffs(); ++j) {
        const int p = c.PsfIndex(j);
        if (!std::isfinite(c.Coefficient(j)) || p < 0 || (size_t)p >= slots.size() || slots[(size_t)p] < 0)
            return false;
    }
    return true;
}

}   // namespace fastbuild
