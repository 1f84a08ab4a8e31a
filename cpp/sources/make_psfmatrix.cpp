// The in-field convolution matrix: generator set-up, the science-pixel-to-L1C
// table, column elements by PSF integration, the lower-edge correction and the
// parallel assembly.
#include "make_psfmatrix.h"

#include <omp.h>

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <new>

#include "nxarraylib.h"
#include "nxlog.h"

TORVEN_DeconvolutionMatrixGenerator::TORVEN_DeconvolutionMatrixGenerator(
    int FULLCONVx, int FULLCONVy, int NOFSx, int NOFSy, int NOOFx, int NOOFy, int DOFSx, int DOFSy, int Dx, int Dy,
    int SOFSx, int SOFSy, int Sx, int Sy, int LBINx, int LBINy, int Lx, int Ly, int KBINx, int KBINy, int Kx, int Ky,
    double* matrixstorage, int KK, bool diagnostic, int rows_below_bottom_edge, int rows_above_bottom_edge)
    : m_option_use_simpsons(true),
      m_option_create_lower_edge_adjustment(true),
      m_windows(FULLCONVx, FULLCONVy, NOFSx, NOFSy, NOOFx, NOOFy, DOFSx, DOFSy, Dx, Dy, SOFSx, SOFSy, Sx, Sy, LBINx,
                LBINy, Lx, Ly, KBINx, KBINy, Kx, Ky),
      m_l1cindexer(m_windows.L1C(), m_windows.Detector()),
      m_l1c_to_detector(m_windows.CreateMappingToUpperLevel(m_windows.L1C(), m_windows.Detector())),
      m_diagnostic(diagnostic),
      m_rows_below_bottom_edge(rows_below_bottom_edge),
      m_rows_above_bottom_edge(rows_above_bottom_edge),
      m_tableok(false),
      m_request(&TORVEN_DefaultRequest())
{
    const int F = m_l1cindexer.FlatSize();
    if (matrixstorage != nullptr) {
        if (KK == F && KK >= 0) {
            m_deconvolution_matrix.Attach((size_t)KK, (size_t)KK, matrixstorage);
        } else {
            NXLOG_RECORD(nxlog_error,
                         "TORVEN_DeconvolutionMatrixGenerator::TORVEN_DeconvolutionMatrixGenerator, The size of the "
                         "output array (%d x %d) is not the expected size (%d x %d",
                         KK, KK, F, F);
        }
    }
    MakeDetectorPixelToL1cFlatIndexTable();
}

bool TORVEN_DeconvolutionMatrixGenerator::MakeDetectorPixelToL1cFlatIndexTable()
{
    const int Sx = m_windows.Science().Numx();
    const int Sy = m_windows.Science().Numy();
    m_tableok    = false;
    if (Sx < 0 || Sy < 0 || !m_detector_to_l1c.SetSize((size_t)Sy, (size_t)Sx)) {
        NXLOG_RECORD(nxlog_error,
                     "TORVEN_DeconvolutionMatrixGenerator::MakeDetectorPixelToFlatIndexTable, Error allocating the "
                     "table of the [%d x %d] science window pixels",
                     Sx, Sy);
        return false;
    }
    m_tableok                   = true;
    if (Sx == 0 || Sy == 0) return true;
    int*                 table   = m_detector_to_l1c.UnsafeArrayBasePtr();
    const WindowMapping& science = m_windows.Science();
    int                  unmapped = 0;
    for (int x = 0; x < Sx; ++x) {
        for (int y = 0; y < Sy; ++y) {
            Coords detector(WINDOW_DETECTOR);
            int    flat = -1;
            bool   ok   = science.ToParentWindow(Coords(y, x, WINDOW_SCIENCE), &detector, true) &&
                      m_l1cindexer.FlatIndexFromDetectorPixel(detector, &flat, true);
            table[(size_t)x * (size_t)Sy + (size_t)y] = ok ? flat : -9999;
            if (!ok) ++unmapped;
        }
    }
    if (unmapped != 0) {
        NXLOG_RECORD(nxlog_warning,
                     "TORVEN_DeconvolutionMatrixGenerator::MakeDetectorPixelToFlatIndexTable, [%d] detector pixels "
                     "from area [%d x %d] did not successfully map to L1C pixels",
                     unmapped, Sx, Sy);
    }
    return true;
}

bool TORVEN_DeconvolutionMatrixGenerator::IsMatrixOfThisBuild(const nx2dArray<double>* matrix) const
{
    const size_t F = (size_t)(m_l1cindexer.FlatSize() < 0 ? 0 : m_l1cindexer.FlatSize());
    return matrix != nullptr && m_tableok && matrix->XSize() == F && matrix->YSize() == F &&
           matrix->ArrayRankSpecs()->IsContiguous() && !matrix->IsEmpty();
}

// ---------------------------------------------------------------------------
// Column elements.

void TORVEN_DeconvolutionMatrixGenerator::SimpsonWeights(double t, double B, double* w_below, double* w_centre,
                                                         double* w_above)
{
    const double q = (t * t + t) + 1.0 / 3.0;
    const double h = 0.5 + t;
    *w_below       = (q / B - h) * (0.5 / B);
    *w_centre      = 1.0 - q / (B * B);
    *w_above       = (q / B + h) * (0.5 / B);
}

bool TORVEN_DeconvolutionMatrixGenerator::ProcessL1CPixelAsScatteringSource(int row, int column,
                                                                            nx2dArray<double>* matrix)
{
    const int Ky = m_l1c_to_detector.Numy();
    const int Kx = m_l1c_to_detector.Numx();
    if (row < 0 || row >= Ky || column < 0 || column >= Kx || !IsMatrixOfThisBuild(matrix)) {
        NXLOG_RECORD(nxlog_warning,
                     "TORVEN_DeconvolutionMatrixGenerator::ProcessSciencePixel, There were errors processing L1C "
                     "pixel (%d,%d)",
                     row, column);
        return false;
    }
    bool      success = true;
    const int below   = std::max(row, 1) - 1;
    const int above   = (row < Ky - 1) ? row + 1 : Ky - 1;
    const int c_below = m_l1c_to_detector.FlatIndex(Coords(below, column, WINDOW_L1C));
    const int c_centre = m_l1c_to_detector.FlatIndex(Coords(row, column, WINDOW_L1C));
    const int c_above  = m_l1c_to_detector.FlatIndex(Coords(above, column, WINDOW_L1C));
    Coords    first(WINDOW_DETECTOR);
    m_l1c_to_detector.ToParentWindow(Coords(row, column, WINDOW_L1C), &first, false);
    const int Bx = m_l1c_to_detector.Binx();
    const int By = m_l1c_to_detector.Biny();
    for (int u = 0; u < Bx; ++u) {
        for (int v = 0; v < By; ++v) {
            const Coords source(first.y + v, first.x + u, WINDOW_DETECTOR);
            const double t = (double)v - (double)By / 2.0;
            bool         ok;
            if (m_option_use_simpsons) {
                ok = GenerateSimpsonColumnMatrixElements(c_below, c_centre, c_above, t, (double)By, source, matrix);
            } else {
                ok = GenerateMidpointColumnMatrixElements(c_centre, source, matrix);
            }
            success = success && ok;
        }
    }
    if (!success) {
        NXLOG_RECORD(nxlog_warning,
                     "TORVEN_DeconvolutionMatrixGenerator::ProcessSciencePixel, There were errors processing L1C "
                     "pixel (%d,%d)",
                     row, column);
    }
    return success;
}

// The receiving loop of the two column operations: looks up the PSF of the
// source detector pixel, then for every science pixel, x outer and y inner,
// calls add(r, value) with its L1C pixel r and the PSF's value there. Science
// pixels without an L1C pixel are counted and reported once.
template <class Add>
void TORVEN_DeconvolutionMatrixGenerator::AddToReceivingPixels(const Coords& source, Add add)
{
    TORVEN_PSF_InterpolationCoeffs coeffs;
    if (!m_psftable.GetInterpolationCoefficientsForNewPSFCentre(source, &coeffs)) {
        NXLOG_RECORD(nxlog_error,
                     "TORVEN_DeconvolutionMatrixGenerator::GenerateColumnMatrixElements, Inconsistency error looking "
                     "up interpolated PSF table for raw detector pixel [%d,%d]",
                     source.x, source.y);
        return;
    }
    const WindowMapping& science = m_windows.Science();
    const int            Sx = science.Numx(), Sy = science.Numy();
    int                  bad = 0;
    for (int x = 0; x < Sx; ++x) {
        for (int y = 0; y < Sy; ++y) {
            const int r = L1cOfSciencePixel(x, y);
            if (r < 0) {
                ++bad;
                continue;
            }
            const Coords receiving(y + science.Ofsy(), x + science.Ofsx(), WINDOW_DETECTOR);
            add(r, coeffs.PSF(receiving, source));
        }
    }
    if (bad > 0) {
        NXLOG_RECORD(nxlog_warning,
                     "TORVEN_DeconvolutionMatrixGenerator::GenerateColumnMatrixElements, %d bad elements detected. "
                     "That should not happen. It should be zero",
                     bad);
    }
}

bool TORVEN_DeconvolutionMatrixGenerator::GenerateMidpointColumnMatrixElements(int column, const Coords& source,
                                                                               nx2dArray<double>* matrix)
{
    double* col = SourceColumn(matrix, column);
    if (col == nullptr) return false;
    AddToReceivingPixels(source, [col](int r, double p) { col[r] += p; });
    return true;
}

bool TORVEN_DeconvolutionMatrixGenerator::GenerateSimpsonColumnMatrixElements(int column_below, int column_centre,
                                                                              int column_above, double offset,
                                                                              double rows_per_pixel,
                                                                              const Coords& source,
                                                                              nx2dArray<double>* matrix)
{
    double* cbelow  = SourceColumn(matrix, column_below);
    double* ccentre = SourceColumn(matrix, column_centre);
    double* cabove  = SourceColumn(matrix, column_above);
    if (cbelow == nullptr || ccentre == nullptr || cabove == nullptr) return false;
    double w_below, w_centre, w_above;
    SimpsonWeights(offset, rows_per_pixel, &w_below, &w_centre, &w_above);
    // Where two columns are the same (bottom and top rows) the element receives
    // both additions, one after the other.
    AddToReceivingPixels(source, [=](int r, double p) {
        cbelow[r] += w_below * p;
        ccentre[r] += w_centre * p;
        cabove[r] += w_above * p;
    });
    return true;
}

// ---------------------------------------------------------------------------
// Lower-edge correction.

// Source rows lie at dy0 + k for k from -N_below to -1, dy0 being the bottom
// row of the L1C window. Those outside the detector window have no PSF
// coefficients; they are skipped. Returns how many are skipped and the range of
// k that remains ([first, last], empty when first > last).
int TORVEN_DeconvolutionMatrixGenerator::LowerEdgeRowsOutsideDetector(int* first, int* last) const
{
    const int64_t dy0    = m_l1c_to_detector.Ofsy();
    const int64_t Dy     = m_windows.Detector().Numy();
    const int64_t nbelow = m_rows_below_bottom_edge;
    if (nbelow <= 0) {
        *first = 0;
        *last  = -1;
        return 0;
    }
    const int64_t lo = std::max<int64_t>(-nbelow, -dy0);       // dy0 + k >= 0
    const int64_t hi = std::min<int64_t>(-1, Dy - 1 - dy0);    // dy0 + k < Dy
    *first           = (int)std::max<int64_t>(lo, INT32_MIN);
    *last            = (int)std::min<int64_t>(hi, INT32_MAX);
    const int64_t kept = (hi >= lo) ? hi - lo + 1 : 0;
    return (int)(nbelow - kept);
}

bool TORVEN_DeconvolutionMatrixGenerator::AddBottomEdgeSourcePixelAdjustment(int column, nx2dArray<double>* matrix)
{
    bool   success = true;
    Coords first(WINDOW_DETECTOR);
    m_l1c_to_detector.ToParentWindow(Coords(0, column, WINDOW_L1C), &first, false);
    int kfirst, klast;
    LowerEdgeRowsOutsideDetector(&kfirst, &klast);
    const int Bx = m_l1c_to_detector.Binx();
    for (int u = 0; u < Bx; ++u) {
        for (int k = kfirst; k <= klast; ++k) {
            const Coords source(first.y + k, first.x + u, WINDOW_DETECTOR);
            bool         ok = GenerateColumnMatrixForBottomEdgeDetectorPixel(column, source, matrix);
            success         = success && ok;
        }
    }
    if (!success) {
        NXLOG_RECORD(nxlog_warning,
                     "TORVEN_DeconvolutionMatrixGenerator::ProcessSciencePixel, There were errors processing L1C "
                     "column (%d)",
                     column);
    }
    return success;
}

bool TORVEN_DeconvolutionMatrixGenerator::GenerateColumnMatrixForBottomEdgeDetectorPixel(int column,
                                                                                         const Coords& source,
                                                                                         nx2dArray<double>* matrix)
{
    const int s   = m_l1c_to_detector.FlatIndex(Coords(0, column, WINDOW_L1C));
    double*   col = SourceColumn(matrix, s);
    if (col == nullptr) return false;
    const WindowMapping& science = m_windows.Science();
    const int64_t        Sx      = science.Numx();
    const int64_t        Sy      = science.Numy();
    const int64_t        nabove  = m_rows_above_bottom_edge;
    const int64_t        xs      = (int64_t)source.x - science.Ofsx();
    const int            x_lo    = (int)std::max<int64_t>(0, xs - nabove);
    const int            x_hi    = (int)std::min<int64_t>(Sx, std::max<int64_t>(xs + nabove, INT32_MIN));
    const int            y_hi    = (int)std::min<int64_t>(nabove, Sy);

    TORVEN_PSF_InterpolationCoeffs coeffs;
    if (!m_psftable.GetInterpolationCoefficientsForNewPSFCentre(source, &coeffs)) {
        NXLOG_RECORD(nxlog_error,
                     "TORVEN_DeconvolutionMatrixGenerator::GenerateColumnMatrixForBottomEdgeDetectorPixel, "
                     "Inconsistency error looking up interpolated PSF table for raw source detector pixel [%d,%d]",
                     source.x, source.y);
        return false;
    }
    for (int x = x_lo; x < x_hi; ++x) {
        for (int y = 0; y < y_hi; ++y) {
            const int r = L1cOfSciencePixel(x, y);
            if (r < 0) continue;
            const Coords receiving(y + science.Ofsy(), x + science.Ofsx(), WINDOW_DETECTOR);
            col[r] += coeffs.PSF(receiving, source);
        }
    }
    return true;
}

// ---------------------------------------------------------------------------
// Assembly.

int TORVEN_DeconvolutionMatrixGenerator::TeamSize() const { return m_request->TeamSize(); }

int TORVEN_DeconvolutionMatrixGenerator::ColumnBegin() const
{
    return std::max(0, std::min(m_request->options.column_begin, m_l1c_to_detector.Numx()));
}

int TORVEN_DeconvolutionMatrixGenerator::ColumnEnd() const
{
    const int Kx = m_l1c_to_detector.Numx();
    const int e  = m_request->options.column_end;
    return std::max(ColumnBegin(), (e < 0 || e > Kx) ? Kx : e);
}

int TORVEN_DeconvolutionMatrixGenerator::OutputRows() const
{
    return (int)((int64_t)(ColumnEnd() - ColumnBegin()) * m_l1c_to_detector.Numy());
}

int TORVEN_DeconvolutionMatrixGenerator::OutputRowOffset() const
{
    return (int)((int64_t)ColumnBegin() * m_l1c_to_detector.Numy());
}

double* TORVEN_DeconvolutionMatrixGenerator::SourceColumn(nx2dArray<double>* matrix, int s) const
{
    const int F = m_l1cindexer.FlatSize();
    if (s < 0 || s >= F) return nullptr;
    if (IsMatrixOfThisBuild(matrix)) return matrix->UnsafeArrayBasePtr() + (size_t)s * (size_t)F;
    const int r0 = OutputRowOffset();
    if (!IsOutputOfThisBuild(matrix) || s < r0 || s >= r0 + OutputRows()) return nullptr;
    return matrix->UnsafeArrayBasePtr() + (size_t)(s - r0) * (size_t)F;
}

bool TORVEN_DeconvolutionMatrixGenerator::IsOutputOfThisBuild(const nx2dArray<double>* output) const
{
    const size_t F = (size_t)(m_l1cindexer.FlatSize() < 0 ? 0 : m_l1cindexer.FlatSize());
    return output != nullptr && m_tableok && output->XSize() == F && output->YSize() == (size_t)OutputRows() &&
           output->ArrayRankSpecs()->IsContiguous() && !output->IsEmpty();
}

void TORVEN_DeconvolutionMatrixGenerator::RecordInfieldBuild(int skipped) const
{
    NXLOG_RECORD(nxlog_info, "TORVEN_DeconvolutionMatrixGenerator, Generating infield convolution matrix using [%s] ",
                 m_option_use_simpsons ? "Quadratic Interpolation" : "Classic Algorithm");
    if (m_option_create_lower_edge_adjustment) {
        NXLOG_RECORD(nxlog_info,
                     "TORVEN_DeconvolutionMatrixGenerator, Generating lower edge correction with [%d] detector rows "
                     "above and [%d] detector rows below bottom edge.",
                     m_rows_above_bottom_edge, m_rows_below_bottom_edge);
        if (skipped > 0) {
            NXLOG_RECORD(nxlog_warning,
                         "TORVEN_DeconvolutionMatrixGenerator, Skipping %d of the %d detector rows below the bottom "
                         "edge in the lower edge correction: they lie outside the detector window, which has no PSF "
                         "coefficients for them",
                         skipped, m_rows_below_bottom_edge);
        }
    } else {
        NXLOG_RECORD(nxlog_info, "TORVEN_DeconvolutionMatrixGenerator, NOT generating lower edge correction");
    }
    NXLOG_RECORD(nxlog_info,
                 "TORVEN_DeconvolutionMatrixGenerator, Generating convolution matrix for a (%d, %d) array of L1C "
                 "pixels. Pixel binning is (%d,%d) and window offset is (%d,%d)",
                 m_l1c_to_detector.Numy(), m_l1c_to_detector.Numx(), m_l1c_to_detector.Biny(),
                 m_l1c_to_detector.Binx(), m_l1c_to_detector.Ofsy(), m_l1c_to_detector.Ofsx());
}

bool TORVEN_DeconvolutionMatrixGenerator::RecordStrayLightBuild(const nx2dArray<double>& vignetting, int delta_ny,
                                                                int delta_nx, int delta_sy, int delta_sx) const
{
    NXLOG_RECORD(nxlog_info, "TORVEN_DeconvolutionMatrixGenerator::build_horizontal_stray_light. Building convolution "
                             "matrix for horizontal extrapolation.");
    NXLOG_RECORD(nxlog_info, "Noof region coordinate step sizes    (Ny,Nx) = (%d, %d)", delta_ny, delta_nx);
    NXLOG_RECORD(nxlog_info, "Science window coordinate step sizes (Sy,Sx) = (%d, %d)", delta_sy, delta_sx);
    const int  NOOFx   = m_windows.Noof().Numx();
    const int  NOOFy   = m_windows.Noof().Numy();
    const bool usevign = (int64_t)vignetting.XSize() == NOOFx && (int64_t)vignetting.YSize() == NOOFy &&
                         !vignetting.IsEmpty() && vignetting.ArrayRankSpecs()->IsContiguous();
    if (usevign) {
        NXLOG_RECORD(nxlog_info, "The user supplied, ROW major, vignetting array (%d,%d) willbe used for vignetting",
                     (int)vignetting.XSize(), (int)vignetting.YSize());
    } else if (vignetting.XSize() == 0 && vignetting.YSize() == 0) {
        NXLOG_RECORD(nxlog_info, "No user defined vignetting array supplied. A value of 1.0 will be used");
    } else {
        NXLOG_RECORD(nxlog_warning,
                     "The user defined vignetting array was the wrong size. Expected an (x,y) size of (%d,%d) but got "
                     "(%d,%d). A value of 1.0 will be used",
                     NOOFx, NOOFy, (int)vignetting.XSize(), (int)vignetting.YSize());
    }
    return usevign;
}

bool TORVEN_DeconvolutionMatrixGenerator::EndInPlaceBuild(nx2dArray<double>* output, bool success) const
{
    if (m_request->Cancelled()) {
        m_request->ClearOutput(output->UnsafeArrayBasePtr(), output->size());
        return false;
    }
    if (!success) {
        m_request->ClearOutput(output->UnsafeArrayBasePtr(), output->size());
        NXLOG_RECORD(nxlog_error, "TORVEN_DeconvolutionMatrixGenerator::build_transfer_function, There were errors "
                                  "executing the code. Return empty matrix");
    }
    return success;
}

bool TORVEN_DeconvolutionMatrixGenerator::Create_Deconvolution_Matrix(nx2dArray<double>** matrix) const
{
    const int          F = m_l1cindexer.FlatSize();
    nx2dArray<double>* m = new (std::nothrow) nx2dArray<double>;
    if (m != nullptr && F >= 0 && m->SetSize((size_t)F, (size_t)F)) {
        m->SetTo(0.0);
        *matrix = m;
        return true;
    }
    NXLOG_RECORD(nxlog_error,
                 "TORVEN_DeconvolutionMatrixGenerator::Create_Deconvolution_Matrix, Error allocating matrix array of "
                 "size (%d,%d)",
                 F, F);
    delete m;
    *matrix = nullptr;
    return false;
}

// The end of a per-pixel build, on the requesting thread: the output is
// zeroed, then, if every row succeeded, the private matrices are summed into it
// in the order of their allocation; they are deleted in every case. The sum is
// scaled to one L1C pixel's worth of detector pixels.
bool TORVEN_DeconvolutionMatrixGenerator::FinishPrivateMatrices(nx2dArray<double>* output,
                                                                std::list<nx2dArray<double>*>& matrices,
                                                                bool success) const
{
    output->SetTo(0.0);
    const bool cancelled = m_request->Cancelled();
    if (cancelled) {
        success = false;   // a cancelled build is not a failed one: no error record
    } else if (!success) {
        NXLOG_RECORD(nxlog_error, "TORVEN_DeconvolutionMatrixGenerator::build_transfer_function, There were errors "
                                  "executing the code. Return empty matrix");
    }
    const size_t F      = (size_t)m_l1cindexer.FlatSize();
    const size_t first  = (size_t)OutputRowOffset() * F;
    const size_t nvalue = (size_t)OutputRows() * F;
    const bool   whole  = nvalue == F * F;
    for (nx2dArray<double>* m : matrices) {
        if (success && whole) {
            *output += *m;
        } else if (success) {   // the rows of the column range
            const double* from = m->UnsafeArrayBasePtr() + first;
            double*       to   = output->UnsafeArrayBasePtr();
            for (size_t n = 0; n < nvalue; ++n) to[n] += from[n];
        }
        delete m;
    }
    const int64_t npixels = (int64_t)m_l1c_to_detector.Binx() * (int64_t)m_l1c_to_detector.Biny();
    if (npixels > 0) *output *= 1.0 / (double)npixels;
    return success;
}

bool TORVEN_DeconvolutionMatrixGenerator::CheckThreadSpecificAllocation(nx2dArray<double>** matrix,
                                                                        std::list<nx2dArray<double>*>& matrices)
{
    if (*matrix != nullptr) return true;
    if (!Create_Deconvolution_Matrix(matrix)) return false;
    static std::mutex mutex;
    try {
        std::lock_guard<std::mutex> lock(mutex);
        matrices.push_back(*matrix);
    } catch (...) {
        NXLOG_RECORD(nxlog_error,
                     "TORVEN_DeconvolutionMatrixGenerator::Create_Deconvolution_Matrix, Error allocating matrix array "
                     "of size (%d,%d)",
                     m_l1cindexer.FlatSize(), m_l1cindexer.FlatSize());
        delete *matrix;
        *matrix = nullptr;
        return false;
    }
    return true;
}

// The per-pixel build; build_transfer_function (fast_infield.cpp) runs it where the fast build does not apply.
bool TORVEN_DeconvolutionMatrixGenerator::build_transfer_function_reference(nx2dArray<double>* output)
{
    TORVEN_RequestScope scope(*m_request);
    const int F = m_l1cindexer.FlatSize();
    if (output == nullptr || output->XSize() != (size_t)F || output->YSize() != (size_t)OutputRows() ||
        output->IsEmpty() || F < 0) {
        NXLOG_RECORD(nxlog_error,
                     "TORVEN_DeconvolutionMatrixGenerator::build_transfer_function, The output matrix (%d x %d) is not "
                     "the expected size (%d x %d)",
                     output ? (int)output->XSize() : 0, output ? (int)output->YSize() : 0, F, OutputRows());
        return false;
    }
    int       kfirst, klast;
    const int skipped = m_option_create_lower_edge_adjustment ? LowerEdgeRowsOutsideDetector(&kfirst, &klast) : 0;
    RecordInfieldBuild(skipped);

    bool                          success = m_tableok;
    std::list<nx2dArray<double>*> matrices;
    const int                     Ky = m_l1c_to_detector.Numy();
    const int                     Kx = m_l1c_to_detector.Numx();
    TORVEN_BuildRequest&          request = *m_request;
    request.BeginWork(m_tableok ? Ky : 0);
#pragma omp parallel if (m_tableok) num_threads(TeamSize())
    {
        TORVEN_RequestScope scope(request);
        nx2dArray<double>*  mine = nullptr;
#pragma omp for schedule(dynamic, 1) nowait
        for (int i = 0; i < (m_tableok ? Ky : 0); ++i) {
            if (request.Cancelled()) continue;
            bool ok = false;
            try {
                if (m_diagnostic) {
                    NXLOG_RECORD(nxlog_info, "TORVEN_DeconvolutionMatrixGenerator, Processing L1C pixel row [%d] of [%d]",
                                 i, Ky);
                }
                ok = CheckThreadSpecificAllocation(&mine, matrices);
                // A cancelled build stops between source pixels too: a row can be long.
                for (int j = ColumnBegin(); ok && j < std::min(Kx, ColumnEnd()) && !request.Cancelled(); ++j) {
                    if (m_diagnostic && j == ColumnBegin()) {
                        NXLOG_RECORD(nxlog_info, "Processing L1C pixel [%4d,%4d]", i, j);
                    }
                    if (i == 0 && m_option_create_lower_edge_adjustment) {
                        ok = AddBottomEdgeSourcePixelAdjustment(j, mine);
                    }
                    if (ok) ok = ProcessL1CPixelAsScatteringSource(i, j, mine);
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
