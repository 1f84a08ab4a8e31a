// The fast in-field build: binned (PSF, residue) tables, output columns owned
// by one block of L1C columns at a time. See fast_tables.h for the design; the
// per-pixel operations of make_psfmatrix.cpp define what is computed.
#include <omp.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <vector>

#include "fast_tables.h"
#include "nxlog.h"

using namespace fastbuild;

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
    if (output == nullptr || F < 1 || !g.IsOutputOfThisBuild(output)) return false;

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
    const int               nthreads = g.TeamSize();
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
    // The sources of the L1C columns [C0, C1) are built; output row 0 is the
    // first row of column C0 (row R0 of the whole matrix).
    const i64 C0 = g.ColumnBegin(), C1 = g.ColumnEnd(), NX = C1 - C0;
    const i64 nblocks = (nthreads == 1 || NX < 1) ? std::min<i64>(1, NX) : std::min<i64>(NX, 16 * (i64)nthreads);
    *handled = true;
    if (stats != nullptr) {
        stats->fast_path     = true;
        stats->threads       = nthreads;
        stats->table_seconds = Seconds(t0);
        stats->table_bytes   = tablebytes;
    }

    g.RecordInfieldBuild(skipped);   // as the per-pixel build writes them

    double*      out   = output->UnsafeArrayBasePtr();
    const double scale = 1.0 / (double)(Bx * By);
    bool         success = true;
    // A lower-edge correction that fails in a column outside the range fails
    // the whole build, and so the rows of the range too.
    if (loweredge && jstar < Kx && (jstar < C0 || jstar >= C1)) success = false;
    double       madds   = 0.0;

    const i64 R0     = C0 * Ky;
    auto      column = [&](i64 I, i64 J) { return out + (size_t)((I - C0) * Ky + J) * (size_t)F; };

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
        double*   colb = out + (size_t)(cb - R0) * (size_t)F;
        double*   colc = out + (size_t)(cc - R0) * (size_t)F;
        double*   cola = out + (size_t)(ca - R0) * (size_t)F;
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
        double*   col = out + (size_t)(s - R0) * (size_t)F;
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

    TORVEN_BuildRequest& request = g.Request();
    request.BeginWork(nblocks * Ky);
#pragma omp parallel num_threads(nthreads) reduction(+ : madds)
    {
        TORVEN_RequestScope scope(request);
        Scratch&            sc = scratch[(size_t)omp_get_thread_num()];
#pragma omp for schedule(dynamic, 1)
        for (i64 b = 0; b < nblocks; ++b) {
            const int ibegin = (int)(C0 + b * NX / nblocks), iend = (int)(C0 + (b + 1) * NX / nblocks);
            for (int i = 0; i < (int)Ky && !request.Cancelled(); ++i) {
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
                    if (diag && ibegin == C0) {
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
                request.EndWorkItem(ok, &success);
            }
        }
    }
    request.EndWork();

    if (stats != nullptr) stats->multiply_adds = madds;
    return g.EndInPlaceBuild(output, success);
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
    TORVEN_FastMatrixBuilder fast(*this);
    const bool               ok = fast.BuildTransferFunction(output, &handled, &stats);
    if (!handled) return build_transfer_function_reference(output);
    m_request->ReportFastBuild(stats);
    return ok;
}
