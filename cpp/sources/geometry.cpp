// The geometry of one build; see geometry.h.
#include "geometry.h"

#include <omp.h>

#include <algorithm>
#include <cstdio>

#include "fast_tables.h"

namespace velmora {

namespace {

using i64 = int64_t;

// Whether the L1C pixels tile the science window from its origin; the reason
// in *why where they do not.
bool Tiled(const TORVEN_DeconvolutionMatrixGenerator& g, const Geometry& G, std::string* why)
{
    const WindowMapping& l1c     = g.L1cToDetector();
    const WindowMapping& science = g.Windows().Science();
    char                 text[320];
    if (G.Bx < 1 || G.By < 1 || G.Kx < 1 || G.Ky < 1 || G.Kx * G.Ky != G.F) {
        *why = "the L1C window has no pixels or a binning below 1";
        return false;
    }
    if (G.Sx > fastbuild::kMaxExtent || G.Sy > fastbuild::kMaxExtent) {
        *why = "the science window is too large for the tables";
        return false;
    }
    if (l1c.Ofsx() != science.Ofsx() || l1c.Ofsy() != science.Ofsy()) {
        std::snprintf(text, sizeof text,
                      "the L1C window's offset (%lld,%lld) in the detector window differs from the science "
                      "window's (%lld,%lld), so the L1C pixels are not tiled from the science window's origin",
                      (long long)l1c.Ofsy(), (long long)l1c.Ofsx(), (long long)science.Ofsy(),
                      (long long)science.Ofsx());
        *why = text;
        return false;
    }
    if (G.Kx * G.Bx > G.Sx || G.Ky * G.By > G.Sy) {
        *why = "the L1C pixels reach beyond the science window";
        return false;
    }
    const nx2dArray<int>& table = g.DetectorToL1cTable();
    if (table.XSize() != (size_t)G.Sy || table.YSize() != (size_t)G.Sx || table.IsEmpty()) {
        *why = "the science pixels have no L1C table";
        return false;
    }
    const int* t = table.UnsafeArrayBasePtr();
    for (i64 x = 0; x < G.Sx; ++x) {
        for (i64 y = 0; y < G.Sy; ++y) {
            const i64 expected = (x < G.Kx * G.Bx && y < G.Ky * G.By) ? (x / G.Bx) * G.Ky + y / G.By : -9999;
            if (t[x * G.Sy + y] != expected) {
                std::snprintf(text, sizeof text,
                              "science pixel (%lld,%lld) does not lie in the L1C pixel that tiling from the science "
                              "window's origin gives it",
                              (long long)x, (long long)y);
                *why = text;
                return false;
            }
        }
    }
    return true;
}

// Sets the NOOF window and the NOOF offset of the science window in *G and
// returns whether the stray-light tables apply to them (see Geometry).
bool NoofAligned(const TORVEN_DeconvolutionMatrixGenerator& g, Geometry* G)
{
    const WindowMappingHierarchy& w        = g.Windows();
    const WindowMapping&          science  = w.Science();
    const WindowMapping&          detector = w.Detector();
    const WindowMapping&          noof     = w.Noof();
    const WindowMapping&          indexer  = g.L1cIndexer().Mapping();
    const i64                     kMax     = fastbuild::kMaxExtent;
    G->NOOFx = noof.Numx(), G->NOOFy = noof.Numy();
    G->SX0 = (i64)science.Ofsx() + detector.Ofsx();
    G->SY0 = (i64)science.Ofsy() + detector.Ofsy();
    if (G->Bx < 1 || G->By < 1 || G->Kx < 1 || G->Ky < 1 || G->Kx * G->Ky != G->F) return false;
    if (G->Sx < 0 || G->Sy < 0 || G->NOOFx < 0 || G->NOOFy < 0 || G->Sx > kMax || G->Sy > kMax || G->NOOFx > kMax ||
        G->NOOFy > kMax)
        return false;
    if (indexer.Ofsx() != science.Ofsx() || indexer.Ofsy() != science.Ofsy() || indexer.Binx() != G->Bx ||
        indexer.Biny() != G->By || indexer.Numx() != G->Kx || indexer.Numy() != G->Ky)
        return false;
    if (detector.Binx() != 1 || detector.Biny() != 1 || science.Binx() != 1 || science.Biny() != 1) return false;
    const WindowMapping to_noof = w.CreateMappingToUpperLevel(science, noof);
    if (to_noof.Ofsx() != G->SX0 || to_noof.Ofsy() != G->SY0 || to_noof.Binx() != 1 || to_noof.Biny() != 1)
        return false;
    return G->SX0 >= -kMax && G->SX0 <= kMax && G->SY0 >= -kMax && G->SY0 <= kMax;
}

}   // namespace

Geometry Geometry::Of(const TORVEN_DeconvolutionMatrixGenerator& g, bool lower_edge)
{
    Geometry             G;
    const WindowMapping& l1c     = g.L1cToDetector();
    const WindowMapping& science = g.Windows().Science();
    G.Kx = l1c.Numx(), G.Ky = l1c.Numy(), G.Bx = l1c.Binx(), G.By = l1c.Biny();
    G.Sx = science.Numx(), G.Sy = science.Numy();
    G.F  = g.FlatSize();
    G.tiled = Tiled(g, G, &G.untiled);
    G.noof_aligned = NoofAligned(g, &G);
    if (lower_edge) G.skipped = g.LowerEdgeRowsOutsideDetector(&G.kfirst, &G.klast);
    G.nk         = std::max(0, G.klast - G.kfirst + 1);
    G.rows_above = g.RowsAboveBottomEdge();
    // Receiving rows of the strip: below rows_above, inside the science window
    // and inside the L1C window.
    G.yh   = std::max<i64>(0, std::min<i64>({G.rows_above, G.Sy, G.Ky * G.By}));
    G.edge = lower_edge && G.nk > 0 && G.rows_above > 0 && G.yh > 0;
    return G;
}

Slots ReferencedSlots(const TORVEN_PSF_Table& table)
{
    Slots s;
    int   n       = 0;
    s.slot_of_psf = fastbuild::ReferencedPsfs(table, &n);
    s.psf_of_slot.assign((size_t)n, -1);
    for (size_t p = 0; p < s.slot_of_psf.size(); ++p)
        if (s.slot_of_psf[p] >= 0) s.psf_of_slot[(size_t)s.slot_of_psf[p]] = (int)p;
    return s;
}

int TableTeamSize(int threads)
{
    const int64_t cap =
        std::min<int64_t>((int64_t)omp_get_thread_limit(), 8 * (int64_t)std::max(1, omp_get_num_procs()));
    const int team = (int)std::max<int64_t>(1, std::min<int64_t>(threads, cap));
    return TORVEN_InForkedChild() ? 1 : team;
}

}   // namespace velmora
