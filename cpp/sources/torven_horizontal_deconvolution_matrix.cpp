// The horizontal stray-light matrix: light from the NOOF window left and right
// of the science window, extrapolated from the end L1C pixels of each sampled
// row, reaching sampled science pixels.
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "make_psfmatrix.h"
#include "nxarraylib.h"
#include "nxlog.h"

bool TORVEN_DeconvolutionMatrixGenerator::ProcessHorizontalStrayLightFromPixel(
    int y, int x, int delta_sy, int delta_sx, double source_area, int* columns, double* weights, int ncolumns,
    const double* vignetting_row, int num_vignetting, nx2dArray<double>* matrix) const
{
    double factor = (double)((int64_t)delta_sx * (int64_t)delta_sy) * source_area;
    if (vignetting_row != nullptr) {
        const int nidx = x;
        if (!((nidx < num_vignetting) && (nidx >= 0))) return true;   // no factor for this source
        factor = vignetting_row[nidx] * factor;
    }
    if (!std::isfinite(factor) || factor == 0.0) return true;
    // Into a private F x F matrix, or into the output of the column range.
    const bool whole = IsMatrixOfThisBuild(matrix);
    if (delta_sx < 1 || delta_sy < 1 || !(whole || IsOutputOfThisBuild(matrix))) return true;
    const int rowoffset = whole ? 0 : OutputRowOffset();
    const int rowend    = whole ? m_l1cindexer.FlatSize() : rowoffset + OutputRows();

    TORVEN_PSF_InterpolationCoeffs coeffs;
    const Coords                   source(y, x, WINDOW_NOOF);
    if (!m_psftable.GetInterpolationCoefficientsForNewPSFCentre(source, &coeffs)) return true;

    const int            F        = m_l1cindexer.FlatSize();
    double*              base     = matrix->UnsafeArrayBasePtr();
    const WindowMapping  to_noof  = m_windows.CreateMappingToUpperLevel(m_windows.Science(), m_windows.Noof());
    const WindowMapping& detector = m_windows.Detector();
    const int            Sx       = m_windows.Science().Numx();
    const int            Sy       = m_windows.Science().Numy();
    for (int sx = delta_sx / 2; sx < Sx; sx += delta_sx) {
        for (int sy = delta_sy / 2; sy < Sy; sy += delta_sy) {
            Coords noof(WINDOW_NOOF), det(WINDOW_DETECTOR);
            to_noof.ToParentWindow(Coords(sy, sx, WINDOW_SCIENCE), &noof, false);
            detector.FromParentWindow(noof, &det, false);
            int r = -1;
            if (!m_l1cindexer.FlatIndexFromDetectorPixel(det, &r, true)) continue;
            const double v = coeffs.PSF(noof, source) * factor;
            for (int k = 0; k < ncolumns; ++k) {
                if (columns[k] < rowoffset || columns[k] >= rowend || columns[k] >= F) continue;
                base[(size_t)(columns[k] - rowoffset) * (size_t)F + (size_t)r] += weights[k] * v;
            }
            if (sy > INT32_MAX - delta_sy) break;
        }
        if (sx > INT32_MAX - delta_sx) break;
    }
    return true;
}

// The per-pixel build; build_horizontal_stray_light (fast_straylight.cpp) runs it where the fast build does
// not apply.
bool TORVEN_DeconvolutionMatrixGenerator::build_horizontal_stray_light_reference(nx2dArray<double>* output,
                                                                       const nx2dArray<double>& vignetting,
                                                                       int delta_ny, int delta_nx, int delta_sy,
                                                                       int delta_sx)
{
    TORVEN_RequestScope scope(*m_request);
    const int F = m_l1cindexer.FlatSize();
    if (output == nullptr || output->XSize() != (size_t)F || output->YSize() != (size_t)OutputRows() ||
        output->IsEmpty() || F < 0) {
        NXLOG_RECORD(nxlog_error,
                     "TORVEN_DeconvolutionMatrixGenerator::build_horizontal_stray_light, The output matrix (%d x %d) "
                     "is not the expected size (%d x %d)",
                     output ? (int)output->XSize() : 0, output ? (int)output->YSize() : 0, F, OutputRows());
        return false;
    }
    const WindowMapping& noof    = m_windows.Noof();
    const int            NOOFx   = noof.Numx();
    const int            NOOFy   = noof.Numy();
    const bool           usevign = RecordStrayLightBuild(vignetting, delta_ny, delta_nx, delta_sy, delta_sx);

    const WindowMapping to_noof = m_windows.CreateMappingToUpperLevel(m_windows.Science(), noof);
    const int           Sx      = m_windows.Science().Numx();
    const int           Sy      = m_windows.Science().Numy();
    Coords              leftpix(WINDOW_NOOF), rightpix(WINDOW_NOOF);
    to_noof.ToParentWindow(Coords(0, 0, WINDOW_SCIENCE), &leftpix, false);
    to_noof.ToParentWindow(Coords(0, Sx, WINDOW_SCIENCE), &rightpix, false);
    const int64_t left        = leftpix.x;
    const int64_t right       = rightpix.x;
    const double  source_area = (double)((int64_t)delta_ny * (int64_t)delta_nx);

    // First source column of each side, moved in whole steps into the NOOF
    // window: columns outside it have no PSF coefficients and add nothing.
    int64_t leftstart  = left - 1 - delta_nx / 2;
    int64_t rightstart = right + delta_nx / 2;
    if (delta_nx >= 1) {
        if (leftstart >= NOOFx) leftstart -= ((leftstart - NOOFx) / delta_nx + 1) * (int64_t)delta_nx;
        if (rightstart < 0) rightstart += ((-rightstart - 1) / delta_nx + 1) * (int64_t)delta_nx;
    }
    // The sampled science rows delta_ny/2, delta_ny/2 + delta_ny, ... below Sy.
    const int64_t firstrow = delta_ny / 2;
    const int64_t nrows    = (delta_ny >= 1 && Sy > firstrow) ? (Sy - firstrow + delta_ny - 1) / delta_ny : 0;

    const bool                    run     = m_tableok && delta_nx >= 1 && delta_ny >= 1 && delta_sx >= 1 && delta_sy >= 1;
    const int64_t                 nwork   = run ? nrows : 0;
    bool                          success = run;
    std::list<nx2dArray<double>*> matrices;
    const double*                 vignbase = usevign ? vignetting.UnsafeArrayBasePtr() : nullptr;
    TORVEN_BuildRequest&          request  = *m_request;
    request.BeginWork(nwork);
#pragma omp parallel if (run) num_threads(TeamSize())
    {
        TORVEN_RequestScope scope(request);
        nx2dArray<double>*  mine = nullptr;
#pragma omp for schedule(dynamic, 1) nowait
        for (int64_t n = 0; n < nwork; ++n) {
            if (request.Cancelled()) continue;
            const int iy = (int)(firstrow + n * delta_ny);
            bool      ok = false;
            try {
                if (m_diagnostic) {
                    NXLOG_RECORD(nxlog_info,
                                 "TORVEN_DeconvolutionMatrixGenerator::build_horizontal_stray_light, Processing row "
                                 "[%d] of [%d]",
                                 iy, Sy);
                }
                ok = CheckThreadSpecificAllocation(&mine, matrices);
                int    column_left = -1, column_right = -1;
                Coords det(WINDOW_DETECTOR);
                if (!(m_windows.Science().ToParentWindow(Coords(iy, 0, WINDOW_SCIENCE), &det, true) &&
                      m_l1cindexer.FlatIndexFromDetectorPixel(det, &column_left, true)))
                    column_left = -1;
                if (!(m_windows.Science().ToParentWindow(Coords(iy, Sx - 1, WINDOW_SCIENCE), &det, true) &&
                      m_l1cindexer.FlatIndexFromDetectorPixel(det, &column_right, true)))
                    column_right = -1;
                // Only the sources of the column range are built.
                const int rowbegin = OutputRowOffset(), rowend = rowbegin + OutputRows();
                if (column_left < rowbegin || column_left >= rowend) column_left = -1;
                if (column_right < rowbegin || column_right >= rowend) column_right = -1;
                Coords nrow(WINDOW_NOOF);
                to_noof.ToParentWindow(Coords(iy, 0, WINDOW_SCIENCE), &nrow, false);
                const int     ny      = nrow.y;
                const double* vignrow = nullptr;
                int           nvign   = 0;
                if (vignbase != nullptr && ny >= 0 && ny < NOOFy) {
                    vignrow = vignbase + (size_t)ny * (size_t)NOOFx;
                    nvign   = NOOFx;
                }
                double weight = 1.0;
                if (ok && column_left >= 0) {
                    for (int64_t x = leftstart; ok && x >= 0 && !request.Cancelled(); x -= delta_nx) {
                        ok = ProcessHorizontalStrayLightFromPixel(ny, (int)x, delta_sy, delta_sx, source_area,
                                                                  &column_left, &weight, 1, vignrow, nvign, mine);
                    }
                }
                if (ok && column_right >= 0) {
                    for (int64_t x = rightstart; ok && x < NOOFx && !request.Cancelled(); x += delta_nx) {
                        ok = ProcessHorizontalStrayLightFromPixel(ny, (int)x, delta_sy, delta_sx, source_area,
                                                                  &column_right, &weight, 1, vignrow, nvign, mine);
                    }
                }
            } catch (...) {   // nothing may escape the parallel region
                ok = false;
            }
            request.EndWorkItem(ok, &success);
        }
    }
    request.EndWork();

    return FinishPrivateMatrices(output, matrices, success);
}
