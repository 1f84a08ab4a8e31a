#pragma once
// Kernel tables: the matrices of the in-field and horizontal stray-light builds
// in factored form, for applying them without forming them.
//
// In-field. When the L1C pixels tile the science window from its origin (the
// geometry of the fast build), the column of source L1C pixel s is
//
//   scale * sum over detector pixels d and coefficients c of d:
//       W(s, d) * c * B_p(c)[u(d)][v(d)](. - L1C(d))
//
// where (u, v) is the residue of d inside its L1C pixel L1C(d), B_p[u][v](i, j)
// is the sum of PSF p, centred on that detector pixel, over the detector pixels
// of the L1C pixel (i, j) positions away, W(s, d) is 1 for the pixels of s
// (midpoint scheme) or the quadratic scheme's weight of detector row v for s
// being the pixel's own L1C row or its neighbour below or above, and
// scale = 1 / (Bx * By). So a product with the matrix is a sum, over
// (PSF, u, v), of convolutions of weighted scenes with fixed tables.
//
// The lower-edge strip adds, for the bottom L1C pixel (x, 0), the sources at
// detector rows k below the bottom edge (column residue u): a table
// E_p[u][k](i, J), already summed over the strip rows of L1C row J, convolved
// along x only.
//
// Stray light. Its matrix has non-zero rows only for the end L1C pixels of
// the sampled rows: each source pixel of the NOOF window left (right) of the
// science window charges the left (right) end pixel of its sampled row, with
// the weight (steps x vignetting) x coefficient of each PSF. The light a
// science receiver at NOOF position R gets from the sources is then, summed
// over the PSFs p,
//
//   sum over sources q of  t[end(q)] * weight_p(q) * V_p(R - q)
//
// a 2-D convolution of the weight image of each PSF (on the NOOF grid of the
// source columns and sampled rows, times the value of the end pixel) with the
// PSF's table at whole-pixel offsets, sampled at the receivers and summed into
// their L1C pixels. The tables are returned for that convolution: the weight
// images, the sampled receivers, the PSF tables cropped to their non-zero
// support within reach, and the diagonal. Sources the tables cannot carry
// (coefficients that are not finite, or receivers that are not a grid of NOOF
// positions) are evaluated per receiver into whole rows of their end pixels.
//
// Everything is computed from TORVEN_PSF_Entry::OffsetedValue and the
// generator's window mappings and PSF table, on the geometry the dense builds
// derive (geometry.h), so the values follow the same rules as the builds; the
// fast dense build could take its binned and lower-edge tables from
// TORVEN_BuildInfieldKernels as well.
#include <cstdint>
#include <string>
#include <vector>

#include "build_request.h"
#include "instrument.h"
#include "make_psfmatrix.h"

// The in-field matrix as tables and per-source weights.
struct TORVEN_InfieldKernels
{
    int64_t Kx = 0, Ky = 0, Bx = 1, By = 1;
    bool    quadratic = true;
    double  scale     = 1.0;   // 1 / (Bx * By)
    int     nslots    = 0;     // PSFs that some non-zero coefficient refers to
    std::vector<int> psf_of_slot;

    // B[slot][u][v][i - ilo][j - jlo], i in [ilo, ihi], j in [jlo, jhi].
    int64_t             ilo = 0, ihi = -1, jlo = 0, jhi = -1;
    std::vector<double> binned;
    // Coefficient of the slot's PSF for the detector pixel at residue (u, v) of
    // L1C pixel (x, y): weights[slot][u][v][x][y] (flat index x * Ky + y last).
    std::vector<double> weights;
    // Quadratic scheme: the weights (below, centre, above) of detector row v.
    std::vector<double> row_weights;   // [v][3]

    // Lower edge: source rows k in [kfirst, klast] below the bottom edge.
    int                 kfirst = 0, klast = -1;
    int64_t             eilo = 0, eihi = -1, nJe = 0;
    std::vector<double> edge;           // [slot][u][k - kfirst][i - eilo][J], J < nJe
    std::vector<double> edge_weights;   // [slot][u][k - kfirst][x]
};

// The stray-light matrix in convolution form. Flat L1C indices (x * Ky + y);
// NOOF positions are columns x and rows y of the NOOF window.
struct TORVEN_StrayKernels
{
    double scale = 1.0;   // 1 / (Bx * By), not applied to `tables` and `weights`

    // Sources: the sampled rows (NOOF row, end pixels) and the source columns.
    std::vector<int> row_y;      // [row], ascending
    std::vector<int> ends;       // [row][side]: L1C pixel charged by the row's left (0) / right (1) sources, or -1
    std::vector<int> col_x;      // [col], ascending
    std::vector<int> col_side;   // [col]: 0 left of the science window, 1 right
    int              nslots = 0;
    std::vector<int> psf_of_slot;
    // weights[slot][col][row]: steps x vignetting x coefficient of the source
    // (col, row); 0 where there is none and for the sources evaluated exactly.
    std::vector<double> weights;

    // The sampled receivers: NOOF column of each sampled science column, NOOF
    // row of each sampled science row, and the L1C pixel of each pair.
    std::vector<int> recv_x, recv_y;
    std::vector<int> recv_r;   // [a][b], -1 outside the L1C window

    // PSF tables at offsets (dx, dy) = receiver - source, over the union of
    // their non-zero supports within reach: tables[slot][dx - dx0][dy - dy0].
    int64_t             dx0 = 0, dy0 = 0, ndx = 0, ndy = 0;
    std::vector<double> tables;

    // The sources evaluated per receiver, summed into the whole rows of their
    // end pixels (scaled): exact_rows[n][r] for end pixel exact_sources[n].
    std::vector<int>    exact_sources;
    std::vector<double> exact_rows;

    // Every end pixel with sources (ascending) and its diagonal element (scaled).
    std::vector<int>    sources;
    std::vector<double> diagonal;
};

// The tables are built on a team of `threads` (capped as every table build is,
// see velmora::TableTeamSize). A request, when given, can cancel a build from
// another thread (TORVEN_BuildRequest::Cancel): the build stops at its next
// work item and returns false with *error saying so; `out` is then left
// incomplete and must not be used.

// Builds the in-field tables of an instrument whose PSF tables cover the
// detector window. False with the reason in *error when the options are out of
// range, when the L1C pixels do not tile the science window from its origin,
// or when a PSF lookup fails or returns a coefficient that is not finite.
bool TORVEN_BuildInfieldKernels(const velmora::Instrument& in, const velmora::InfieldOptions& options, int threads,
                                const TORVEN_BuildRequest* request, TORVEN_InfieldKernels* out, std::string* error);

// Builds the stray-light tables of an instrument whose PSF tables cover the
// NOOF window. vignetting: NOOFx * NOOFy values (x fastest) or null. `exact`
// evaluates every source per receiver (for checking). The whole rows of the
// sources evaluated exactly may take at most `max_exact_bytes`; beyond that,
// or when an allocation fails, the build refuses with *out_of_memory set.
bool TORVEN_BuildStrayKernels(const velmora::Instrument& in, const double* vignetting,
                              const velmora::StrayOptions& steps, int threads, bool exact, double max_exact_bytes,
                              const TORVEN_BuildRequest* request, TORVEN_StrayKernels* out, std::string* error,
                              bool* out_of_memory);
