#pragma once
// Fast in-field and horizontal stray-light builds.
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
//   instead of one PSF evaluation per science pixel. The lower-edge strip and
//   the sampled receivers of the stray-light build have tables of their own;
// - the output is accumulated in place: each output column is written by one
//   work item at a time, in a fixed order (the quadratic scheme handles source
//   rows in three interleaved phases, since a source row writes the columns of
//   its neighbour rows as well), so there are no private F x F matrices and
//   the result is bitwise the same for any number of threads.
//
// The per-pixel builds stay as the reference, and as the fallback where the
// tables do not describe the build (see the Applies... checks in the source).
#include <cstddef>

#include "make_psfmatrix.h"

// What a fast build did, for benchmarks and tests.
struct TORVEN_FastBuildStats
{
    bool   fast_path     = false;   // the fast path ran
    int    threads       = 0;       // threads of the parallel region
    double multiply_adds = 0.0;     // multiply-adds of the table kernels
    double table_seconds = 0.0;     // time spent building the tables
    size_t table_bytes   = 0;       // tables and per-thread scratch
};

class TORVEN_FastMatrixBuilder
{
  private:
    TORVEN_DeconvolutionMatrixGenerator& m_g;

  public:
    explicit TORVEN_FastMatrixBuilder(TORVEN_DeconvolutionMatrixGenerator& generator) : m_g(generator) {}

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
