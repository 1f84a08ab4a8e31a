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
// Stray light. Its matrix has non-zero columns only for the end L1C pixels of
// the sampled rows: those columns are computed here whole, in the per-pixel
// build's order (compact rows of length F, one per source pixel).
//
// Everything is computed from TORVEN_PSF_Entry::OffsetedValue and the
// generator's window mappings and PSF table, so the values follow the same
// rules as the builds; the fast dense build could take its binned and
// lower-edge tables from TORVEN_BuildInfieldKernels as well.
#include <cstdint>
#include <string>
#include <vector>

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

// The stray-light matrix as its non-zero source columns.
struct TORVEN_StrayKernels
{
    std::vector<int>    sources;   // flat indices of the source L1C pixels, ascending
    std::vector<double> rows;      // [n][r]: the matrix row of sources[n], length F each
};

// The request of a forward model: the arrays as the package's builds receive
// them (C-ordered NumPy arrays).
struct TORVEN_KernelInputs
{
    const int*    specs = nullptr;   // the 22 windowing parameters
    int           nspecs = 0;
    const double* images = nullptr;   // (M, psf_Nx, psf_Ny)
    int           M = 0, psf_Nx = 0, psf_Ny = 0;
    const double* centres = nullptr;  // (M, 3)
    int           ncentres0 = 0, ncentres1 = 0;
    const double* coefficients = nullptr;   // (Wx, Wy, N) over the working window
    const int*    indices      = nullptr;   // (Wx, Wy, N)
    int           c0 = 0, c1 = 0, c2 = 0, i0 = 0, i1 = 0, i2 = 0;
};

// Builds the in-field tables. False with the reason in *error when the inputs
// do not describe a buildable request, when the L1C pixels do not tile the
// science window from its origin, or when a PSF lookup fails or returns a
// coefficient that is not finite.
bool TORVEN_BuildInfieldKernels(const TORVEN_KernelInputs& in, bool quadratic, bool lower_edge, int rows_below,
                                int rows_above, int threads, TORVEN_InfieldKernels* out, std::string* error);

// Builds the stray-light source rows (PSF tables over the NOOF window).
// vignetting: NOOFx * NOOFy values (x fastest) or null.
bool TORVEN_BuildStrayKernels(const TORVEN_KernelInputs& in, const double* vignetting, int delta_nx, int delta_ny,
                              int delta_sx, int delta_sy, int threads, TORVEN_StrayKernels* out,
                              std::string* error);
