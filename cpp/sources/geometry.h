#pragma once
// The geometry of one build, derived once from the generator's windows and the
// options, and shared by the per-pixel build, the fast builds
// (fast_infield.cpp, fast_straylight.cpp) and the forward-model tables
// (kernel_tables.cpp):
//
// - the L1C window and its binning, and whether its pixels tile the science
//   window from its origin (every receiving L1C pixel a whole bin: what the
//   binned tables assume), with the reason where they do not;
// - the lower-edge source rows inside the detector window, the rows skipped,
//   and the height of the strip they reach;
// - the slots of the PSFs that some non-zero coefficient refers to;
// - the team size of a table build.
#include <cstdint>
#include <string>
#include <vector>

#include "instrument.h"
#include "make_psfmatrix.h"

namespace velmora {

struct Geometry
{
    int64_t Kx = 0, Ky = 0, Bx = 1, By = 1, Sx = 0, Sy = 0, F = 0;

    // The L1C pixels tile the lower left Kx*Bx x Ky*By science pixels from the
    // science window's origin and the other science pixels have no L1C pixel.
    bool        tiled = false;
    std::string untiled;   // why they do not

    // Lower edge: source rows k in [kfirst, klast] below the bottom edge (nk of
    // them, 0 without the correction), `skipped` rows outside the detector
    // window, strip rows [0, yh) below `rows_above` that they reach; `edge`
    // when there is any such work.
    int     kfirst = 0, klast = -1, skipped = 0;
    int64_t nk = 0, rows_above = 0, yh = 0;
    bool    edge = false;

    // Stray light: the NOOF window, the NOOF position (SX0, SY0) of science
    // pixel (0, 0), and whether the science window maps into the NOOF window
    // at that offset without binning, with the L1C indexer binning it from its
    // origin (`noof_aligned`): what the stray-light tables assume.
    int64_t NOOFx = 0, NOOFy = 0, SX0 = 0, SY0 = 0;
    bool    noof_aligned = false;

    // The geometry of generator `g` (windows and lower-edge rows set up) with
    // or without the lower-edge correction.
    static Geometry Of(const TORVEN_DeconvolutionMatrixGenerator& g, bool lower_edge);
};

// The PSFs that some non-zero coefficient of the table refers to, in slots
// numbered in the order of their first reference: slot_of_psf[p] (or -1) and
// its inverse psf_of_slot.
struct Slots
{
    std::vector<int> slot_of_psf, psf_of_slot;
    int              Count() const { return (int)psf_of_slot.size(); }
};
Slots ReferencedSlots(const TORVEN_PSF_Table& table);

// The team of a table build: `threads` (at least 1) capped at what the runtime
// can start, and 1 in a forked child.
int TableTeamSize(int threads);

}   // namespace velmora
